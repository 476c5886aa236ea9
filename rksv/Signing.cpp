// The signing service's card checks and the signing of a till's receipts: numbering, turnover counter, chain,
// status receipts and the QR image.
#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/StringUtil.h"
#include "app/TextFormat.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "rksv/Numbering.h"
#include "rksv/Receipt.h"
#include "rksv/Rksv.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <thread>

namespace rksv {
namespace {

std::atomic<long> readerPauseMs{200};
constexpr int MAX_READER_PAUSES = 5;
// A signature that fails although the card check passes at once (no question to the user) is tried this often.
constexpr int MAX_SILENT_RETRIES = 1;

constexpr std::string_view CHAIN_PREFIX = "\"Zertifizierungsstellen\":[\"";
constexpr std::string_view CHAIN_SUFFIX = "\"\r\n]";

const std::string OVERFLOW_MESSAGE = "Beleg nicht gespeichert - Bonnr Überlauf";
const std::string NOT_SIGNED_MESSAGE = "Beleg nicht signiert - bitte Vexa verständigen";
const std::string STATUS_FAILED_MESSAGE =
    "Statusbeleg nicht erstellt - Sicherheitseinrichtung ausgefallen, bitte Vexa verständigen";

// "1234.5", "-0.50", "12" (a decimal as the database gives it) → cents, exactly; 0 for anything else.
std::int64_t centsOf(const std::string& value)
{
    std::string_view text = value;
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) {
        text.remove_prefix(1);
    }
    const auto point = text.find('.');
    const auto whole = text.substr(0, point);
    std::int64_t cents = 0;
    if (!whole.empty() && std::from_chars(whole.data(), whole.data() + whole.size(), cents).ec != std::errc()) {
        return 0;
    }
    cents *= 100;
    if (point != std::string_view::npos) {
        const auto fraction = text.substr(point + 1);
        if (!fraction.empty() && fraction[0] >= '0' && fraction[0] <= '9') {
            cents += (fraction[0] - '0') * 10;
        }
        if (fraction.size() > 1 && fraction[1] >= '0' && fraction[1] <= '9') {
            cents += fraction[1] - '0';
        }
    }
    return negative ? -cents : cents;
}

std::int64_t sumOf(const Amounts& amounts)
{
    return std::accumulate(amounts.begin(), amounts.end(), std::int64_t{0});
}

// A till id as part of a file name: separators cannot lead the file elsewhere.
std::string fileNamePart(std::string text)
{
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '/' || c == '\\'; }, '_');
    return text;
}

} // namespace

std::string decimalText(std::int64_t cents)
{
    return app::replaceAll(formatAmount(cents), ",", ".");
}

void StoreBelege(const std::string& kassa,
                 const std::vector<BelegRecord>& belege,
                 std::shared_ptr<db::Connection> connection)
{
    if (!connection) {
        connection = db::programConnection();
    }
    for (const auto& beleg : belege) {
        connection->execute(
            "INSERT INTO BONS (KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS, RKSV_NORMAL, RKSV_ERM1, RKSV_ERM2, "
            "RKSV_NULL, RKSV_SONDER, RKSV_SALDO, RKSV_CRDID) VALUES (?, ?, ?, ?, 'B', ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            {kassa,
             app::formatIsoDate(beleg.date),
             beleg.time,
             std::to_string(beleg.bonnr),
             beleg.type,
             beleg.jws,
             decimalText(beleg.amounts[0]),
             decimalText(beleg.amounts[1]),
             decimalText(beleg.amounts[2]),
             decimalText(beleg.amounts[3]),
             decimalText(beleg.amounts[4]),
             decimalText(beleg.counter),
             std::to_string(beleg.crdid)});
    }
}

void RKSV::setReaderPause(std::chrono::milliseconds pause)
{
    readerPauseMs = static_cast<long>(pause.count());
}

std::shared_ptr<db::Connection> RKSV::connection() const
{
    return m_connection ? m_connection : db::programConnection();
}

bool RKSV::MyChkCard(const std::string& serial, const std::string& pin)
{
    clearMessages();
    m_serial = serial;
    m_pin = pin;
    const long count = GetReadersCount();
    for (long position = 0; position < count; ++position) {
        if (GetReaderAt(position).empty()) {
            continue;
        }
        const auto card = GetCardInReader();
        if (!card.empty() && app::equalsNoCase(card, serial) && VerifyPin(pin)) {
            // What was noted about other readers on the way (an empty one, another card) is no failure.
            clearMessages();
            return true;
        }
    }
    record("MyChkCard: Seriennummer nicht korrekt");
    return false;
}

bool RKSV::MyChkReader(const std::string& serial, const std::string& pin)
{
    bool asked = false;
    return MyChkReader(serial, pin, asked);
}

bool RKSV::MyChkReader(const std::string& serial, const std::string& pin, bool& asked)
{
    asked = false;
    const auto product = app::toUpper(app::program().HostProduct);
    int pauses = 0;
    while (true) {
        MyChkCard(serial, pin);
        if (m_msgFirst.empty()) {
            return true;
        }
        // These host products give a reader that was just busy a moment before they report it.
        if ((product == "PLUMOXA" || product == "DRAVELIN") && pauses < MAX_READER_PAUSES) {
            ++pauses;
            std::this_thread::sleep_for(std::chrono::milliseconds(readerPauseMs.load()));
        }
        if (product == "PLUMOXA") {
            return false;
        }
        asked = true;
        const int answer = app::dialogs().TextBox("Reader prüfen",
                                                  m_msgFirst + "\r\n" + "Problem beheben und nochmals überprüfen?",
                                                  app::MB_YESNO | app::MB_ICONQUESTION);
        if (answer != app::IDYES) {
            return false;
        }
    }
}

long RKSV::MyGetCrdid(const std::string& kassa, const std::string& serial, const std::string& pin)
{
    // A failed card check stays in the message slots; the id is looked up all the same.
    MyChkCard(serial, pin);
    db::DbCrd cards({"CRDID", "KASSA", "SERNR"}, connection());
    cards.Where("kassa = " + db::Quote(kassa) + " and sernr = " + db::Quote(serial));
    cards.OrderBy({"crdid"});
    if (!cards.GoBottom()) {
        record("MyGetCrdid: Kann Crdid nicht finden");
        return 0;
    }
    return std::atol(cards.FieldGet("CRDID").c_str());
}

bool RKSV::MySernrExists(const std::string& serial, const std::string& pin, const std::string& kassa)
{
    if (serial.empty() || pin.empty()) {
        return true;
    }
    if (!MyChkCard(serial, pin)) {
        return false;
    }
    db::DbCrd cards({}, connection());
    cards.Where("kassa = " + db::Quote(kassa));
    cards.OrderBy({"KASSA", "CRDID"});
    const auto same = [&serial](const std::string& stored) {
        return app::equalsNoCase(app::trim(stored), app::trim(serial));
    };
    if (cards.GoBottom() && same(cards.FieldGet("SERNR"))) {
        return true;
    }
    for (bool more = cards.GoTop(); more; more = cards.Skip()) {
        if (same(cards.FieldGet("SERNR"))) {
            // Another card followed this one: a card taken out of service never signs again.
            record("MySernrExists: Karte kann nicht wiederverwendet werden");
            return false;
        }
    }
    if (!GetCardCertificate()) {
        return false;
    }
    std::string chain = m_chain;
    if (chain.find(CHAIN_PREFIX) != std::string::npos) {
        chain = app::replaceAll(app::replaceAll(chain, CHAIN_PREFIX, ""), CHAIN_SUFFIX, "");
    }
    cards.Append();
    cards.FieldPut("KASSA", kassa);
    cards.FieldPut("SERNR", serial);
    cards.FieldPut("BASE64", m_base64);
    cards.FieldPut("CHAIN", chain);
    cards.Commit();
    return true;
}

bool RKSV::signFor(const std::string& kassa,
                   long bonnr,
                   std::chrono::year_month_day date,
                   const std::string& time,
                   const Amounts& amounts,
                   std::int64_t counterBefore,
                   const std::string& previous)
{
    Component::Receipt receipt;
    receipt.kassa = kassa;
    receipt.bonnr = std::to_string(bonnr);
    receipt.dateTime = app::formatDate(date) + " " + time;
    for (const auto amount : amounts) {
        receipt.amounts.push_back(formatAmount(amount));
    }
    // The component adds the receipt's amounts to the counter it is given.
    receipt.turnoverCounter = std::to_string(counterBefore);
    receipt.previous = previous;
    return SignReceipt(std::move(receipt));
}

void RKSV::saveQrImage(const std::string& kassa, long bonnr)
{
    std::error_code error;
    auto folder = std::filesystem::temp_directory_path(error);
    if (error) {
        folder = "/tmp";
    }
    const auto file = folder / ("~" + fileNamePart(kassa) + std::to_string(bonnr) + ".BMP");
    if (JwsToImage(m_jws)) {
        SaveImageToFile(true, file.string(), "BMP");
    }
}

bool RKSV::MySignAll(const std::string& type,
                     const std::string& kassa,
                     long number,
                     const std::string& text,
                     std::chrono::year_month_day date,
                     const std::string& time,
                     const Amounts& amounts,
                     const std::string& serial,
                     const std::string& pin,
                     std::string& message)
{
    m_belege.clear();
    clearMessages();
    const auto fail = [&](const std::string& reason) {
        if (!reason.empty()) {
            record(reason);
        }
        message = m_msgFirst;
        return false;
    };
    const std::string requested = type;
    std::string status = type;
    std::int64_t counter = 0;
    std::string previous = kassa;
    long bonnr = 0;
    const auto database = connection();

    db::DbBon bons({"BONID", "KASSA", "BONNR", "TYP", "DATUM", "RKSV_JWS", "RKSV_SALDO", "RKSV_TYP"}, database);
    bons.Where("kassa = " + db::Quote(kassa) + " and typ = 'B'");
    bons.OrderBy(TILL_ORDER);
    const bool hasLast = bons.GoBottom();

    if (!accReady()) {
        // Without a signing component the receipt is numbered and counted, and stays unsigned.
        if (hasLast) {
            counter = centsOf(bons.FieldGet("RKSV_SALDO"));
        }
        bonnr = GetNextBonnr(kassa, "B", database);
        if (bonnr == 0) {
            return fail(OVERFLOW_MESSAGE);
        }
        counter += sumOf(amounts);
        m_belege.push_back({"", number, text, amounts, bonnr, date, time, counter, "", 0, 0});
        message = m_msgFirst;
        return true;
    }

    if (!hasLast) {
        status = "A"; // the till's first receipt starts its chain, whatever was asked
    } else {
        const auto lastJws = app::withoutNul(bons.FieldGet("RKSV_JWS"));
        counter = lastJws.empty() ? 0 : centsOf(bons.FieldGet("RKSV_SALDO"));
        previous = lastJws.empty() ? kassa : lastJws;
        if (status.empty()) {
            const auto lastDate = SQL2D(bons.FieldGet("DATUM"));
            const auto lastType = app::trim(bons.FieldGet("RKSV_TYP"));
            if (lastJws.empty()) {
                status = "A";
            } else if (lastDate && lastDate->year() != date.year() && lastType != "J") {
                status = "J";
            } else if (lastDate && lastDate->month() != date.month() && lastType != "M" && lastType != "J") {
                status = "M";
            } else if (RKSVMyJwsAusfall(previous)) {
                status = "S";
            }
        }
    }
    bons.Close();

    if (!status.empty()) {
        bonnr = GetNextBonnr(kassa, "B", database);
        if (bonnr == 0) {
            return fail(OVERFLOW_MESSAGE);
        }
        const long card = MyGetCrdid(kassa, serial, pin);
        if (card == 0) {
            return fail("");
        }
        signFor(kassa, bonnr, date, time, Amounts{}, counter, previous);
        message = m_msgFirst;
        if (m_jws.empty()) {
            return fail(NOT_SIGNED_MESSAGE);
        }
        if (status == "M" || status == "E" || !RKSVMyJwsAusfall(m_jws)) {
            m_belege.push_back({status, 0, text, Amounts{}, bonnr, date, time, counter, m_jws, card, 0});
            if (status == "A" || status == "E" || status == "J") {
                saveQrImage(kassa, bonnr);
            }
            previous = m_jws;
            bonnr = 0;
        } else if (!requested.empty()) {
            // A start, year or collective receipt signed while the security device has failed is no status
            // receipt; asked for explicitly, that must not look like success.
            return fail(STATUS_FAILED_MESSAGE);
        }
        // Otherwise it is dropped: the chain stays on the receipt before it, and its number goes to the next one.
        if (!requested.empty()) {
            return true;
        }
    }

    if (bonnr == 0) {
        bonnr = GetNextBonnr(kassa, "B", database);
        if (bonnr == 0) {
            return fail(NOT_SIGNED_MESSAGE);
        }
    }
    const std::int64_t counterBefore = counter;
    counter += sumOf(amounts);
    const long card = MyGetCrdid(kassa, serial, pin);
    if (card == 0) {
        return fail("");
    }
    for (int silentRetries = 0;;) {
        signFor(kassa, bonnr, date, time, amounts, counterBefore, previous);
        if (m_msgFirst.empty()) {
            break;
        }
        const auto signError = m_msgFirst;
        bool asked = false;
        if (!MyChkReader(serial, pin, asked)) {
            break;
        }
        // The card is there and accepts the PIN, yet signing failed: trying for ever would hang the till.
        if (!asked && ++silentRetries > MAX_SILENT_RETRIES) {
            record(signError);
            break;
        }
    }
    message = m_msgFirst;
    if (m_jws.empty()) {
        return fail(NOT_SIGNED_MESSAGE);
    }
    m_belege.push_back({"", number, text, amounts, bonnr, date, time, counter, m_jws, card, 0});
    saveQrImage(kassa, bonnr);
    return true;
}

} // namespace rksv

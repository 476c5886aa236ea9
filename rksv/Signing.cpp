// The signing service's card checks and the signing of a till's receipts: numbering, turnover counter, chain,
// status receipts and the QR image.
#include "base/Cp1252.h"
#include "base/Dialogs.h"
#include "base/ErrorLog.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "rksv/ImageFolder.h"
#include "rksv/Numbering.h"
#include "rksv/Rksv.h"
#include "rksv/TillLock.h"
#include "rksv/format/Jws.h"
#include "rksv/format/Receipt.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <optional>
#include <random>
#include <thread>
#include <utility>

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
const std::string START_FAILED_MESSAGE = "Startbeleg nicht erstellt - die Sicherheitseinrichtung ist ausgefallen, eine "
                                         "Kassa kann so nicht in Betrieb gehen, bitte Vexa verständigen";
// How often a step is repeated after a conflict with another station's before the till counts as busy.
constexpr int MAX_CONFLICTS = 20;
// Servers connected to anew within one step before the station gives up, and the pause between rounds of trying.
constexpr int MAX_RECONNECTS = 5;
constexpr auto RECONNECT_PAUSE = std::chrono::milliseconds(250);
std::atomic<long> reconnectWaitMs{30000};
std::atomic<long> repeatedStepCount{0};
const std::string STATUS_FAILED_MESSAGE =
    "Statusbeleg nicht erstellt - Sicherheitseinrichtung ausgefallen, bitte Vexa verständigen";

// "1234.5", "-0.50", "12", " 17.00 " (a decimal as the database gives it) → cents, exactly; nothing for anything else
// ("abc", "12,50", "1e3", more than two decimals that are not zeros), so a damaged counter is never taken for 0.
std::optional<std::int64_t> storedCents(const std::string& value)
{
    std::string_view text = value;
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) {
        text.remove_prefix(1);
    }
    const auto point = text.find('.');
    const auto whole = text.substr(0, point);
    const auto fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    const auto digits = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if ((whole.empty() && fraction.empty()) || !digits(whole) || !digits(fraction)
        || (fraction.size() > 2 && fraction.find_first_not_of('0', 2) != std::string_view::npos)) {
        return std::nullopt;
    }
    std::int64_t cents = 0;
    if (!whole.empty() && std::from_chars(whole.data(), whole.data() + whole.size(), cents).ec != std::errc()) {
        return std::nullopt;
    }
    cents = cents * 100 + (fraction.size() > 0 ? (fraction[0] - '0') * 10 : 0)
            + (fraction.size() > 1 ? fraction[1] - '0' : 0);
    return negative ? -cents : cents;
}

// "hh:mm:ss" as seconds of the day; nothing for any other text.
std::optional<int> secondsOfDay(const std::string& time)
{
    if (time.size() != 8 || time[2] != ':' || time[5] != ':') {
        return std::nullopt;
    }
    int parts[3] = {};
    for (int i = 0; i < 3; ++i) {
        const char* begin = time.data() + 3 * i;
        if (std::from_chars(begin, begin + 2, parts[i]).ptr != begin + 2) {
            return std::nullopt;
        }
    }
    return parts[0] * 3600 + parts[1] * 60 + parts[2];
}

// True when the receipt's date and time lie before those of the till's last receipt: its receipts' times never go
// back. A time that is no "hh:mm:ss" is left to the signature, which refuses it.
bool dateTimeBefore(std::chrono::year_month_day date,
                    const std::string& time,
                    std::chrono::year_month_day lastDate,
                    const std::string& lastTime)
{
    if (date != lastDate) {
        return date < lastDate;
    }
    const auto seconds = secondsOfDay(time);
    const auto lastSeconds = secondsOfDay(lastTime);
    return seconds && lastSeconds && *seconds < *lastSeconds;
}

// The record of the request's own receipt.
BelegRecord
ordinaryRecord(const SignRequest& request, long bonnr, std::int64_t counter, const std::string& jws, long card)
{
    return {"",
            request.number,
            request.text,
            request.amounts,
            bonnr,
            request.date,
            request.time,
            counter,
            jws,
            card,
            0,
            ReceiptId(static_cast<int>(request.date.year()), bonnr)};
}

std::string busyMessage(const std::string& kassa)
{
    return "Beleg nicht signiert - Kassa " + kassa
           + " wird gerade von einer anderen Station signiert, bitte nochmals versuchen";
}

// 1–2 ms after the first conflict, up to about 50–100 ms after many; random, so that stations spread out.
std::chrono::microseconds conflictPause(int conflicts)
{
    thread_local std::minstd_rand random(std::random_device{}());
    const long base = 1000L << std::min(conflicts - 1, 6);
    return std::chrono::microseconds(base + static_cast<long>(random() % static_cast<unsigned long>(base)));
}

std::string unreachableMessage(const std::string& kassa, const std::string& why)
{
    return "Beleg nicht signiert - die Datenbank der Kassa " + kassa
           + " ist nicht erreichbar, bitte nochmals versuchen (" + why + ")";
}

std::int64_t sumOf(const Amounts& amounts)
{
    return std::accumulate(amounts.begin(), amounts.end(), std::int64_t{0});
}

} // namespace

std::string decimalText(std::int64_t cents)
{
    return base::replaceAll(formatAmount(cents), ",", ".");
}

namespace {

// The column of the receipt's customer name, where the host product keeps it, and its width in characters.
std::string nameColumn()
{
    return base::toUpper(base::program().HostProduct).starts_with("DRAVELIN") ? "PK_NAM" : "NAME";
}
std::string nameValue(const std::string& text)
{
    return base::utf8Left(text, nameColumn() == "NAME" ? 100 : 60);
}

// The BONID of a till's receipt row with this date, number and JWS; 0 when there is none.
long storedBonid(db::Connection& connection, const std::string& kassa, const BelegRecord& beleg)
{
    const auto row = connection.queryRow(
        "SELECT MAX(BONID) FROM BONS WHERE KASSA = ? AND DATUM = ? AND BONNR = ? AND TYP = 'B' AND RKSV_JWS = ?",
        {kassa, base::formatIsoDate(beleg.date), std::to_string(beleg.bonnr), beleg.jws});
    return row.empty() || !row[0] ? 0 : std::atol(row[0]->c_str());
}

// The values of a receipt row in the column order of stepInsert.
std::vector<db::Text> rowValues(const std::string& kassa, const BelegRecord& beleg, bool named)
{
    std::vector<db::Text> values{kassa,
                                 base::formatIsoDate(beleg.date),
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
                                 std::to_string(beleg.crdid),
                                 std::to_string(beleg.number)};
    if (named) {
        values.emplace_back(nameValue(beleg.text));
    }
    return values;
}

// Adds the receipt's row and notes its BONID in the record.
void insertBeleg(db::Connection& connection, const std::string& kassa, BelegRecord& beleg)
{
    const bool named = !beleg.text.empty();
    connection.execute(
        "INSERT INTO BONS (KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS, RKSV_NORMAL, RKSV_ERM1, RKSV_ERM2, "
        "RKSV_NULL, RKSV_SONDER, RKSV_SALDO, RKSV_CRDID, KNDID"
            + (named ? ", " + nameColumn() : std::string()) + ") VALUES (?, ?, ?, ?, 'B', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?"
            + (named ? ", ?" : "") + ")",
        rowValues(kassa, beleg, named));
    beleg.bonid = storedBonid(connection, kassa, beleg);
}

/**
 * Adds the rows of one signing step and notes their BONIDs: one statement for all rows, prepared once per connection
 * and number of rows; on MariaDB it hands the BONIDs back itself (RETURNING), elsewhere one query reads them. The rows
 * of a step share till, date and text.
 */
void insertStepRows(db::Connection& connection, const std::string& kassa, std::vector<BelegRecord>& belege)
{
    const bool named = !belege.empty() && !belege.front().text.empty();
    const bool uniform = std::all_of(belege.begin(), belege.end(), [&](const BelegRecord& beleg) {
        return beleg.text.empty() != named && beleg.date == belege.front().date;
    });
    if (belege.empty() || !uniform || connection.kind() == db::Kind::Oracle) {
        for (auto& beleg : belege) {
            insertBeleg(connection, kassa, beleg);
        }
        return;
    }
    const std::string row = std::string("(?, ?, ?, ?, 'B', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?") + (named ? ", ?)" : ")");
    std::string sql = "INSERT INTO BONS (KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS, RKSV_NORMAL, RKSV_ERM1, "
                      "RKSV_ERM2, RKSV_NULL, RKSV_SONDER, RKSV_SALDO, RKSV_CRDID, KNDID"
                      + (named ? ", " + nameColumn() : std::string()) + ") VALUES ";
    std::vector<db::Text> values;
    for (std::size_t i = 0; i < belege.size(); ++i) {
        sql += (i == 0 ? "" : ", ") + row;
        const auto rowValuesOf = rowValues(kassa, belege[i], named);
        values.insert(values.end(), rowValuesOf.begin(), rowValuesOf.end());
    }
    std::vector<std::vector<db::Text>> ids;
    if (connection.kind() == db::Kind::MySQL && connection.dbmsName() == "MariaDB") {
        ids = connection.queryRowsPrepared(sql + " RETURNING BONID, BONNR", values);
    } else {
        connection.executePrepared(sql, values);
        const auto [low, high] = std::minmax_element(
            belege.begin(), belege.end(), [](const auto& a, const auto& b) { return a.bonnr < b.bonnr; });
        ids = connection.queryRowsPrepared(
            "SELECT BONID, BONNR FROM BONS WHERE KASSA = ? AND DATUM = ? AND TYP = 'B' AND BONNR >= ? AND BONNR <= ?",
            {kassa, base::formatIsoDate(belege.front().date), std::to_string(low->bonnr), std::to_string(high->bonnr)});
    }
    for (auto& beleg : belege) {
        for (const auto& id : ids) {
            if (id.size() == 2 && id[0] && id[1] && std::atol(id[1]->c_str()) == beleg.bonnr) {
                beleg.bonid = std::max(beleg.bonid, std::atol(id[0]->c_str()));
            }
        }
    }
}

} // namespace

void StoreBelege(const std::string& kassa, std::vector<BelegRecord>& belege, std::shared_ptr<db::Connection> connection)
{
    if (!connection) {
        connection = db::programConnection();
    }
    if (!connection) {
        throw base::PlatformError("Keine Datenbankverbindung zum Speichern der Belege");
    }
    for (auto& beleg : belege) {
        if (beleg.bonid == 0) {
            beleg.bonid = storedBonid(*connection, kassa, beleg);
        }
        if (beleg.bonid == 0) {
            insertBeleg(*connection, kassa, beleg);
            continue;
        }
        // Stored by the signing step already: the caller's values complete the row.
        std::vector<db::Text> values{std::to_string(beleg.number)};
        if (!beleg.text.empty()) {
            values.emplace_back(nameValue(beleg.text));
        }
        values.emplace_back(std::to_string(beleg.bonid));
        connection->execute("UPDATE BONS SET KNDID = ?"
                                + (beleg.text.empty() ? std::string() : ", " + nameColumn() + " = ?")
                                + " WHERE BONID = ?",
                            values);
    }
}

void StoreBelege(const std::string& kassa,
                 const std::vector<BelegRecord>& belege,
                 std::shared_ptr<db::Connection> connection)
{
    auto copy = belege;
    StoreBelege(kassa, copy, std::move(connection));
}

void RKSV::setReaderPause(std::chrono::milliseconds pause)
{
    readerPauseMs = static_cast<long>(pause.count());
}

std::shared_ptr<db::Connection> RKSV::connection() const
{
    return m_connection ? m_connection : db::programConnection();
}

long RKSV::repeatedSteps()
{
    return repeatedStepCount.load();
}

void RKSV::setReconnectWait(std::chrono::milliseconds wait)
{
    reconnectWaitMs = static_cast<long>(wait.count());
}

bool RKSV::reconnect(std::string& why)
{
    const auto list = m_connectionStrings.empty() ? db::programConnectionStrings() : m_connectionStrings;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(reconnectWaitMs.load());
    while (true) {
        // The next server first: the one just lost may be down for a while.
        for (std::size_t i = 1; i <= list.size(); ++i) {
            const std::size_t index = (m_connectionIndex + i) % list.size();
            try {
                auto opened = std::make_shared<db::Connection>(list[index]);
                opened->clusterNode();
                m_connectionIndex = index;
                if (m_connection) {
                    m_connection = std::move(opened);
                } else {
                    db::setProgramConnection(std::move(opened));
                }
                return true;
            } catch (const base::PlatformError& error) {
                why = error.what();
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(RECONNECT_PAUSE);
    }
}

bool RKSV::stepStored(const std::string& kassa)
{
    if (m_belege.empty()) {
        return false;
    }
    const auto& last = m_belege.back();
    return !connection()
                ->queryRow("SELECT BONID FROM BONS WHERE KASSA = ? AND TYP = 'B' AND BONNR = ? AND DATUM = "
                               + db::D2SQL(last.date, connection()->kind()),
                           {kassa, std::to_string(last.bonnr)})
                .empty();
}

bool RKSV::MyChkCard(const std::string& serial, const std::string& pin)
{
    clearMessages();
    // The card's session goes on where the last check found the card: its reader is asked first, so a till signing
    // receipt after receipt looks at no other reader and presents no PIN again (the component keeps the card's
    // session while the card stays and is not locked).
    const bool sameCard = m_cardFound && !m_reader.empty() && base::equalsNoCase(serial, m_serial) && pin == m_pin;
    const std::string known = sameCard ? m_reader : std::string();
    m_cardFound = false;
    m_serial = serial;
    m_pin = pin;
    m_pinRefused = false;
    if (!known.empty() && !pin.empty() && m_component) {
        const auto card = (*m_component)->GetCardInReader(known);
        if (!card.empty() && base::equalsNoCase(card, serial)) {
            m_cardInReader = card;
            if (VerifyPin(pin)) {
                clearMessages();
                return m_cardFound = true;
            }
            // Refused where it was accepted before (a locked card): the card says why, no other reader is asked.
            record("MyChkCard: Seriennummer nicht korrekt");
            m_pinRefused = true;
            return false;
        }
    }
    const long count = GetReadersCount();
    for (long position = 0; position < count; ++position) {
        if (GetReaderAt(position).empty()) {
            continue;
        }
        const auto card = GetCardInReader();
        if (card.empty() || !base::equalsNoCase(card, serial)) {
            continue;
        }
        if (VerifyPin(pin)) {
            // What was noted about other readers on the way (an empty one, another card) is no failure.
            clearMessages();
            return m_cardFound = true;
        }
        m_pinRefused = true;
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
    const auto product = base::toUpper(base::program().HostProduct);
    int pauses = 0;
    while (true) {
        if (MyChkCard(serial, pin)) {
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
        const int answer = base::dialogs().TextBox("Reader prüfen",
                                                   m_msgFirst + "\r\n" + "Problem beheben und nochmals überprüfen?",
                                                   base::MB_YESNO | base::MB_ICONQUESTION);
        if (answer != base::IDYES) {
            return false;
        }
    }
}

long RKSV::MyGetCrdid(const std::string& kassa, const std::string& serial, const std::string& pin)
{
    // A failed card check stays in the message slots; the id is looked up all the same.
    static_cast<void>(MyChkCard(serial, pin));
    return crdidOf(kassa, serial);
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
    cards.Where("kassa = ?", {base::trim(kassa)});
    cards.OrderBy({"KASSA", "CRDID"});
    const auto same = [&serial](const std::string& stored) {
        return base::equalsNoCase(base::trim(stored), base::trim(serial));
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
        chain = base::replaceAll(base::replaceAll(chain, CHAIN_PREFIX, ""), CHAIN_SUFFIX, "");
    }
    m_crdids.erase({base::trim(kassa), base::trim(serial)}); // registered anew: a new id
    cards.Append();
    cards.FieldPut("KASSA", kassa);
    cards.FieldPut("SERNR", serial);
    cards.FieldPut("BASE64", m_base64);
    cards.FieldPut("CHAIN", chain);
    cards.Commit();
    return true;
}

bool RKSV::signFor(const std::string& kassa,
                   const std::string& receiptId,
                   std::chrono::year_month_day date,
                   const std::string& time,
                   const Amounts& amounts,
                   std::int64_t counterBefore,
                   const std::string& previous)
{
    Component::Receipt receipt;
    receipt.kassa = kassa;
    receipt.bonnr = receiptId;
    receipt.dateTime = base::formatDate(date) + " " + time;
    for (const auto amount : amounts) {
        receipt.amounts.push_back(formatAmount(amount));
    }
    // The component adds the receipt's amounts to the counter it is given.
    receipt.turnoverCounter = std::to_string(counterBefore);
    receipt.previous = previous;
    return SignReceipt(std::move(receipt));
}

bool RKSV::saveQrImage(const std::string& kassa, const BelegRecord& beleg)
{
    std::string error;
    const auto folder = qrImageFolder(error);
    if (folder.empty()) {
        record(error);
        return false;
    }
    // The image goes straight to its file; the Base64 forms are made only when asked for (accImage()).
    m_image.clear();
    m_secondImage.clear();
    m_imageJws = beleg.jws;
    const auto file = qrImageFile(folder, kassa, beleg.receiptId).string();
    if (!m_component || !(*m_component)->SaveQrImage(beleg.jws, file)) {
        record("SaveImageToFile: Datei " + file + " Typ bmp nicht gespeichert");
        return false;
    }
    return true;
}

bool RKSV::ensureCard(const std::string& serial, const std::string& pin)
{
    // A refused PIN is no reader problem: checking it again would count it twice against the card.
    return MyChkCard(serial, pin) || (!m_pinRefused && MyChkReader(serial, pin));
}

long RKSV::crdidOf(const std::string& kassa, const std::string& serial)
{
    const auto key = std::make_pair(base::trim(kassa), base::trim(serial));
    if (const auto known = m_crdids.find(key); known != m_crdids.end()) {
        return known->second;
    }
    db::DbCrd cards({"CRDID", "KASSA", "SERNR"}, connection());
    cards.Where("kassa = ? and sernr = ?", {base::trim(kassa), base::trim(serial)});
    cards.OrderBy({"crdid"});
    if (!cards.GoBottom()) {
        record("MyGetCrdid: Kann Crdid nicht finden");
        return 0;
    }
    return m_crdids[key] = std::atol(cards.FieldGet("CRDID").c_str());
}

RKSV::LastReceipt RKSV::lastReceipt(const std::string& kassa)
{
    LastReceipt last;
    const auto database = connection();
    if (database->kind() != db::Kind::Oracle) {
        // TILL_ORDER backwards, served by the index on till, date and number.
        const auto row = database->queryRowPrepared(
            "SELECT BONNR, DATUM, ZEIT, RKSV_JWS, RKSV_SALDO, RKSV_TYP FROM BONS WHERE KASSA = ? AND TYP = 'B' "
            "ORDER BY DATUM DESC, BONNR DESC LIMIT 1",
            {kassa});
        if (!row.empty()) {
            const auto text = [&row](std::size_t i) { return row[i].value_or(std::string()); };
            last.exists = true;
            last.bonnr = base::trim(text(0));
            last.date = SQL2D(text(1));
            last.time = base::trim(text(2));
            last.jws = base::withoutNul(text(3));
            last.saldo = text(4);
            last.type = base::trim(text(5));
        }
        return last;
    }
    db::DbBon bons({"BONID", "KASSA", "BONNR", "TYP", "DATUM", "ZEIT", "RKSV_JWS", "RKSV_SALDO", "RKSV_TYP"},
                   connection());
    bons.Where("kassa = ? and typ = 'B'", {base::trim(kassa)});
    bons.OrderBy(TILL_ORDER);
    if (bons.GoBottom()) {
        last.exists = true;
        last.bonnr = base::trim(bons.FieldGet("BONNR"));
        last.date = SQL2D(bons.FieldGet("DATUM"));
        last.time = base::trim(bons.FieldGet("ZEIT"));
        last.jws = base::withoutNul(bons.FieldGet("RKSV_JWS"));
        last.saldo = bons.FieldGet("RKSV_SALDO");
        last.type = base::trim(bons.FieldGet("RKSV_TYP"));
    }
    return last;
}

bool RKSV::yearReceiptMissing(const std::string& kassa, std::chrono::year_month_day date)
{
    const auto database = connection();
    const auto newYear = db::D2SQL(date.year() / std::chrono::January / 1, database->kind());
    const std::string till = "SELECT BONID FROM BONS WHERE KASSA = ? AND TYP = 'B' AND DATUM ";
    // The year's chain already begins with a year receipt or a start receipt, or the till began this year.
    return database->queryRow(till + ">= " + newYear + " AND RKSV_TYP IN ('J', 'A') LIMIT 1", {kassa}).empty()
           && !database->queryRow(till + "< " + newYear + " LIMIT 1", {kassa}).empty();
}

bool RKSV::signedByCard(const std::string& serial)
{
    const auto data = signedDataOfJws(m_jws);
    const auto parsed = data ? parseSignedData(*data) : std::nullopt;
    if (parsed && base::equalsNoCase(base::trim(parsed->zertifikatSeriennummer), base::trim(serial))) {
        return true;
    }
    // Another card signed (the expected one went, another in its reader took the PIN): never under this card's id.
    record("MyChkCard: Seriennummer nicht korrekt");
    return false;
}

RKSV::StepEnd RKSV::signStep(const SignRequest& request, long card, std::string& failure)
{
    const auto& kassa = request.kassa;
    const auto& date = request.date;
    TillLock lock(connection(), kassa, tillLockWait());
    const auto last = lastReceipt(kassa);
    const bool signedBefore = last.exists && !last.jws.empty();
    std::int64_t counter = 0;
    if (signedBefore || (last.exists && !accReady())) {
        const auto cents = storedCents(last.saldo);
        if (!cents) {
            failure = "Beleg nicht signiert - Umsatzzähler des letzten Belegs (Bonnr " + last.bonnr
                      + ") ist keine Zahl: \"" + base::trim(last.saldo) + "\", bitte Vexa verständigen";
            return StepEnd::Failed;
        }
        counter = *cents;
    }
    if (last.date && dateTimeBefore(date, request.time, *last.date, last.time)) {
        failure = "Beleg nicht signiert - " + base::formatDate(date) + " " + request.time
                  + " liegt vor dem letzten Beleg der Kassa " + kassa + " (" + base::formatDate(*last.date) + " "
                  + last.time + "), bitte Datum und Uhrzeit der Station prüfen";
        return StepEnd::Failed;
    }
    const int year = static_cast<int>(date.year());
    long pending = 0; // a number taken for a status receipt that was dropped goes to the next receipt
    // The numbers come from the range the lock holds, and the range is written once as the step ends.
    const auto& range = lock.range();
    const auto rangeValue = [&range](std::size_t i) {
        return range.size() > i && range[i] ? std::atol(range[i]->c_str()) : 0L;
    };
    const long storedYear = rangeValue(0);
    const long storedNumber = rangeValue(1);
    long rangeYear = storedYear;
    long rangeNumber = storedNumber;
    const auto take = [&](const std::string& exhausted) -> long {
        if (pending != 0) {
            return std::exchange(pending, 0);
        }
        const auto taken = range.empty() ? RangeNumber{RangeNumber::Status::Taken, rangeNumber + 1, year}
                                         : numberAfter(rangeYear, rangeNumber, year);
        if (taken.status == RangeNumber::Status::Taken) {
            rangeYear = taken.rangeYear;
            rangeNumber = taken.number;
        }
        if (taken.status == RangeNumber::Status::YearPassed) {
            failure = "Beleg nicht signiert - der Nummernkreis der Kassa " + kassa + " zählt schon das Jahr "
                      + std::to_string(taken.rangeYear) + ", der Beleg ist vom " + base::formatDate(date);
        } else if (taken.status == RangeNumber::Status::Exhausted) {
            failure = exhausted;
        }
        return taken.number;
    };

    if (!accReady()) {
        // Without a signing component the receipt is numbered and counted, and stays unsigned.
        const long bonnr = take(OVERFLOW_MESSAGE);
        if (bonnr == 0) {
            return StepEnd::Failed;
        }
        counter += sumOf(request.amounts);
        m_belege.push_back(ordinaryRecord(request, bonnr, counter, "", 0));
        storeStep(lock, kassa, range.empty(), {storedYear, storedNumber}, {rangeYear, rangeNumber});
        return StepEnd::Stored;
    }

    // A start receipt begins the chain anew: counter 0, chained to the till id. It is due for a till without signed
    // receipts and after a closing receipt, whatever was asked.
    const bool startDue = !signedBefore || last.type == "E";
    std::vector<std::string> statuses;
    if (startDue) {
        statuses.push_back("A");
    } else if (request.type == "A") {
        failure = "Startbeleg nicht erstellt - die Kassa " + kassa + " hat bereits einen Startbeleg";
        return StepEnd::Failed;
    } else if (!request.type.empty()) {
        statuses.push_back(request.type);
    } else {
        const bool failedBefore = RKSVMyJwsAusfall(last.jws);
        if (failedBefore) {
            statuses.push_back("S");
        }
        if (last.date && last.date->year() != date.year() && last.type != "J") {
            statuses.push_back("J");
        } else if (failedBefore && yearReceiptMissing(kassa, date)) {
            // The year receipt was dropped while the device had failed: it is signed now that it may work again.
            statuses.push_back("J");
        } else if (last.date && last.date->month() != date.month() && last.type != "M" && last.type != "J") {
            statuses.push_back("M");
        }
    }
    std::string previous = startDue ? kassa : last.jws;
    if (startDue) {
        counter = 0;
    }

    for (const auto& status : statuses) {
        const long bonnr = take(OVERFLOW_MESSAGE);
        if (bonnr == 0) {
            return StepEnd::Failed;
        }
        const auto receiptId = ReceiptId(year, bonnr);
        if (!signFor(kassa, receiptId, date, request.time, Amounts{}, counter, previous)) {
            failure = NOT_SIGNED_MESSAGE;
            return StepEnd::Failed;
        }
        if (!signedByCard(request.serial)) {
            return StepEnd::Failed;
        }
        if (status == "M" || status == "E" || !RKSVMyJwsAusfall(m_jws)) {
            m_belege.push_back(
                {status, 0, request.text, Amounts{}, bonnr, date, request.time, counter, m_jws, card, 0, receiptId});
            previous = m_jws;
        } else if (status == "A") {
            failure = START_FAILED_MESSAGE;
            return StepEnd::Failed;
        } else if (!request.type.empty()) {
            // A year or collective receipt signed while the security device has failed is no status receipt; asked
            // for explicitly, that must not look like success.
            failure = STATUS_FAILED_MESSAGE;
            return StepEnd::Failed;
        } else {
            // Dropped: the chain stays on the receipt before it, and its number goes to the next one.
            pending = bonnr;
        }
    }

    if (request.type.empty()) {
        const long bonnr = take(NOT_SIGNED_MESSAGE);
        if (bonnr == 0) {
            return StepEnd::Failed;
        }
        const auto receiptId = ReceiptId(year, bonnr);
        if (!signFor(kassa, receiptId, date, request.time, request.amounts, counter, previous)) {
            return StepEnd::SignatureFailed;
        }
        if (!signedByCard(request.serial)) {
            return StepEnd::Failed;
        }
        counter += sumOf(request.amounts);
        m_belege.push_back(ordinaryRecord(request, bonnr, counter, m_jws, card));
    }
    storeStep(lock, kassa, range.empty(), {storedYear, storedNumber}, {rangeYear, rangeNumber});
    return StepEnd::Stored;
}

void RKSV::storeStep(
    TillLock& lock, const std::string& kassa, bool newRange, std::pair<long, long> before, std::pair<long, long> after)
{
    const auto database = connection();
    insertStepRows(*database, kassa, m_belege);
    if (newRange) {
        database->executePrepared(
            "INSERT INTO NUMMERNKREISE (TYP, KASSA, JAHR, BONNR, TSTAMP) VALUES ('B', ?, ?, ?, ?)",
            {kassa, std::to_string(after.first), std::to_string(after.second), db::MySqlTable::GetTStamp()});
    } else if (after != before) {
        // Conditional, as every taker of numbers writes: under the lock nobody else can have moved the range.
        const long changed = database->executePrepared(
            "UPDATE NUMMERNKREISE SET JAHR = ?, BONNR = ?, TSTAMP = ? WHERE KASSA = ? AND TYP = 'B' AND JAHR = ? "
            "AND BONNR = ?",
            {std::to_string(after.first),
             std::to_string(after.second),
             db::MySqlTable::GetTStamp(),
             kassa,
             std::to_string(before.first),
             std::to_string(before.second)});
        if (changed != 1) {
            throw TillConflict("Nummernkreis der Kassa " + kassa + " während des Schritts verändert");
        }
    }
    lock.commit();
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
    return MySignAll({type, kassa, number, text, date, time, amounts, serial, pin}, message);
}

bool RKSV::MySignAll(const SignRequest& request, std::string& message)
{
    const auto result = sign(request);
    message = result.message;
    return result.stored;
}

SignResult RKSV::sign(const SignRequest& asked)
{
    // The till id as every lookup trims it, so its receipts are stored, numbered and locked under the same spelling.
    SignRequest request = asked;
    request.kassa = base::trim(asked.kassa);
    m_belege.clear();
    clearMessages();
    const auto fail = [&](const std::string& reason) {
        m_belege.clear();
        if (!reason.empty()) {
            record(reason);
        }
        return SignResult{false, m_msgFirst, {}};
    };
    if (!connection()) {
        return fail("Beleg nicht gespeichert - keine Verbindung zur Datenbank der Kassa");
    }
    long card = 0;
    if (accReady()) {
        // The card and its PIN are checked before the till is locked and a number taken: the reader question may
        // wait for the user, and a failed check costs no number.
        if (!ensureCard(request.serial, request.pin)) {
            return fail("");
        }
        // The first read of this receipt: a server lost since the last one is noticed here.
        for (int attempt = 0;; ++attempt) {
            try {
                try {
                    card = crdidOf(request.kassa, request.serial);
                } catch (const base::PlatformError& error) {
                    rethrowStepError(error, false);
                }
                break;
            } catch (const TillUnreachable& lost) {
                std::string why = lost.what();
                if (attempt > 0 || !reconnect(why)) {
                    return fail(unreachableMessage(request.kassa, why));
                }
            }
        }
        if (card == 0) {
            return fail("");
        }
    }
    int conflicts = 0;
    int reconnects = 0;
    for (int silentRetries = 0;;) {
        m_belege.clear();
        std::string failure;
        StepEnd end = StepEnd::Failed;
        try {
            try {
                end = signStep(request, card, failure);
            } catch (const base::PlatformError& error) {
                rethrowStepError(error, false);
            }
        } catch (const TillBusy&) {
            return fail(busyMessage(request.kassa));
        } catch (const TillConflict&) {
            if (++conflicts > MAX_CONFLICTS) {
                return fail(busyMessage(request.kassa));
            }
            // Another station's step won: read its receipt and sign again, after a pause that grows and differs from
            // station to station, so that stations on several cluster nodes do not collide again and again.
            ++repeatedStepCount;
            std::this_thread::sleep_for(conflictPause(conflicts));
            continue;
        } catch (const TillUnreachable& lost) {
            // Nothing of the step is stored unless its commit went through before the answer was lost; either way
            // the step goes on at another server, and a stored step is never signed twice.
            std::string why = lost.what();
            if (++reconnects > MAX_RECONNECTS || !reconnect(why)) {
                return fail(unreachableMessage(request.kassa, why));
            }
            try {
                if (lost.duringCommit() && stepStored(request.kassa)) {
                    break;
                }
            } catch (const base::PlatformError&) {
                // The new server failed at once as well: the next round tries again.
            }
            continue;
        }
        if (end == StepEnd::Failed) {
            return fail(failure);
        }
        if (end == StepEnd::Stored) {
            break;
        }
        // The signature failed with the till unlocked again: ask about the reader, then repeat the whole step.
        const auto signError = m_msgFirst;
        bool asked = false;
        if (!MyChkReader(request.serial, request.pin, asked)) {
            return fail(NOT_SIGNED_MESSAGE);
        }
        // The card is there and accepts the PIN, yet signing failed: trying for ever would hang the till.
        if (!asked && ++silentRetries > MAX_SILENT_RETRIES) {
            record(signError);
            return fail(NOT_SIGNED_MESSAGE);
        }
    }
    // The images only of what is stored; a failed image is reported, the receipts stay.
    for (const auto& beleg : m_belege) {
        if (!beleg.jws.empty() && (beleg.type.empty() || beleg.type == "A" || beleg.type == "E" || beleg.type == "J")) {
            saveQrImage(request.kassa, beleg);
        }
    }
    return SignResult{true, m_msgFirst, m_belege};
}

} // namespace rksv

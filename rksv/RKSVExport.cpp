#include "rksv/RKSVExport.h"

#include "base/Cp1252.h"
#include "base/Dialogs.h"
#include "base/ErrorLog.h"
#include "base/Files.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "rksv/Numbering.h"
#include "rksv/Rksv.h"
#include "rksv/depcheck/DepVerifier.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace rksv {
namespace {

constexpr const char* DESCRIPTION = "Datenerfassungsprotokoll";
constexpr const char* EXTENSION = "JSON";
constexpr const char* NOT_POSSIBLE = "Export DEP nicht möglich - ";
// The receipts of all tills: each till's signed receipts.
constexpr const char* ALL_TILLS_CONDITION = "typ IN ('B', 'N') AND RKSV_JWS <> ''";

// What the temporary file collects before it is written: large enough that a million receipts take a few hundred
// writes, small enough not to matter beside the rows the cursor holds.
constexpr std::size_t WRITE_BUFFER = 1 << 20;

/**
 * The temporary file, written through one buffer as the text grows. A failed open, write or close is remembered
 * and reported by close(); unless kept, the file is removed when the writer goes (also when an exception ends the
 * export).
 */
class TempFile
{
public:
    explicit TempFile(std::string path)
        : m_path(std::move(path))
        , m_file(std::fopen(m_path.c_str(), "wb"))
    {
        m_failed = m_file == nullptr;
        m_buffer.reserve(WRITE_BUFFER + 4096);
    }
    ~TempFile()
    {
        if (m_file) {
            std::fclose(m_file);
        }
        if (!m_keep) {
            std::error_code ignored;
            std::filesystem::remove(m_path, ignored);
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool opened() const { return m_file != nullptr; }
    const std::string& path() const { return m_path; }
    std::string& buffer() { return m_buffer; }

    void write(std::string_view text)
    {
        m_buffer.append(text);
        flushIfFull();
    }
    void flushIfFull()
    {
        if (m_buffer.size() >= WRITE_BUFFER) {
            flush();
        }
    }
    //! Writes what is buffered, puts it on the disk and closes the file; false when anything failed since it was
    //! opened. Only a file that is on the disk is renamed into place.
    bool close()
    {
        flush();
        if (m_file) {
            m_failed = std::fflush(m_file) != 0 || ::fsync(::fileno(m_file)) != 0 || m_failed;
            m_failed = std::fclose(m_file) != 0 || m_failed;
            m_file = nullptr;
        }
        return !m_failed;
    }
    //! The file stays when the writer goes.
    void keep() { m_keep = true; }

private:
    void flush()
    {
        if (m_file && !m_failed && !m_buffer.empty()) {
            m_failed = std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file) != m_buffer.size();
        }
        m_buffer.clear();
    }

    std::string m_path;
    std::FILE* m_file;
    std::string m_buffer;
    bool m_failed = false;
    bool m_keep = false;
};

// Rows fetched by one query of the receipt reader.
constexpr int READ_BATCH = 4000;
// The days a query of the receipt reader spans at first, and at the most while it finds few receipts.
constexpr int FIRST_WINDOW_DAYS = 8;
constexpr int LAST_WINDOW_DAYS = 512;

/**
 * The receipts of a till (or of every till) from a date on, in each till's signing order (KASSA, then TILL_ORDER:
 * DATUM, BONNR, and BONID), read till by till and a batch at a time, so that no more than one batch is held. Without
 * a till, the tills are those with receipts from the date on, or, given an end date for the list, those with
 * receipts up to it; their receipts are read past it all the same (the caller ends a till's with skipTill).
 *
 * Every query spans a window of days with both ends given and continues after the last row read, on the index
 * (KASSA, DATUM, BONNR). The closed window matters: given only a start date, MariaDB reads the till's index from its
 * first receipt on for every batch, and a long export would cost the square of its receipts. The window is short
 * (FIRST_WINDOW_DAYS) while the days are full, and doubles while they hold fewer receipts than a batch, so that
 * quiet periods are crossed in few queries.
 */
class ReceiptRows
{
public:
    struct Row
    {
        std::string kassa;
        std::string bonnr;
        std::string bonid;
        std::string datum;
        std::string jws;
        std::string status;
        std::string crdid;
    };

    ReceiptRows(std::shared_ptr<db::Connection> connection,
                const std::string& condition,
                std::chrono::year_month_day from,
                const std::string& till,
                std::optional<std::chrono::year_month_day> tillsUntil = std::nullopt)
        : m_connection(std::move(connection))
        , m_kind(m_connection->kind())
        , m_condition(condition.empty() ? std::string("1 = 1") : condition)
        , m_from(from)
    {
        if (!till.empty()) {
            m_tills.push_back(till);
            return;
        }
        db::Statement statement(*m_connection);
        statement.execute(
            "SELECT DISTINCT KASSA FROM BONS WHERE (" + m_condition + ") AND DATUM >= " + db::D2SQL(from, m_kind)
            + (tillsUntil ? " AND DATUM <= " + db::D2SQL(*tillsUntil, m_kind) : std::string()) + " ORDER BY KASSA");
        while (statement.fetch()) {
            m_tills.push_back(statement.get(0).value_or(std::string()));
        }
    }

    //! Moves to the next row; false past the last.
    bool next() { return ++m_position < m_batch.size() || fetch(); }
    const Row& row() const { return m_batch[m_position]; }
    //! Leaves the rest of the current till's receipts out: the next row is the first of the next till.
    /**
     * Moves to the next row, as next(). Past `to` a till's receipts run on until the status receipt that closes the
     * period: after it, the till's later receipts are skipped and the next till's follow. False past the last row.
     */
    bool nextInPeriod(std::chrono::year_month_day to)
    {
        const auto statusTill = base::isBlank(row().status) ? std::nullopt : std::optional<std::string>(row().kassa);
        bool more = next();
        if (more && statusTill && row().kassa == *statusTill) {
            const auto date = SQL2D(row().datum);
            if (date && *date > to) {
                skipTill();
                more = next();
            }
        }
        return more;
    }

    void skipTill()
    {
        m_batch.clear();
        m_position = static_cast<std::size_t>(-1);
        m_started = false;
        ++m_till;
    }

private:
    using Days = std::chrono::sys_days;

    // The date of a value as the database returns it; a value that is none is a failure of the database.
    static Days dayOf(const std::string& value)
    {
        const auto date = SQL2D(value);
        if (!date) {
            throw base::PlatformError("Tabelle BONS: unlesbares Datum \"" + value + "\"");
        }
        return Days(*date);
    }

    // The first and last day of the current till's receipts in the range; false when it has none.
    bool startTill()
    {
        const std::vector<db::Text> till{m_tills[m_till]};
        const auto range = " FROM BONS WHERE KASSA = ? AND DATUM >= " + db::D2SQL(m_from, m_kind);
        // Two queries: SQLite answers MIN and MAX from the index only one at a time.
        const auto first = m_connection->queryRow("SELECT MIN(DATUM)" + range, till);
        const auto last = m_connection->queryRow("SELECT MAX(DATUM)" + range, till);
        if (first.empty() || !first[0] || first[0]->empty() || last.empty() || !last[0] || last[0]->empty()) {
            return false;
        }
        m_start = dayOf(*first[0]);
        m_end = dayOf(*last[0]);
        m_window = FIRST_WINDOW_DAYS;
        m_last.reset();
        return true;
    }

    // The next batch; false at the end of the last till.
    bool fetch()
    {
        m_position = 0;
        m_batch.clear();
        while (m_till < m_tills.size()) {
            if (!m_started) {
                m_started = startTill();
                if (!m_started) {
                    ++m_till;
                    continue;
                }
            }
            if (m_start > m_end) {
                m_started = false;
                ++m_till;
                continue;
            }
            const Days windowEnd = std::min(m_end, m_start + std::chrono::days(m_window - 1));
            const auto start = db::D2SQL(std::chrono::year_month_day(m_start), m_kind);
            const auto end = db::D2SQL(std::chrono::year_month_day(windowEnd), m_kind);
            std::vector<db::Text> parameters{m_tills[m_till]};
            std::string sql =
                "SELECT BONNR, BONID, DATUM, RKSV_JWS, RKSV_TYP, RKSV_CRDID FROM BONS WHERE KASSA = ? AND ("
                + m_condition + ") AND ";
            if (m_last) {
                // Continues after the last row read, which lies on the window's first day: each alternative is one
                // range of the index (KASSA, DATUM, BONNR), so the rows read before are not read again.
                sql += "((DATUM = " + start + " AND BONNR > ?) OR (DATUM = " + start
                       + " AND BONNR = ? AND BONID > ?) OR (DATUM > " + start + " AND DATUM <= " + end + "))";
                parameters.insert(parameters.end(), {m_last->bonnr, m_last->bonnr, m_last->bonid});
            } else {
                sql += "DATUM >= " + start + " AND DATUM <= " + end;
            }
            sql += " ORDER BY DATUM, BONNR, BONID LIMIT " + std::to_string(READ_BATCH);
            db::Statement statement(*m_connection);
            statement.execute(sql, parameters);
            while (statement.fetch()) {
                Row row;
                row.kassa = m_tills[m_till];
                row.bonnr = statement.get(0).value_or(std::string());
                row.bonid = statement.get(1).value_or(std::string());
                row.datum = statement.get(2).value_or(std::string());
                row.jws = statement.get(3).value_or(std::string());
                row.status = statement.get(4).value_or(std::string());
                row.crdid = base::trim(statement.get(5).value_or(std::string()));
                m_batch.push_back(std::move(row));
            }
            if (m_batch.size() == static_cast<std::size_t>(READ_BATCH)) {
                // The window may hold more: go on after the last row read, with a short window again.
                m_last = m_batch.back();
                m_start = dayOf(m_last->datum);
                m_window = FIRST_WINDOW_DAYS;
            } else {
                // The window is read to its end.
                m_last.reset();
                m_start = windowEnd + std::chrono::days(1);
                m_window = std::min(m_window * 2, LAST_WINDOW_DAYS);
            }
            if (!m_batch.empty()) {
                return true;
            }
        }
        return false;
    }

    std::shared_ptr<db::Connection> m_connection;
    db::Kind m_kind;
    std::string m_condition;
    std::chrono::year_month_day m_from;
    std::vector<std::string> m_tills;
    std::size_t m_till = 0;
    bool m_started = false;
    Days m_start{};
    Days m_end{};
    int m_window = FIRST_WINDOW_DAYS;
    std::optional<Row> m_last;
    std::vector<Row> m_batch;
    std::size_t m_position = static_cast<std::size_t>(-1);
};

// A JSON string value. Stored receipts and certificates are Base64 and need no escaping; anything else that would end
// or break the string is escaped, bytes that are no UTF-8 are replaced, and NUL characters are left out.
void appendQuoted(std::string& out, std::string_view text)
{
    std::string value(text);
    std::erase(value, '\0');
    out += nlohmann::json(std::move(value)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The issuing certificates of a card as CARDS.CHAIN holds them: Base64 DER texts joined by ";". Rows written before
// the card registration dropped the list's JSON wrapper still carry it (`"Zertifizierungsstellen":["` ... `"\r\n]`,
// possibly with `","` between the entries). Nothing of the wrapper, no blank, line break or NUL character can be part
// of Base64, so all of them are left out, and so are empty entries.
std::vector<std::string> issuersOf(std::string_view chain)
{
    constexpr std::string_view WRAPPER = "\"Zertifizierungsstellen\"";
    if (const auto name = chain.find(WRAPPER); name != std::string_view::npos) {
        chain.remove_prefix(name + WRAPPER.size());
    }
    constexpr std::string_view DROPPED("\"[]{}:\0", 7);
    std::vector<std::string> issuers(1);
    for (const char c : chain) {
        if (c == ';' || c == ',') {
            if (!issuers.back().empty()) {
                issuers.emplace_back();
            }
        } else if (DROPPED.find(c) == std::string_view::npos && std::isspace(static_cast<unsigned char>(c)) == 0) {
            issuers.back() += c;
        }
    }
    if (issuers.back().empty()) {
        issuers.pop_back();
    }
    return issuers;
}

// A card's certificate and issuing certificates; both empty when the card is not registered.
struct CardTexts
{
    std::string certificate;
    std::vector<std::string> issuers;
};

CardTexts cardTexts(db::DbCrd& cards, const std::string& crdid)
{
    CardTexts card;
    if (cards.Seek("CRDID", crdid)) {
        card.certificate = base::withoutNul(cards.FieldGet("BASE64"));
        card.issuers = issuersOf(cards.FieldGet("CHAIN"));
    }
    return card;
}

/**
 * The DEP that the signing component composes, for any number of receipts in bounded memory: the component gets the
 * receipts a chunk at a time (RKSVExport::COMPONENT_CHUNK), with the certificate and chain of their card, and the
 * answers for the chunks of one card run are joined into one group of the temporary file: the group's certificate
 * members from the first answer, the receipts of every answer in order. A failed or unreadable answer ends it, with
 * the reason in error().
 */
class ComponentDep
{
public:
    ComponentDep(RKSV& service, TempFile& out)
        : m_service(service)
        , m_out(out)
    {
        m_chunk.reserve(RKSVExport::COMPONENT_CHUNK);
        m_out.write("{\"Belege-Gruppe\":[");
    }

    //! Ends the open group; the next receipts go to the component with this certificate and chain.
    [[nodiscard]] bool startGroup(const std::string& certificate, const std::string& chain)
    {
        if (!endGroup()) {
            return false;
        }
        m_service.assBase64(certificate);
        m_service.assChain(chain);
        return true;
    }
    [[nodiscard]] bool add(std::string jws)
    {
        m_chunk.push_back(std::move(jws));
        return m_chunk.size() < static_cast<std::size_t>(RKSVExport::COMPONENT_CHUNK) || flush();
    }
    //! Ends the last group and the list of groups.
    [[nodiscard]] bool finish()
    {
        if (!endGroup()) {
            return false;
        }
        m_out.write("]}");
        return true;
    }
    const std::string& error() const { return m_error; }

private:
    bool endGroup()
    {
        if (!flush()) {
            return false;
        }
        if (m_groupOpen) {
            m_out.write("]}");
            m_groupOpen = false;
        }
        return true;
    }
    bool flush()
    {
        if (m_chunk.empty()) {
            return true;
        }
        const std::string json = m_service.ExportJws(m_chunk);
        m_chunk.clear();
        if (json.empty()) {
            m_error = m_service.accMsgFirst();
            return false;
        }
        const auto group = depAnswerGroup(json);
        if (!group) {
            m_error = "Antwort der Signaturkomponente nicht lesbar";
            return false;
        }
        if (!m_groupOpen) {
            m_out.write(m_groups++ == 0 ? "{" : ",{");
            m_out.write(group->members);
            m_out.write(group->members.empty() ? "\"Belege-kompakt\":[" : ",\"Belege-kompakt\":[");
            m_groupOpen = true;
            m_groupHasReceipts = false;
        }
        if (!group->receipts.empty()) {
            if (m_groupHasReceipts) {
                m_out.write(",");
            }
            m_out.write(group->receipts);
            m_groupHasReceipts = true;
        }
        return true;
    }

    RKSV& m_service;
    TempFile& m_out;
    std::vector<std::string> m_chunk;
    std::string m_error;
    int m_groups = 0;
    bool m_groupOpen = false;
    bool m_groupHasReceipts = false;
};

std::string eightDigits(std::chrono::year_month_day date)
{
    return base::replaceAll(base::formatIsoDate(date), "-", "");
}

bool endsWithNoCase(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && base::equalsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// Puts the temporary file in the target's place: renamed where both share a file system, otherwise copied beside
// the target and renamed over it, so a failure never leaves half a file under the target's name.
bool moveFile(const std::string& from, const std::string& to)
{
    std::error_code error;
    std::filesystem::rename(from, to, error);
    if (!error) {
        return true;
    }
    const std::string part = to + ".~TMP";
    if (std::filesystem::copy_file(from, part, std::filesystem::copy_options::overwrite_existing, error)) {
        std::filesystem::rename(part, to, error);
        if (!error) {
            return true;
        }
    }
    std::filesystem::remove(part, error);
    return false;
}

// An export without receipts saves nothing: a DEP without receipts would pass for a till that sold nothing.
void reportNoReceipts(const std::string& till, std::chrono::year_month_day from, std::chrono::year_month_day to)
{
    base::dialogs().ErrorBox(std::string(NOT_POSSIBLE) + "keine signierten Belege "
                             + (till.empty() ? std::string("einer Kassa") : "der Kassa " + till) + " vom "
                             + base::formatDate(from) + " bis " + base::formatDate(to)
                             + " gefunden, nichts gespeichert");
}

void reportUnwritten(const std::string& path)
{
    base::dialogs().ErrorBox(std::string(NOT_POSSIBLE) + "Datei " + path + " nicht geschrieben");
}

} // namespace

std::optional<DepAnswerGroup> depAnswerGroup(std::string_view json)
{
    using Json = nlohmann::ordered_json;
    const auto answer = Json::parse(json, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) {
        return std::nullopt;
    }
    const auto groups = answer.find("Belege-Gruppe");
    if (groups == answer.end() || !groups->is_array() || groups->size() != 1 || !groups->front().is_object()) {
        return std::nullopt;
    }
    const auto& group = groups->front();
    const auto receipts = group.find("Belege-kompakt");
    if (receipts == group.end() || !receipts->is_array()) {
        return std::nullopt;
    }
    const auto text = [](const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); };
    DepAnswerGroup result;
    for (const auto& [key, value] : group.items()) {
        if (key != "Belege-kompakt") {
            result.members += (result.members.empty() ? "" : ",") + text(Json(key)) + ":" + text(value);
        }
    }
    for (const auto& receipt : *receipts) {
        result.receipts += (result.receipts.empty() ? "" : ",") + text(receipt);
    }
    return result;
}

std::string depTempName(const std::string& kassa, std::chrono::year_month_day from, std::chrono::year_month_day to)
{
    return base::toUpper(base::program().HostProduct) + "-DEP-" + (kassa.empty() ? "" : kassa + "-") + eightDigits(from)
           + "-" + eightDigits(to) + ".TMP";
}

RKSVExport::RKSVExport(std::shared_ptr<db::Connection> connection)
    : m_connection(std::move(connection))
{
    // A file that reaches the process's size limit must end in a failed write and the export's message, not in the
    // signal that ends the whole program. The export streams into its own file; every other file goes through
    // base::writeFileDurably, which does the same.
    base::ignoreFileSizeSignal();
}

std::shared_ptr<db::Connection> RKSVExport::connection() const
{
    auto connection = m_connection ? m_connection : db::programConnection();
    if (!connection) {
        throw base::PlatformError("Keine Datenbankverbindung für den DEP-Export");
    }
    return connection;
}

void RKSVExport::letWindowWork(bool finished)
{
    // One clock reading per receipt; the window's turn (a call into the toolkit) only every interval.
    const auto moment = std::chrono::steady_clock::now();
    if (!finished && moment - m_lastTurn < m_eventInterval) {
        return;
    }
    m_lastTurn = moment;
    if (m_progress) {
        m_progress(m_receipts, finished);
    }
    base::dialogs().ProcessEvents();
}

RKSVExport& RKSVExport::DoDepExpJson(const std::string& kassa, Date from, Date to)
{
    m_receipts = 0;
    m_saved.clear();
    // The till id is quoted trimmed; a blank one means all tills.
    const auto till = base::trim(kassa);
    const auto database = connection();
    const auto tempName = depTempName(till, from, to);
    TempFile out(base::program().DefaultDir + tempName);
    if (!out.opened()) {
        reportUnwritten(out.path());
        return *this;
    }
    const bool shortened = base::findFileNoCase(base::program().DefaultDir + "NOFULL").has_value();

    out.write("{\n  \"Belege-Gruppe\" : [\n");
    db::DbCrd cards({"CRDID", "BASE64", "CHAIN"}, database);
    // Without a till: every till's signed receipts, the till's own ("B") and those a host product keeps as "N".
    ReceiptRows rows(database, till.empty() ? ALL_TILLS_CONDITION : "typ = 'B'", from, till);

    std::optional<std::string> card; // the card of the open group; none before the first
    std::string groupTill;           // each till's chain in groups of its own, even where tills share a card
    // The last receipt line gets its comma only when another receipt follows in its group.
    bool receiptWritten = false;
    m_lastTurn = std::chrono::steady_clock::now();
    for (bool more = rows.next(); more && !m_stop;) {
        const auto& row = rows.row();
        if (!card || *card != row.crdid || groupTill != row.kassa) {
            auto [certificate, issuers] = cardTexts(cards, row.crdid);
            if (shortened) {
                certificate = base::utf8Left(certificate, 40) + "...";
                for (auto& issuer : issuers) {
                    issuer = base::utf8Left(issuer, 60) + "...";
                }
            }
            out.write(receiptWritten ? "\n      ]\n    },\n    {\n" : "    {\n");
            auto& text = out.buffer();
            text += "      \"Signaturzertifikat\" : ";
            appendQuoted(text, certificate);
            text += ",\n      \"Zertifizierungsstellen\" : [";
            for (std::size_t i = 0; i < issuers.size(); ++i) {
                if (i > 0) {
                    text += ',';
                }
                appendQuoted(text, issuers[i]);
            }
            text += "],\n      \"Belege-kompakt\" : [\n";
            card = row.crdid;
            groupTill = row.kassa;
            receiptWritten = false;
        }
        auto& text = out.buffer();
        if (receiptWritten) {
            text += ",\n";
        }
        appendQuoted(text, row.jws);
        out.flushIfFull();
        receiptWritten = true;
        ++m_receipts;

        more = rows.nextInPeriod(to);
        letWindowWork();
    }
    cards.Close();
    letWindowWork(true);
    if (m_stop) {
        return *this; // the temporary file goes with its writer
    }
    if (!receiptWritten) {
        reportNoReceipts(till, from, to);
        return *this;
    }
    out.write("\n      ]\n    }\n  ]\n}");
    if (!out.close()) {
        reportUnwritten(out.path());
        return *this;
    }
    out.keep();
    return SaveExport(tempName, DESCRIPTION, EXTENSION);
}

RKSVExport& RKSVExport::DoDepExpRksv(const std::string& kassa, Date from, Date to)
{
    m_receipts = 0;
    m_saved.clear();
    const auto till = base::trim(kassa);
    RKSV service(this);
    if (!service.accReady()) {
        base::dialogs().ErrorBox(NOT_POSSIBLE + service.accMsgFirst());
        return *this;
    }
    const auto database = connection();
    const auto tempName = depTempName("", from, to);
    TempFile out(base::program().DefaultDir + tempName);
    if (!out.opened()) {
        reportUnwritten(out.path());
        return *this;
    }
    db::DbCrd cards({"CRDID", "BASE64", "CHAIN"}, database);
    // A till: its receipts as DoDepExpJson exports them. All tills: the receipts of every type of each till with
    // receipts in the period; each till's run on past the end date like a single till's.
    ReceiptRows rows(
        database, till.empty() ? "" : "typ = 'B'", from, till, till.empty() ? std::optional<Date>(to) : std::nullopt);

    ComponentDep dep(service, out);
    std::optional<std::string> card; // the card of the open group; none before the first
    bool failed = false;
    m_lastTurn = std::chrono::steady_clock::now();
    for (bool more = rows.next(); more && !m_stop;) {
        const auto& row = rows.row();
        if (!card || *card != row.crdid) {
            const auto [certificate, issuers] = cardTexts(cards, row.crdid);
            std::string chain;
            for (const auto& issuer : issuers) {
                chain += (chain.empty() ? "" : ";") + issuer;
            }
            card = row.crdid;
            if (!dep.startGroup(certificate, chain)) {
                failed = true;
                break;
            }
        }
        if (!dep.add(base::withoutNul(row.jws))) {
            failed = true;
            break;
        }
        ++m_receipts;

        more = rows.nextInPeriod(to);
        letWindowWork();
    }
    cards.Close();
    letWindowWork(true);
    if (m_stop) {
        return *this; // the temporary file goes with its writer
    }
    if (!failed && m_receipts == 0) {
        reportNoReceipts(till, from, to);
        return *this;
    }
    if (failed || !dep.finish()) {
        base::dialogs().ErrorBox(NOT_POSSIBLE + dep.error());
        return *this;
    }
    if (!out.close()) {
        reportUnwritten(out.path());
        return *this;
    }
    out.keep();
    service.Close();
    return SaveExport(tempName, DESCRIPTION, EXTENSION);
}

RKSVExport&
RKSVExport::SaveExport(const std::string& tempName, const std::string& description, const std::string& extension)
{
    m_saved.clear();
    const std::string ext = "." + extension;
    const auto& folder = base::program().DefaultDir;
    const std::string tempPath = folder + tempName;
    std::string proposal = tempName;
    if (endsWithNoCase(proposal, ".TMP")) {
        proposal.replace(proposal.size() - 4, 4, ext);
    }
    while (!m_stop) {
        const auto chosen =
            base::dialogs().SaveAs("Speichern unter ...", proposal, description + " *" + ext, "*" + ext, folder);
        if (chosen.empty()) {
            break;
        }
        // The file name in upper case; the folders keep their spelling (file systems here tell case apart).
        const auto chosenFolder = base::folderOf(chosen);
        std::string target = m_exactName ? chosen : chosenFolder + base::toUpper(chosen.substr(chosenFolder.size()));
        if (!m_exactName && !endsWithNoCase(target, ext)) {
            target += ext;
        }
        std::error_code error;
        if (std::filesystem::exists(target, error)
            && base::dialogs().TextBox(
                   description, target + " vorhanden - überschreiben?", base::MB_YESNO | base::MB_ICONQUESTION)
                   != base::IDYES) {
            continue;
        }
        if (moveFile(tempPath, target)) {
            m_saved = target;
            break;
        }
        base::dialogs().ErrorBox("Datei " + target + " nicht gespeichert");
    }
    std::error_code ignored;
    std::filesystem::remove(tempPath, ignored);
    return *this;
}

std::size_t addRegisteredCards(DepTrustAnchors& anchors, db::Connection& connection)
{
    const std::size_t before = anchors.size();
    db::Statement cards(connection);
    cards.execute("SELECT BASE64, CHAIN FROM CARDS");
    while (cards.fetch()) {
        // A card without a certificate yet, or with texts that are no certificate, vouches for nothing.
        (void)anchors.addBase64(base::withoutNul(cards.get(0).value_or("")));
        for (const auto& issuer : issuersOf(cards.get(1).value_or(""))) {
            (void)anchors.addBase64(issuer);
        }
    }
    return anchors.size() - before;
}

} // namespace rksv

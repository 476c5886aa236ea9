#include "rksv/DepExport.h"

#include "app/Cp1252.h"
#include "app/Dialogs.h"
#include "app/ErrorLog.h"
#include "app/Files.h"
#include "app/Program.h"
#include "app/StringUtil.h"
#include "app/TextFormat.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "rksv/Numbering.h"
#include "rksv/Rksv.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace rksv {
namespace {

constexpr const char* DESCRIPTION = "Datenerfassungsprotokoll";
constexpr const char* EXTENSION = "JSON";
constexpr const char* NOT_POSSIBLE = "Export DEP nicht möglich - ";

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
    //! Writes what is buffered and closes the file; false when anything failed since it was opened.
    bool close()
    {
        flush();
        if (m_file) {
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
 * The receipts of a till (or of every till) from a date on, up to an optional end date, in each till's signing order
 * (KASSA, then TILL_ORDER: DATUM, BONNR, and BONID), read till by till and a batch at a time, so that no more than
 * one batch is held.
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
                std::optional<std::chrono::year_month_day> to,
                const std::string& till)
        : m_connection(std::move(connection))
        , m_kind(m_connection->kind())
        , m_condition(condition.empty() ? std::string("1 = 1") : condition)
        , m_from(from)
        , m_to(to)
    {
        if (!till.empty()) {
            m_tills.push_back(till);
            return;
        }
        db::Statement statement(*m_connection);
        statement.execute("SELECT DISTINCT KASSA FROM BONS WHERE (" + m_condition
                          + ") AND DATUM >= " + db::D2SQL(from, m_kind)
                          + (to ? " AND DATUM <= " + db::D2SQL(*to, m_kind) : std::string()) + " ORDER BY KASSA");
        while (statement.fetch()) {
            m_tills.push_back(statement.get(0).value_or(std::string()));
        }
    }

    //! Moves to the next row; false past the last.
    bool next() { return ++m_position < m_batch.size() || fetch(); }
    const Row& row() const { return m_batch[m_position]; }

private:
    using Days = std::chrono::sys_days;

    // The date of a value as the database returns it; a value that is none is a failure of the database.
    static Days dayOf(const std::string& value)
    {
        const auto date = SQL2D(value);
        if (!date) {
            throw app::PlatformError("Tabelle BONS: unlesbares Datum \"" + value + "\"");
        }
        return Days(*date);
    }

    // The first and last day of the current till's receipts in the range; false when it has none.
    bool startTill()
    {
        const std::vector<db::Text> till{m_tills[m_till]};
        const auto range = " FROM BONS WHERE KASSA = ? AND DATUM >= " + db::D2SQL(m_from, m_kind)
                           + (m_to ? " AND DATUM <= " + db::D2SQL(*m_to, m_kind) : std::string());
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
            std::vector<db::Text> parameters{m_tills[m_till]};
            std::string sql =
                "SELECT BONNR, BONID, DATUM, RKSV_JWS, RKSV_TYP, RKSV_CRDID FROM BONS WHERE KASSA = ? AND ("
                + m_condition + ") AND DATUM >= " + start
                + " AND DATUM <= " + db::D2SQL(std::chrono::year_month_day(windowEnd), m_kind);
            if (m_last) {
                // Continues after the last row read, which lies on the window's first day.
                sql += " AND (DATUM > " + start + " OR BONNR > ? OR (BONNR = ? AND BONID > ?))";
                parameters.insert(parameters.end(), {m_last->bonnr, m_last->bonnr, m_last->bonid});
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
                row.crdid = app::trim(statement.get(5).value_or(std::string()));
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
    std::optional<std::chrono::year_month_day> m_to;
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

// A JSON string value: the text between double quotes. Stored receipts and certificates are Base64 and need no
// escaping; anything else that would end or break the string is escaped, and NUL characters are left out.
void appendQuoted(std::string& out, std::string_view text)
{
    out += '"';
    const auto special = [](char c) { return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20; };
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!special(c)) {
            continue;
        }
        out.append(text.substr(start, i - start));
        start = i + 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c != '\0') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            out += escaped;
        }
    }
    out.append(text.substr(start));
    out += '"';
}

std::string eightDigits(std::chrono::year_month_day date)
{
    return app::replaceAll(app::formatIsoDate(date), "-", "");
}

bool endsWithNoCase(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && app::equalsNoCase(text.substr(text.size() - suffix.size()), suffix);
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

void reportUnwritten(const std::string& path)
{
    app::dialogs().ErrorBox(std::string(NOT_POSSIBLE) + "Datei " + path + " nicht geschrieben");
}

} // namespace

std::string depTempName(const std::string& kassa, std::chrono::year_month_day from, std::chrono::year_month_day to)
{
    return app::toUpper(app::program().HostProduct) + "-DEP-" + (kassa.empty() ? "" : kassa + "-") + eightDigits(from)
           + "-" + eightDigits(to) + ".TMP";
}

RKSVExport::RKSVExport(std::shared_ptr<db::Connection> connection)
    : m_connection(std::move(connection))
{}

std::shared_ptr<db::Connection> RKSVExport::connection() const
{
    auto connection = m_connection ? m_connection : db::programConnection();
    if (!connection) {
        throw app::PlatformError("Keine Datenbankverbindung für den DEP-Export");
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
    app::dialogs().ProcessEvents();
}

RKSVExport& RKSVExport::DoDepExpJson(const std::string& kassa, Date from, Date to)
{
    m_receipts = 0;
    m_saved.clear();
    // The till id is quoted trimmed; a blank one means all tills.
    const auto till = app::trim(kassa);
    const auto database = connection();
    const auto tempName = depTempName(till, from, to);
    TempFile out(app::program().DefaultDir + tempName);
    if (!out.opened()) {
        reportUnwritten(out.path());
        return *this;
    }
    const bool shortened = app::findFileNoCase(app::program().DefaultDir + "NOFULL").has_value();

    out.write("{\n  \"Belege-Gruppe\" : [\n");
    db::DbCrd cards({"CRDID", "BASE64", "CHAIN"}, database);
    ReceiptRows rows(database, till.empty() ? "typ = 'N'" : "typ = 'B'", from, std::nullopt, till);

    std::optional<std::string> card; // the card of the open group; none before the first
    // The last receipt line gets its comma only when another receipt follows in its group.
    bool receiptWritten = false;
    m_lastTurn = std::chrono::steady_clock::now();
    for (bool more = rows.next(); more && !m_stop;) {
        const auto& row = rows.row();
        if (!card || *card != row.crdid) {
            std::string certificate;
            std::string chain;
            if (cards.Seek("CRDID", row.crdid)) {
                certificate = app::withoutNul(cards.FieldGet("BASE64"));
                chain = app::withoutNul(cards.FieldGet("CHAIN"));
            }
            if (shortened) {
                certificate = app::utf8Left(certificate, 40) + "...";
                chain = app::utf8Left(chain, 60) + "...";
            }
            out.write(receiptWritten ? "\n      ]\n    },\n    {\n" : "    {\n");
            auto& text = out.buffer();
            text += "      \"Signaturzertifikat\" : ";
            appendQuoted(text, certificate);
            text += ",\n      \"Zertifizierungsstellen\" : [";
            appendQuoted(text, chain);
            text += "],\n      \"Belege-kompakt\" : [\n";
            card = row.crdid;
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

        const bool status = !app::isBlank(row.status);
        more = rows.next();
        letWindowWork();
        // Past the end date the export runs on until the status receipt that closes the period.
        if (more && status) {
            const auto date = SQL2D(rows.row().datum);
            if (date && *date > to) {
                break;
            }
        }
    }
    cards.Close();
    letWindowWork(true);
    if (m_stop) {
        return *this; // the temporary file goes with its writer
    }
    // Without receipts the list of groups stays empty.
    out.write(receiptWritten ? "\n      ]\n    }\n  ]\n}" : "  ]\n}");
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
    const auto till = app::trim(kassa);
    RKSV service(this);
    if (!service.accReady()) {
        app::dialogs().ErrorBox(NOT_POSSIBLE + service.accMsgFirst());
        return *this;
    }
    const auto database = connection();
    db::DbCrd cards({"CRDID", "BASE64", "CHAIN"}, database);
    ReceiptRows rows(database, "", from, to, till);

    // One certificate and chain go to the component: those of the last card found.
    std::vector<std::string> receipts;
    std::optional<std::string> card;
    m_lastTurn = std::chrono::steady_clock::now();
    for (bool more = rows.next(); more && !m_stop;) {
        const auto& row = rows.row();
        if (!card || *card != row.crdid) {
            if (cards.Seek("CRDID", row.crdid)) {
                service.assBase64(app::withoutNul(cards.FieldGet("BASE64")));
                service.assChain(app::withoutNul(cards.FieldGet("CHAIN")));
            }
            card = row.crdid;
        }
        receipts.push_back(app::withoutNul(row.jws));
        ++m_receipts;
        more = rows.next();
        letWindowWork();
    }
    cards.Close();
    letWindowWork(true);
    if (m_stop) {
        return *this;
    }
    const auto json = service.ExportJws(receipts);
    if (json.empty()) {
        app::dialogs().ErrorBox(NOT_POSSIBLE + service.accMsgFirst());
        return *this;
    }
    const auto tempName = depTempName("", from, to);
    TempFile out(app::program().DefaultDir + tempName);
    out.write(json);
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
    const auto& folder = app::program().DefaultDir;
    const std::string tempPath = folder + tempName;
    std::string proposal = tempName;
    if (endsWithNoCase(proposal, ".TMP")) {
        proposal.replace(proposal.size() - 4, 4, ext);
    }
    while (!m_stop) {
        const auto chosen =
            app::dialogs().SaveAs("Speichern unter ...", proposal, description + " *" + ext, "*" + ext, folder);
        if (chosen.empty()) {
            break;
        }
        // The file name in upper case; the folders keep their spelling (file systems here tell case apart).
        const auto chosenFolder = app::folderOf(chosen);
        std::string target = chosenFolder + app::toUpper(chosen.substr(chosenFolder.size()));
        if (!endsWithNoCase(target, ext)) {
            target += ext;
        }
        std::error_code error;
        if (std::filesystem::exists(target, error)
            && app::dialogs().TextBox(
                   description, target + " vorhanden - überschreiben?", app::MB_YESNO | app::MB_ICONQUESTION)
                   != app::IDYES) {
            continue;
        }
        if (moveFile(tempPath, target)) {
            m_saved = target;
            break;
        }
        app::dialogs().ErrorBox("Datei " + target + " nicht gespeichert");
    }
    std::error_code ignored;
    std::filesystem::remove(tempPath, ignored);
    return *this;
}

} // namespace rksv

#include "tools/demodata/Generator.h"

#include "base/ErrorLog.h"
#include "db/Database.h"
#include "db/Odbc.h"
#include "tools/demodata/AustrianNames.h"
#include "tools/demodata/BatchInsert.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <span>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace demodata {

namespace {

constexpr int TILLS = 2;
const std::array<std::string, TILLS> TILL_NAMES = {"01", "02"};
constexpr std::int64_t RECEIPTS_PER_DAY_AND_TILL = 150;
constexpr std::int64_t COMMIT_EVERY = 10000;
constexpr std::size_t BATCH_ROWS = 1000;
// Opening hours 07:30 to 19:30, in seconds after midnight.
constexpr int OPENS = 7 * 3600 + 1800;
constexpr int OPEN_SECONDS = 12 * 3600;

// splitmix64: the same sequence on every platform and standard library, unlike std::uniform_int_distribution.
class Random
{
public:
    explicit Random(std::uint64_t seed)
        : m_state(seed)
    {}
    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::int64_t below(std::int64_t n) { return static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(n)); }
    bool percent(int p) { return below(100) < p; }
    template <typename T> const T& pick(std::span<const T> items)
    {
        return items[static_cast<std::size_t>(below(static_cast<std::int64_t>(items.size())))];
    }

private:
    std::uint64_t m_state;
};

struct Customer
{
    std::int64_t id = 0;
    std::string surname;
    std::string firstName;
    std::string street;
    std::string plz;
    std::string ort;
};

// Columns of the receipt insert, in statement order.
enum BonColumn : std::size_t
{
    B_BONID,
    B_KASSA,
    B_DATUM,
    B_ZEIT,
    B_BONNR,
    B_TYP,
    B_KNDID,
    B_RKSV_TYP,
    B_RKSV_JWS,
    B_NORMAL,
    B_ERM1,
    B_ERM2,
    B_SONDER,
    B_NULL,
    B_SALDO,
    B_CRDID,
    B_NAME,
    B_STRASSE,
    B_PLZ,
    B_ORT,
    B_PK_NR,
    B_PK_NAM,
    B_PK_VOR,
    B_PK_STR,
    B_PK_PLZ,
    B_PK_ORT,
};

using Kind = BatchInsert::Kind;

std::vector<BatchInsert::Column> bonColumns()
{
    return {
        {"BONID", Kind::Integer, 0},       {"KASSA", Kind::Text, 10},       {"DATUM", Kind::Date, 0},
        {"ZEIT", Kind::Text, 8},           {"BONNR", Kind::Integer, 0},     {"TYP", Kind::Text, 5},
        {"KNDID", Kind::Integer, 0},       {"RKSV_TYP", Kind::Text, 10},    {"RKSV_JWS", Kind::Text, 2000},
        {"RKSV_NORMAL", Kind::Decimal, 0}, {"RKSV_ERM1", Kind::Decimal, 0}, {"RKSV_ERM2", Kind::Decimal, 0},
        {"RKSV_SONDER", Kind::Decimal, 0}, {"RKSV_NULL", Kind::Decimal, 0}, {"RKSV_SALDO", Kind::Decimal, 0},
        {"RKSV_CRDID", Kind::Integer, 0},  {"NAME", Kind::Text, 100},       {"STRASSE", Kind::Text, 100},
        {"PLZ", Kind::Text, 10},           {"ORT", Kind::Text, 60},         {"PK_NR", Kind::Text, 20},
        {"PK_NAM", Kind::Text, 60},        {"PK_VOR", Kind::Text, 60},      {"PK_STR", Kind::Text, 100},
        {"PK_PLZ", Kind::Text, 10},        {"PK_ORT", Kind::Text, 60},
    };
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("Schema-Datei nicht lesbar: " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> statements(const std::string& path)
{
    auto statements = db::scriptStatements(readFile(path));
    if (!statements) {
        throw std::runtime_error(path + ": der letzten Anweisung fehlt das \";\"");
    }
    return std::move(*statements);
}

std::string dialect(const db::Connection& connection, const Options& options)
{
    if (!options.schema.empty()) {
        return options.schema;
    }
    std::string dbms = connection.dbmsName();
    std::transform(dbms.begin(), dbms.end(), dbms.begin(), [](unsigned char c) { return std::tolower(c); });
    if (dbms.find("sqlite") != std::string::npos) {
        return "sqlite";
    }
    if (dbms.find("mariadb") != std::string::npos || dbms.find("mysql") != std::string::npos) {
        return "mariadb";
    }
    throw std::runtime_error("Unbekannte Datenbank \"" + dbms + "\": bitte --schema sqlite|mariadb angeben");
}

const std::array<const char*, 5> TABLES = {"BONS", "KUNDEN", "ZAHLUNGEN", "NUMMERNKREISE", "CARDS"};

std::int64_t rowsIn(db::Connection& connection, const std::string& table)
{
    const std::vector<db::Text> row = connection.queryRow("SELECT COUNT(*) FROM " + table);
    return row.empty() || !row.front() ? 0 : std::stoll(*row.front());
}

bool tablesMissing(db::Connection& connection)
{
    for (const char* table : TABLES) {
        try {
            rowsIn(connection, table);
        } catch (const base::PlatformError&) {
            return true;
        }
    }
    return false;
}

std::vector<Customer> makeCustomers(Random& random, int count)
{
    std::vector<Customer> customers;
    for (int i = 1; i <= count; ++i) {
        Customer customer;
        customer.id = i;
        customer.surname = random.pick(surnames());
        customer.firstName = random.pick(firstNames());
        customer.street = std::string(random.pick(streets())) + " " + std::to_string(1 + random.below(120));
        if (random.percent(30)) {
            // Vienna style: staircase and door
            customer.street += "/" + std::to_string(1 + random.below(8)) + "/" + std::to_string(1 + random.below(20));
        }
        const Place& place = random.pick(places());
        customer.plz = place.plz;
        customer.ort = place.ort;
        customers.push_back(std::move(customer));
    }
    return customers;
}

void writeCustomers(db::Connection& connection, const std::vector<Customer>& customers)
{
    BatchInsert insert(connection,
                       "KUNDEN",
                       {
                           {"KNDID", Kind::Integer, 0},
                           {"ZUNAME", Kind::Text, 60},
                           {"VORNAME", Kind::Text, 60},
                           {"STRASSE", Kind::Text, 100},
                           {"PLZ", Kind::Text, 10},
                           {"ORT", Kind::Text, 60},
                       },
                       BATCH_ROWS);
    for (const auto& customer : customers) {
        insert.setInteger(0, customer.id);
        insert.setText(1, customer.surname);
        insert.setText(2, customer.firstName);
        insert.setText(3, customer.street);
        insert.setText(4, customer.plz);
        insert.setText(5, customer.ort);
        insert.endRow();
    }
    insert.flush();
}

bool closed(std::chrono::year_month_day day)
{
    const unsigned month = static_cast<unsigned>(day.month());
    const unsigned dom = static_cast<unsigned>(day.day());
    return std::chrono::weekday(std::chrono::sys_days(day)) == std::chrono::Sunday || (month == 1 && dom == 1)
           || (month == 12 && (dom == 25 || dom == 26));
}

// Relative number of receipts on a day: Saturdays are busier, closed days have none.
std::int64_t weight(std::chrono::year_month_day day)
{
    if (closed(day)) {
        return 0;
    }
    return std::chrono::weekday(std::chrono::sys_days(day)) == std::chrono::Saturday ? 13 : 10;
}

std::string timeText(int seconds)
{
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text.data();
}

struct Amounts
{
    std::array<std::int64_t, 5> cents{}; // NORMAL, ERM1, ERM2, SONDER, NULL
    std::int64_t total() const { return cents[0] + cents[1] + cents[2] + cents[3] + cents[4]; }
};

Amounts makeAmounts(Random& random, bool creditNote)
{
    Amounts amounts;
    const std::int64_t lines = creditNote ? 1 + random.below(2) : 1 + random.below(5);
    for (std::int64_t i = 0; i < lines; ++i) {
        std::int64_t price = 50 + random.below(2000);
        if (random.percent(5)) {
            price = 2000 + random.below(20000);
        }
        // 20 %, 10 %, 13 %, 19 % (Jungholz, Mittelberg) and tax-free lines
        const std::int64_t rate = random.below(100);
        const std::size_t slot = rate < 55 ? 0 : rate < 85 ? 1 : rate < 93 ? 2 : rate < 95 ? 3 : 4;
        amounts.cents[slot] += creditNote ? -price : price;
    }
    return amounts;
}

struct Event
{
    int seconds;
    int till;
};

class ReceiptWriter
{
public:
    ReceiptWriter(db::Connection& connection, const std::vector<Customer>& customers, Random& random)
        : m_connection(connection)
        , m_customers(customers)
        , m_random(random)
        , m_bons(connection, "BONS", bonColumns(), BATCH_ROWS)
        , m_payments(connection,
                     "ZAHLUNGEN",
                     {{"ZHLID", Kind::Integer, 0}, {"BONID", Kind::Integer, 0}, {"BETRAG", Kind::Decimal, 0}},
                     BATCH_ROWS)
    {}

    void write(std::chrono::year_month_day day, const Event& event)
    {
        const int till = event.till;
        const std::int64_t bonId = ++m_bonId;
        const std::int64_t bonNr = ++m_lastNumber[till];
        const bool creditNote = m_random.percent(4);
        const Amounts amounts = makeAmounts(m_random, creditNote);
        m_saldo[till] += amounts.total();
        m_lastStamp[till] = dateText(day) + " " + timeText(event.seconds);

        m_bons.setInteger(B_BONID, bonId);
        m_bons.setText(B_KASSA, TILL_NAMES[till]);
        m_bons.setDate(B_DATUM,
                       static_cast<int>(day.year()),
                       static_cast<unsigned>(day.month()),
                       static_cast<unsigned>(day.day()));
        m_bons.setText(B_ZEIT, timeText(event.seconds));
        m_bons.setInteger(B_BONNR, bonNr);
        m_bons.setText(B_TYP, creditNote ? "N" : "B");
        m_bons.setText(B_RKSV_TYP, "");
        m_bons.setText(B_RKSV_JWS, "");
        for (std::size_t i = 0; i < amounts.cents.size(); ++i) {
            m_bons.setCents(B_NORMAL + i, amounts.cents[i]);
        }
        m_bons.setCents(B_SALDO, m_saldo[till]);
        m_bons.setInteger(B_CRDID, 0);
        const Customer* customer = nullptr;
        if (m_random.percent(20)) {
            customer =
                &m_customers[static_cast<std::size_t>(m_random.below(static_cast<std::int64_t>(m_customers.size())))];
        }
        writeCustomer(customer);

        const std::int64_t total = amounts.total();
        if (!creditNote && total > 1000 && m_random.percent(12)) {
            // part in cash, the rest by card
            const std::int64_t cash = 500 + m_random.below(total - 500);
            writePayment(1, bonId, cash);
            writePayment(2, bonId, total - cash);
        } else {
            writePayment(1, bonId, total);
        }
        m_bons.endRow();

        if (++m_sinceCommit == COMMIT_EVERY) {
            commit();
        }
    }

    void commit()
    {
        m_bons.flush();
        m_payments.flush();
        m_connection.commit();
        m_sinceCommit = 0;
    }

    void writeNumberRanges(int year)
    {
        BatchInsert insert(m_connection,
                           "NUMMERNKREISE",
                           {{"TYP", Kind::Text, 5},
                            {"KASSA", Kind::Text, 10},
                            {"JAHR", Kind::Integer, 0},
                            {"BONNR", Kind::Integer, 0},
                            {"TSTAMP", Kind::Text, 20}},
                           TILLS);
        for (int till = 0; till < TILLS; ++till) {
            insert.setText(0, "B");
            insert.setText(1, TILL_NAMES[till]);
            insert.setInteger(2, year);
            insert.setInteger(3, m_lastNumber[till]);
            insert.setText(4, m_lastStamp[till]);
            insert.endRow();
        }
        insert.flush();
    }

    std::int64_t receipts() const { return m_bons.rowsWritten(); }
    std::int64_t payments() const { return m_payments.rowsWritten(); }

private:
    static std::string dateText(std::chrono::year_month_day day)
    {
        std::array<char, 16> text{};
        std::snprintf(text.data(),
                      text.size(),
                      "%04d-%02u-%02u",
                      static_cast<int>(day.year()),
                      static_cast<unsigned>(day.month()),
                      static_cast<unsigned>(day.day()));
        return text.data();
    }

    // The customer goes into both hosts' columns: PLUMOXA's NAME/STRASSE/PLZ/ORT and DRAVELIN's PK_*.
    void writeCustomer(const Customer* customer)
    {
        if (customer == nullptr) {
            // "no customer" is 0 in most rows, NULL in some, as the hosts write it
            if (m_random.percent(12)) {
                m_bons.setNull(B_KNDID);
            } else {
                m_bons.setInteger(B_KNDID, 0);
            }
            for (std::size_t column = B_NAME; column <= B_PK_ORT; ++column) {
                m_bons.setText(column, "");
            }
            return;
        }
        m_bons.setInteger(B_KNDID, customer->id);
        m_bons.setText(B_NAME, customer->firstName + " " + customer->surname);
        m_bons.setText(B_STRASSE, customer->street);
        m_bons.setText(B_PLZ, customer->plz);
        m_bons.setText(B_ORT, customer->ort);
        m_bons.setText(B_PK_NR, std::to_string(customer->id));
        m_bons.setText(B_PK_NAM, customer->surname);
        m_bons.setText(B_PK_VOR, customer->firstName);
        m_bons.setText(B_PK_STR, customer->street);
        m_bons.setText(B_PK_PLZ, customer->plz);
        m_bons.setText(B_PK_ORT, customer->ort);
    }

    void writePayment(std::int64_t id, std::int64_t bonId, std::int64_t cents)
    {
        m_payments.setInteger(0, id);
        m_payments.setInteger(1, bonId);
        m_payments.setCents(2, cents);
        m_payments.endRow();
    }

    db::Connection& m_connection;
    const std::vector<Customer>& m_customers;
    Random& m_random;
    BatchInsert m_bons;
    BatchInsert m_payments;
    std::int64_t m_bonId = 0;
    std::int64_t m_sinceCommit = 0;
    std::array<std::int64_t, TILLS> m_lastNumber{};
    std::array<std::int64_t, TILLS> m_saldo{};
    std::array<std::string, TILLS> m_lastStamp{};
};

} // namespace

Summary generate(const Options& options)
{
    using namespace std::chrono;
    if (options.customers < 1) {
        throw std::runtime_error("Es braucht mindestens einen Kunden");
    }
    const year_month_day first{year{options.year}, January, day{1}};
    if (!first.ok() || options.year < 1900 || options.year > 9999) {
        throw std::runtime_error("Ungültiges Jahr: " + std::to_string(options.year));
    }
    const sys_days start{first};
    sys_days end{year{options.year + 1} / January / 1};
    if (options.until) {
        if (options.until->year() != year{options.year} || !options.until->ok()) {
            throw std::runtime_error("Der letzte Tag muss im Jahr " + std::to_string(options.year) + " liegen");
        }
        end = sys_days{*options.until} + std::chrono::days{1};
    }
    const int days = static_cast<int>((end - start).count());
    std::vector<std::int64_t> cumulative(static_cast<std::size_t>(days) + 1, 0);
    int openDays = 0;
    for (int d = 0; d < days; ++d) {
        const std::int64_t w = weight(year_month_day{start + std::chrono::days{d}});
        cumulative[static_cast<std::size_t>(d) + 1] = cumulative[static_cast<std::size_t>(d)] + w;
        openDays += w > 0 ? 1 : 0;
    }

    Summary summary;
    db::Connection connection(options.connection);
    summary.schema = dialect(connection, options);
    if (summary.schema != "sqlite" && summary.schema != "mariadb") {
        throw std::runtime_error("--schema kennt nur sqlite und mariadb, nicht " + summary.schema);
    }
    if (tablesMissing(connection)) {
        const std::string script =
            options.schemaFile.empty() ? options.schemaDir + "/" + summary.schema + ".sql" : options.schemaFile;
        for (const auto& statement : statements(script)) {
            connection.execute(statement);
        }
        summary.schemaCreated = true;
    }
    for (const char* table : {"BONS", "KUNDEN", "ZAHLUNGEN", "NUMMERNKREISE"}) {
        const std::int64_t rows = rowsIn(connection, table);
        if (rows != 0) {
            throw std::runtime_error(std::string("Die Tabelle ") + table + " enthält bereits " + std::to_string(rows)
                                     + " Zeilen; Demodaten kommen nur in eine leere Datenbank.");
        }
    }

    const std::int64_t total = options.receipts >= 0 ? options.receipts : RECEIPTS_PER_DAY_AND_TILL * TILLS * openDays;
    Random random(options.seed);
    const std::vector<Customer> customers = makeCustomers(random, options.customers);

    connection.setAutoCommit(false);
    writeCustomers(connection, customers);
    ReceiptWriter writer(connection, customers, random);

    // Till 01 takes the odd receipt. Each till's receipts spread over the days by weight without rounding drift.
    std::array<std::int64_t, TILLS> perTill{};
    for (int till = 0; till < TILLS; ++till) {
        perTill[static_cast<std::size_t>(till)] = total / TILLS + (till < total % TILLS ? 1 : 0);
    }
    const std::int64_t weights = cumulative.back();
    std::vector<Event> events;
    for (int d = 0; d < days; ++d) {
        const auto index = static_cast<std::size_t>(d);
        events.clear();
        for (int till = 0; till < TILLS; ++till) {
            const std::int64_t n = perTill[static_cast<std::size_t>(till)];
            const std::int64_t count = n * cumulative[index + 1] / weights - n * cumulative[index] / weights;
            for (std::int64_t i = 0; i < count; ++i) {
                events.push_back({OPENS + static_cast<int>(random.below(OPEN_SECONDS)), till});
            }
        }
        // In time order; receipts of both tills interleave, each till's numbers still rise with the time.
        std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
            return a.seconds != b.seconds ? a.seconds < b.seconds : a.till < b.till;
        });
        const year_month_day date{start + std::chrono::days{d}};
        for (const auto& event : events) {
            writer.write(date, event);
        }
    }
    writer.commit();
    writer.writeNumberRanges(options.year);
    connection.commit();
    connection.setAutoCommit(true);

    summary.receipts = writer.receipts();
    summary.payments = writer.payments();
    summary.customers = static_cast<std::int64_t>(customers.size());
    return summary;
}

} // namespace demodata

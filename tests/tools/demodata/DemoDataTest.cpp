// The demo generator run as a program against SQLite and the private MariaDB server, its data read back through
// both ODBC drivers and checked row by row.
#include "tests/support/Databases.h"
#include "tests/support/SharedServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "tools/demodata/AustrianNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::Rows;

namespace {

struct ProgramRun
{
    int status = -1;
    std::string output;
};

std::string shellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

ProgramRun runDemo(const std::vector<std::string>& args)
{
    std::string command = shellQuoted(test_paths::DEMODATA_TOOL);
    for (const auto& arg : args) {
        command += " " + shellQuoted(arg);
    }
    command += " 2>&1";
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("popen failed");
    }
    std::array<char, 4096> buffer{};
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        run.output.append(buffer.data(), got);
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// "12.3" (SQLite keeps decimals as numbers), "12.30" (MariaDB), "-0.5", "100" -> cents.
std::int64_t cents(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("-0123456789.") != std::string::npos) {
        throw std::runtime_error("not an amount: \"" + text + "\"");
    }
    const bool negative = text[0] == '-';
    const std::string digits = negative ? text.substr(1) : text;
    const auto dot = digits.find('.');
    std::string fraction = dot == std::string::npos ? "" : digits.substr(dot + 1);
    if (fraction.size() > 2) {
        throw std::runtime_error("more than two decimals: \"" + text + "\"");
    }
    fraction.resize(2, '0');
    const std::int64_t value = std::stoll(digits.substr(0, dot)) * 100 + std::stoll(fraction);
    return negative ? -value : value;
}

enum BonField : std::size_t
{
    BONID,
    KASSA,
    DATUM,
    ZEIT,
    BONNR,
    TYP,
    KNDID,
    RKSV_TYP,
    RKSV_JWS,
    NORMAL,
    ERM1,
    ERM2,
    SONDER,
    NULLSATZ,
    SALDO,
    CRDID,
    NAME,
    STRASSE,
    PLZ,
    ORT,
    PK_NR,
    PK_NAM,
    PK_VOR,
    PK_STR,
    PK_PLZ,
    PK_ORT,
};

//! Everything the generator writes, amounts as cents so both databases compare equal.
struct Dump
{
    Rows receipts;
    Rows customers;
    Rows payments;
    Rows numberRanges;
    bool operator==(const Dump&) const = default;
};

Dump load(const std::string& connectionString)
{
    testsupport::OdbcConnection connection(connectionString);
    Dump dump;
    dump.receipts = connection.query(
        "SELECT BONID, KASSA, DATUM, ZEIT, BONNR, TYP, KNDID, RKSV_TYP, RKSV_JWS, RKSV_NORMAL, RKSV_ERM1, RKSV_ERM2, "
        "RKSV_SONDER, RKSV_NULL, RKSV_SALDO, RKSV_CRDID, NAME, STRASSE, PLZ, ORT, PK_NR, PK_NAM, PK_VOR, PK_STR, "
        "PK_PLZ, PK_ORT FROM BONS ORDER BY BONID");
    for (auto& row : dump.receipts) {
        for (std::size_t field = NORMAL; field <= SALDO; ++field) {
            row[field] = std::to_string(cents(row[field]));
        }
    }
    dump.customers = connection.query("SELECT KNDID, ZUNAME, VORNAME, STRASSE, PLZ, ORT FROM KUNDEN ORDER BY KNDID");
    dump.payments = connection.query("SELECT BONID, ZHLID, BETRAG FROM ZAHLUNGEN ORDER BY BONID, ZHLID");
    for (auto& row : dump.payments) {
        row[2] = std::to_string(cents(row[2]));
    }
    dump.numberRanges =
        connection.query("SELECT TYP, KASSA, JAHR, BONNR, TSTAMP FROM NUMMERNKREISE ORDER BY KASSA, TYP");
    return dump;
}

std::chrono::year_month_day parseDate(const std::string& text)
{
    int y = 0;
    unsigned m = 0;
    unsigned d = 0;
    char dash1 = 0;
    char dash2 = 0;
    char rest = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d%c%2u%c%2u%c", &y, &dash1, &m, &dash2, &d, &rest) != 5
        || dash1 != '-' || dash2 != '-') {
        return {};
    }
    return std::chrono::year_month_day{std::chrono::year{y}, std::chrono::month{m}, std::chrono::day{d}};
}

bool closedDay(std::chrono::year_month_day date)
{
    const unsigned m = static_cast<unsigned>(date.month());
    const unsigned d = static_cast<unsigned>(date.day());
    return std::chrono::weekday{std::chrono::sys_days{date}} == std::chrono::Sunday || (m == 1 && d == 1)
           || (m == 12 && (d == 25 || d == 26));
}

template <typename Items> bool contains(const Items& items, const std::string& value)
{
    return std::any_of(items.begin(), items.end(), [&](const char* item) { return value == item; });
}

void checkCustomers(const Rows& customers, std::size_t expected)
{
    ASSERT_EQ(customers.size(), expected);
    bool sawUmlaut = false;
    for (std::size_t i = 0; i < customers.size(); ++i) {
        const auto& row = customers[i];
        EXPECT_EQ(row[0], std::to_string(i + 1));
        EXPECT_TRUE(contains(demodata::surnames(), row[1])) << row[1];
        EXPECT_TRUE(contains(demodata::firstNames(), row[2])) << row[2];
        const auto number = row[3].find_last_of(' ');
        ASSERT_NE(number, std::string::npos) << row[3];
        EXPECT_TRUE(contains(demodata::streets(), row[3].substr(0, number))) << row[3];
        EXPECT_EQ(row[3].find_first_not_of("0123456789/", number + 1), std::string::npos) << row[3];
        const auto places = demodata::places();
        EXPECT_TRUE(
            std::any_of(places.begin(),
                        places.end(),
                        [&](const demodata::Place& place) { return row[4] == place.plz && row[5] == place.ort; }))
            << row[4] << " " << row[5];
        for (std::size_t field = 1; field < row.size(); ++field) {
            sawUmlaut = sawUmlaut || std::any_of(row[field].begin(), row[field].end(), [](char c) { return c < 0; });
        }
    }
    EXPECT_TRUE(sawUmlaut) << "no customer with an umlaut";
}

// What the program relies on: numbers per till without gaps in time order, the turnover counter, payments adding up,
// customers on both hosts' columns, and the last numbers in NUMMERNKREISE.
void checkConsistency(const Dump& dump, std::int64_t expectedReceipts, int year, std::size_t customers = 400)
{
    ASSERT_EQ(static_cast<std::int64_t>(dump.receipts.size()), expectedReceipts);
    checkCustomers(dump.customers, customers);
    std::map<std::string, const std::vector<std::string>*> customerById;
    for (const auto& row : dump.customers) {
        customerById[row[0]] = &row;
    }
    std::map<std::string, std::int64_t> lastNumber;
    std::map<std::string, std::int64_t> saldo;
    std::map<std::string, const std::vector<std::string>*> lastReceipt;
    std::map<std::string, std::int64_t> totals;
    std::set<std::string> types;
    std::int64_t withCustomer = 0;
    std::int64_t nullCustomer = 0;
    std::string previousMoment;
    for (std::size_t i = 0; i < dump.receipts.size(); ++i) {
        const auto& row = dump.receipts[i];
        SCOPED_TRACE("BONID " + row[BONID]);
        ASSERT_EQ(row[BONID], std::to_string(i + 1));
        ASSERT_TRUE(row[KASSA] == "01" || row[KASSA] == "02") << row[KASSA];
        EXPECT_EQ(row[BONNR], std::to_string(++lastNumber[row[KASSA]])) << "numbers of a till rise without gaps";

        const auto date = parseDate(row[DATUM]);
        ASSERT_TRUE(date.ok()) << "DATUM \"" << row[DATUM] << "\" is not YYYY-MM-DD";
        EXPECT_EQ(static_cast<int>(date.year()), year);
        EXPECT_FALSE(closedDay(date)) << row[DATUM];
        ASSERT_EQ(row[ZEIT].size(), 8u) << row[ZEIT];
        EXPECT_GE(row[ZEIT], "07:30:00");
        EXPECT_LT(row[ZEIT], "19:30:00");
        const std::string moment = row[DATUM] + " " + row[ZEIT];
        EXPECT_GE(moment, previousMoment) << "receipts follow the clock";
        previousMoment = moment;

        types.insert(row[TYP]);
        std::int64_t total = 0;
        for (std::size_t field = NORMAL; field <= NULLSATZ; ++field) {
            const std::int64_t amount = std::stoll(row[field]);
            total += amount;
            if (row[TYP] == "B") {
                EXPECT_GE(amount, 0);
            } else {
                EXPECT_LE(amount, 0);
            }
        }
        EXPECT_NE(total, 0);
        saldo[row[KASSA]] += total;
        EXPECT_EQ(std::stoll(row[SALDO]), saldo[row[KASSA]]) << "turnover counter of till " << row[KASSA];
        totals[row[BONID]] = total;
        EXPECT_EQ(row[RKSV_TYP], "");
        EXPECT_EQ(row[RKSV_JWS], "");
        EXPECT_EQ(row[CRDID], "0");

        if (row[KNDID].empty() || row[KNDID] == "0") {
            nullCustomer += row[KNDID].empty() ? 1 : 0;
            for (std::size_t field = NAME; field <= PK_ORT; ++field) {
                EXPECT_EQ(row[field], "") << "customer field " << field << " without a customer";
            }
        } else {
            ++withCustomer;
            ASSERT_TRUE(customerById.count(row[KNDID])) << "KNDID " << row[KNDID];
            const auto& customer = *customerById[row[KNDID]];
            EXPECT_EQ(row[NAME], customer[2] + " " + customer[1]);
            EXPECT_EQ(row[STRASSE], customer[3]);
            EXPECT_EQ(row[PLZ], customer[4]);
            EXPECT_EQ(row[ORT], customer[5]);
            EXPECT_EQ(row[PK_NR], customer[0]);
            EXPECT_EQ(row[PK_NAM], customer[1]);
            EXPECT_EQ(row[PK_VOR], customer[2]);
            EXPECT_EQ(row[PK_STR], customer[3]);
            EXPECT_EQ(row[PK_PLZ], customer[4]);
            EXPECT_EQ(row[PK_ORT], customer[5]);
        }
        lastReceipt[row[KASSA]] = &row;
    }
    if (expectedReceipts >= 1000) {
        EXPECT_EQ(types, (std::set<std::string>{"B", "N"}));
        EXPECT_GT(withCustomer, expectedReceipts / 10);
        EXPECT_LT(withCustomer, expectedReceipts * 3 / 10);
        EXPECT_GT(nullCustomer, 0) << "no receipt with KNDID NULL";
        EXPECT_EQ(lastNumber["01"], (expectedReceipts + 1) / 2);
        EXPECT_EQ(lastNumber["02"], expectedReceipts / 2);
    }

    std::map<std::string, std::int64_t> paid;
    std::map<std::string, int> paymentCount;
    for (const auto& row : dump.payments) {
        EXPECT_EQ(row[1], std::to_string(++paymentCount[row[0]])) << "payments of BONID " << row[0];
        paid[row[0]] += std::stoll(row[2]);
    }
    EXPECT_EQ(paid, totals) << "payments add up to the receipts";

    Rows expectedRanges;
    for (const char* till : {"01", "02"}) {
        const auto* last = lastReceipt[till];
        expectedRanges.push_back({"B",
                                  till,
                                  std::to_string(year),
                                  std::to_string(lastNumber[till]),
                                  last ? (*last)[DATUM] + " " + (*last)[ZEIT] : ""});
    }
    EXPECT_EQ(dump.numberRanges, expectedRanges);
}

class DemoDataTest : public ::testing::Test
{
protected:
    testsupport::TempDir m_folder;
};

class DemoDataMariaDbTest : public DemoDataTest
{
protected:
    // The server starts with the first test that needs it: a server that does not come up fails that test
    // instead of skipping the suite.
};

} // namespace

TEST_F(DemoDataTest, FillsANewSqliteFileConsistently)
{
    const std::string file = m_folder.file("demo.db");
    const std::string connection = testsupport::sqliteConnectionString(file);
    const ProgramRun run = runDemo({"--connection", connection, "--receipts", "3001", "--year", "2024", "--seed", "7"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Demodaten geschrieben: 3001 Belege"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Tabellen angelegt (sqlite)"), std::string::npos) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;

    checkConsistency(load(connection), 3001, 2024);
    // DATUM went in as a date: SQLite holds it as text in ISO form, so it sorts and compares as a date.
    EXPECT_EQ(testsupport::querySql(connection, "SELECT DISTINCT typeof(DATUM) FROM BONS"), (Rows{{"text"}}));
}

TEST_F(DemoDataTest, SameSeedGivesTheSameDataAnotherSeedOther)
{
    std::vector<Dump> dumps;
    for (const char* seed : {"5", "5", "6"}) {
        const std::string connection = testsupport::sqliteConnectionString(
            m_folder.file(std::string("s") + seed + "-" + std::to_string(dumps.size())));
        const ProgramRun run =
            runDemo({"--connection", connection, "--receipts", "600", "--year", "2025", "--seed", seed});
        ASSERT_EQ(run.status, 0) << run.output;
        dumps.push_back(load(connection));
    }
    EXPECT_TRUE(dumps[0] == dumps[1]);
    EXPECT_NE(dumps[0].receipts, dumps[2].receipts);
    EXPECT_NE(dumps[0].customers, dumps[2].customers);
}

TEST_F(DemoDataTest, WithoutACountFillsTheOpeningDaysOfTheYear)
{
    // 2026: 365 days, 52 Sundays, and 1.1., 25.12., 26.12. fall on weekdays: 310 opening days.
    int openDays = 0;
    for (auto day = std::chrono::sys_days{std::chrono::year{2026} / 1 / 1};
         day < std::chrono::sys_days{std::chrono::year{2027} / 1 / 1};
         day += std::chrono::days{1}) {
        openDays += closedDay(std::chrono::year_month_day{day}) ? 0 : 1;
    }
    ASSERT_EQ(openDays, 310);

    const std::string connection = testsupport::sqliteConnectionString(m_folder.file("year.db"));
    const ProgramRun run = runDemo({"--connection", connection, "--year", "2026", "--customers", "50"});
    ASSERT_EQ(run.status, 0) << run.output;
    const std::int64_t expected = 150 * 2 * openDays;
    EXPECT_NE(run.output.find("Demodaten geschrieben: " + std::to_string(expected) + " Belege"), std::string::npos)
        << run.output;
    const Rows perDay =
        testsupport::querySql(connection, "SELECT DATUM, KASSA, COUNT(*) FROM BONS GROUP BY DATUM, KASSA");
    EXPECT_EQ(perDay.size(), static_cast<std::size_t>(openDays * 2)) << "every opening day has receipts on both tills";
    for (const auto& row : perDay) {
        const int count = std::stoi(row[2]);
        EXPECT_GE(count, 120) << row[0] << " " << row[1];
        EXPECT_LE(count, 200) << row[0] << " " << row[1];
    }
    checkConsistency(load(connection), expected, 2026, 50);
}

TEST_F(DemoDataTest, LeavesADatabaseWithReceiptsAlone)
{
    const std::string file = m_folder.file("full.db");
    testsupport::createSqliteDatabase(file);
    const std::string connection = testsupport::sqliteConnectionString(file);
    const ProgramRun first = runDemo({"--connection", connection, "--receipts", "50"});
    ASSERT_EQ(first.status, 0) << first.output;
    EXPECT_EQ(first.output.find("Tabellen angelegt"), std::string::npos) << first.output;

    const ProgramRun second = runDemo({"--connection", connection, "--receipts", "50"});
    EXPECT_EQ(second.status, 1) << second.output;
    EXPECT_NE(second.output.find("enthält bereits 50 Zeilen"), std::string::npos) << second.output;
    EXPECT_EQ(testsupport::querySql(connection, "SELECT COUNT(*), MAX(BONNR) FROM BONS"), (Rows{{"50", "25"}}));
}

TEST_F(DemoDataTest, RefusesBadArgumentsAndUnreachableDatabases)
{
    const std::string connection = testsupport::sqliteConnectionString(m_folder.file("args.db"));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"--receipts", "10"},
             {"--connection", connection, "--receipts", "zehn"},
             {"--connection", connection, "--receipts", "-5"},
             {"--connection", connection, "--schema", "oracle"},
             {"--connection", connection, "--year"},
             {"--connection", connection, "--farbe", "blau"},
         }) {
        const ProgramRun run = runDemo(args);
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_NE(run.output.find("Aufruf: quorvex-demodata"), std::string::npos) << run.output;
    }
    EXPECT_FALSE(fs::exists(m_folder.file("args.db"))) << "a refused call must not touch the database";

    const ProgramRun unreachable =
        runDemo({"--connection", "Driver=" + m_folder.file("kein-treiber.so") + ";Database=x;"});
    EXPECT_EQ(unreachable.status, 1) << unreachable.output;
    EXPECT_NE(unreachable.output.find("Verbindung"), std::string::npos) << unreachable.output;

    const ProgramRun badSchema =
        runDemo({"--connection", connection, "--schema-file", m_folder.file("fehlt.sql"), "--receipts", "5"});
    EXPECT_EQ(badSchema.status, 1) << badSchema.output;
    EXPECT_NE(badSchema.output.find("fehlt.sql"), std::string::npos) << badSchema.output;
}

TEST_F(DemoDataMariaDbTest, MariaDbGetsTheSameDataAsSqlite)
{
    const std::vector<std::string> args = {"--receipts", "3001", "--year", "2024", "--seed", "7"};
    const std::string mariadb = sharedServer().createDatabase("demo_same");
    std::vector<std::string> mariadbArgs = {"--connection", mariadb};
    mariadbArgs.insert(mariadbArgs.end(), args.begin(), args.end());
    const ProgramRun run = runDemo(mariadbArgs);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.find("Tabellen angelegt"), std::string::npos) << run.output;

    const std::string sqlite = testsupport::sqliteConnectionString(m_folder.file("same.db"));
    std::vector<std::string> sqliteArgs = {"--connection", sqlite};
    sqliteArgs.insert(sqliteArgs.end(), args.begin(), args.end());
    ASSERT_EQ(runDemo(sqliteArgs).status, 0);

    const Dump fromMariaDb = load(mariadb);
    checkConsistency(fromMariaDb, 3001, 2024);
    const Dump fromSqlite = load(sqlite);
    EXPECT_EQ(fromMariaDb.receipts, fromSqlite.receipts);
    EXPECT_EQ(fromMariaDb.customers, fromSqlite.customers);
    EXPECT_EQ(fromMariaDb.payments, fromSqlite.payments);
    EXPECT_EQ(fromMariaDb.numberRanges, fromSqlite.numberRanges);
    // MariaDB hands decimals over with both places, SQLite as the number it stored.
    const std::string saldo = testsupport::querySql(mariadb, "SELECT RKSV_SALDO FROM BONS WHERE BONID = 1").at(0).at(0);
    ASSERT_NE(saldo.find('.'), std::string::npos) << saldo;
    EXPECT_EQ(saldo.size() - saldo.find('.'), 3u) << saldo;
}

TEST_F(DemoDataMariaDbTest, CreatesTheTablesInAnEmptyMariaDbDatabase)
{
    testsupport::execSql(sharedServer().connectionString(""), "CREATE DATABASE demo_empty");
    const std::string connection = sharedServer().connectionString("demo_empty");
    const ProgramRun run = runDemo({"--connection", connection, "--receipts", "1200", "--seed", "3", "--year", "2027"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Tabellen angelegt (mariadb)"), std::string::npos) << run.output;
    EXPECT_EQ(testsupport::querySql(connection,
                                    "SELECT COUNT(*) FROM information_schema.TABLES "
                                    "WHERE TABLE_SCHEMA = 'demo_empty' AND ENGINE = 'InnoDB'"),
              (Rows{{"5"}}));
    checkConsistency(load(connection), 1200, 2027);
}

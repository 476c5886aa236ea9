#include "tests/support/Databases.h"

#include "tests/support/SharedServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::MariaDbServer;
using testsupport::OdbcConnection;
using testsupport::Rows;

namespace {

// "Größbauer" with o-umlaut and sharp s, "Zoë" with e-diaeresis, and the euro sign (three bytes in UTF-8).
const std::string UMLAUT_NAME = "Gr\xc3\xb6\xc3\x9f"
                                "bauer Zo\xc3\xab \xe2\x82\xac";
const std::string UMLAUT_NAME_HEX = "4772C3B6C39F6261756572205A6FC3AB20E282AC";
constexpr int UMLAUT_NAME_CHARS = 15;

std::set<std::string> column(const Rows& rows, std::size_t index = 0)
{
    std::set<std::string> values;
    for (const auto& row : rows) {
        values.insert(row.at(index));
    }
    return values;
}

// A process that is gone or a zombie no longer runs a server.
bool processAlive(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return false;
    }
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// Every process whose command line mentions `text`.
std::vector<pid_t> processesMentioning(const std::string& text)
{
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
        const std::string line((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        if (line.find(text) != std::string::npos && processAlive(std::stoi(name))) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

} // namespace

TEST(DriverPaths, NameExistingDriverLibraries)
{
    const std::string sqlite = testsupport::sqliteDriver();
    const std::string mariadb = testsupport::mariadbDriver();
    EXPECT_TRUE(fs::is_regular_file(sqlite)) << sqlite;
    EXPECT_TRUE(fs::is_regular_file(mariadb)) << mariadb;
    EXPECT_NE(fs::path(sqlite).filename().string().find("sqlite3odbc"), std::string::npos) << sqlite;
    EXPECT_NE(fs::path(mariadb).filename().string().find("maodbc"), std::string::npos) << mariadb;
}

class SqliteDatabaseTest : public ::testing::Test
{
protected:
    testsupport::TempDir m_folder;
    std::string m_file = m_folder.file("kassa.db");
};

TEST_F(SqliteDatabaseTest, SchemaCreatesTablesAndIndexesAndMayRunAgain)
{
    testsupport::createSqliteDatabase(m_file);
    const std::string connection = testsupport::sqliteConnectionString(m_file);
    testsupport::execSql(connection, "INSERT INTO KUNDEN (KNDID, ZUNAME) VALUES (7, 'Huber')");
    testsupport::createSqliteDatabase(m_file);

    EXPECT_EQ(column(testsupport::querySql(connection, "SELECT name FROM sqlite_master WHERE type = 'table'")),
              (std::set<std::string>{"BONS", "CARDS", "KUNDEN", "NUMMERNKREISE", "ZAHLUNGEN"}));
    EXPECT_EQ(column(testsupport::querySql(connection,
                                           "SELECT iname || '(' || group_concat(col) || ')' FROM "
                                           "(SELECT m.name AS iname, i.name AS col "
                                           " FROM sqlite_master m, pragma_index_info(m.name) i "
                                           " WHERE m.type = 'index' AND m.sql IS NOT NULL ORDER BY m.name, i.seqno) "
                                           "GROUP BY iname")),
              (std::set<std::string>{"IX_BONS_KASSA_BONNR(KASSA,BONNR)",
                                     "IX_BONS_DATUM_ZEIT(DATUM,ZEIT,BONID)",
                                     "IX_BONS_KASSA_DATUM_ZEIT(KASSA,DATUM,ZEIT)",
                                     "IX_BONS_KASSA_DATUM_BONNR(KASSA,DATUM,BONNR)",
                                     "IX_BONS_DATUM_BONNR(DATUM,BONNR,BONID)",
                                     "IX_ZAHLUNGEN_BONID(BONID)",
                                     "IX_CARDS_KASSA(KASSA)"}));
    EXPECT_EQ(testsupport::querySql(connection, "SELECT pk, name FROM pragma_table_info('BONS') WHERE pk > 0"),
              (Rows{{"1", "BONID"}}));
    EXPECT_EQ(testsupport::querySql(connection,
                                    "SELECT pk, name FROM pragma_table_info('ZAHLUNGEN') WHERE pk > 0 ORDER BY pk"),
              (Rows{{"1", "ZHLID"}, {"2", "BONID"}}));
    EXPECT_EQ(testsupport::querySql(connection, "SELECT KNDID, ZUNAME FROM KUNDEN"), (Rows{{"7", "Huber"}}));
}

TEST_F(SqliteDatabaseTest, ColumnsDefaultSoOrderingNeverMeetsNull)
{
    testsupport::createSqliteDatabase(m_file);
    const std::string connection = testsupport::sqliteConnectionString(m_file);
    testsupport::execSql(connection, "INSERT INTO BONS (DATUM) VALUES ('2026-03-01')");
    testsupport::execSql(connection, "INSERT INTO BONS (DATUM) VALUES ('2026-03-02')");
    // BONID is the rowid: SQLite numbers the rows itself.
    EXPECT_EQ(testsupport::querySql(connection,
                                    "SELECT BONID, KASSA IS NULL, ZEIT IS NULL, TYP IS NULL, RKSV_TYP IS NULL, "
                                    "RKSV_JWS IS NULL, BONNR, RKSV_SALDO, KNDID, NAME IS NULL, PK_ORT IS NULL "
                                    "FROM BONS ORDER BY BONID"),
              (Rows{{"1", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0"},
                    {"2", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0"}}));
    EXPECT_THROW(testsupport::execSql(connection, "INSERT INTO BONS (KASSA) VALUES ('01')"), std::runtime_error)
        << "a receipt without date must be refused";
}

TEST_F(SqliteDatabaseTest, UmlautsSurviveTheDriver)
{
    testsupport::createSqliteDatabase(m_file);
    OdbcConnection connection(testsupport::sqliteConnectionString(m_file));
    connection.exec("INSERT INTO KUNDEN (KNDID, ZUNAME, ORT) VALUES (1, '" + UMLAUT_NAME + "', 'St. P\xc3\xb6lten')");
    EXPECT_EQ(connection.query("SELECT ZUNAME, ORT, length(ZUNAME), hex(ZUNAME) FROM KUNDEN"),
              (Rows{{UMLAUT_NAME, "St. P\xc3\xb6lten", std::to_string(UMLAUT_NAME_CHARS), UMLAUT_NAME_HEX}}));
    EXPECT_EQ(connection.scalar("SELECT COUNT(*) FROM KUNDEN WHERE ZUNAME = '" + UMLAUT_NAME + "'"), "1");
}

TEST_F(SqliteDatabaseTest, DriverNamesItselfAndReportsErrors)
{
    OdbcConnection connection(testsupport::sqliteConnectionString(m_file));
    EXPECT_EQ(connection.dbmsName(), "SQLite");
    EXPECT_NE(connection.driverName().find("sqlite3odbc"), std::string::npos) << connection.driverName();
    try {
        connection.query("SELECT * FROM GIBTSNICHT");
        FAIL() << "query on a missing table succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("GIBTSNICHT"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("HY000"), std::string::npos) << error.what();
    }
}

TEST_F(SqliteDatabaseTest, LongValuesComeBackWhole)
{
    testsupport::createSqliteDatabase(m_file);
    const std::string connection = testsupport::sqliteConnectionString(m_file);
    // longer than the 4 KiB the helper fetches at a time
    std::string chain;
    for (int i = 0; i < 3000; ++i) {
        chain += static_cast<char>('A' + i % 26);
    }
    chain += "\xc3\xa4";
    testsupport::execSql(connection,
                         "INSERT INTO CARDS (KASSA, SERNR, CHAIN) VALUES ('01', '1a2b', '" + chain + chain + "')");
    EXPECT_EQ(testsupport::querySql(connection, "SELECT CHAIN, SERNR, BASE64 FROM CARDS"),
              (Rows{{chain + chain, "1a2b", ""}}));
}

TEST(SchemaScripts, SplitIntoStatementsAtLineEnds)
{
    for (const char* name : {"sqlite.sql", "mariadb.sql"}) {
        const auto statements = testsupport::schemaStatements(testsupport::schemaFile(name));
        ASSERT_EQ(statements.size(), 12u) << name;
        EXPECT_EQ(statements.front().rfind("CREATE TABLE IF NOT EXISTS BONS (", 0), 0u) << name;
        EXPECT_EQ(statements.back(), "CREATE INDEX IF NOT EXISTS IX_CARDS_KASSA ON CARDS (KASSA)") << name;
        for (const auto& statement : statements) {
            EXPECT_EQ(statement.find(';'), std::string::npos) << name << ": " << statement;
            EXPECT_EQ(statement.find("DROP"), std::string::npos) << name << ": " << statement;
        }
    }
}

class MariaDbTest : public ::testing::Test
{
protected:
    // The server starts with the first test that needs it: a server that does not come up fails that test
    // instead of skipping the suite.
    MariaDbServer& server() { return sharedServer(); }
};

TEST_F(MariaDbTest, ServerRunsPrivately)
{
    ASSERT_TRUE(server().running());
    OdbcConnection connection(server().connectionString(""));
    const Rows settings =
        connection.query("SELECT @@socket, @@port, @@bind_address, @@datadir, @@performance_schema, @@log_bin, "
                         "@@character_set_server");
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_EQ(settings[0][0], server().socket());
    EXPECT_EQ(settings[0][1], std::to_string(server().port()));
    EXPECT_NE(server().port(), 3306);
    EXPECT_EQ(settings[0][2], "127.0.0.1");
    EXPECT_EQ(settings[0][3].rfind(server().directory() + "/", 0), 0u) << settings[0][3];
    EXPECT_EQ(settings[0][4], "0");
    EXPECT_EQ(settings[0][5], "0");
    EXPECT_EQ(settings[0][6], "utf8mb4");
    EXPECT_EQ(connection.dbmsName(), "MariaDB");
    EXPECT_NE(connection.driverName().find("maodbc"), std::string::npos) << connection.driverName();
}

TEST_F(MariaDbTest, CreateDatabaseBuildsTheSchema)
{
    const std::string connection = server().createDatabase("schema_check");
    EXPECT_EQ(testsupport::querySql(connection,
                                    "SELECT TABLE_NAME, ENGINE, TABLE_COLLATION FROM information_schema.TABLES "
                                    "WHERE TABLE_SCHEMA = 'schema_check' ORDER BY TABLE_NAME"),
              (Rows{{"BONS", "InnoDB", "utf8mb4_unicode_ci"},
                    {"CARDS", "InnoDB", "utf8mb4_unicode_ci"},
                    {"KUNDEN", "InnoDB", "utf8mb4_unicode_ci"},
                    {"NUMMERNKREISE", "InnoDB", "utf8mb4_unicode_ci"},
                    {"ZAHLUNGEN", "InnoDB", "utf8mb4_unicode_ci"}}));
    EXPECT_EQ(
        column(testsupport::querySql(
            connection,
            "SELECT CONCAT(TABLE_NAME, '.', INDEX_NAME, '(', GROUP_CONCAT(COLUMN_NAME ORDER BY SEQ_IN_INDEX), ')') "
            "FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = 'schema_check' "
            "GROUP BY TABLE_NAME, INDEX_NAME")),
        (std::set<std::string>{"BONS.PRIMARY(BONID)",
                               "BONS.IX_BONS_KASSA_BONNR(KASSA,BONNR)",
                               "BONS.IX_BONS_DATUM_ZEIT(DATUM,ZEIT,BONID)",
                               "BONS.IX_BONS_KASSA_DATUM_ZEIT(KASSA,DATUM,ZEIT)",
                               "BONS.IX_BONS_KASSA_DATUM_BONNR(KASSA,DATUM,BONNR)",
                               "BONS.IX_BONS_DATUM_BONNR(DATUM,BONNR,BONID)",
                               "KUNDEN.PRIMARY(KNDID)",
                               "ZAHLUNGEN.PRIMARY(ZHLID,BONID)",
                               "ZAHLUNGEN.IX_ZAHLUNGEN_BONID(BONID)",
                               "NUMMERNKREISE.PRIMARY(TYP,KASSA)",
                               "CARDS.PRIMARY(CRDID)",
                               "CARDS.IX_CARDS_KASSA(KASSA)"}));
    // The script only adds what is missing.
    OdbcConnection again(connection);
    again.exec("INSERT INTO KUNDEN (KNDID) VALUES (1)");
    for (const auto& statement : testsupport::schemaStatements(testsupport::schemaFile("mariadb.sql"))) {
        again.exec(statement);
    }
    EXPECT_EQ(again.query("SELECT KNDID, ZUNAME, ORT FROM KUNDEN"), (Rows{{"1", "", ""}}));
    again.exec("INSERT INTO BONS (DATUM) VALUES ('2026-05-04')");
    EXPECT_EQ(again.query("SELECT BONID, KASSA, ZEIT, BONNR, TYP, KNDID, RKSV_TYP, RKSV_SALDO, PK_NR FROM BONS"),
              (Rows{{"1", "", "", "0", "", "0", "", "0.00", ""}}));
}

TEST_F(MariaDbTest, CreateDatabaseRefusesNamesThatAreNotPlain)
{
    EXPECT_THROW(server().createDatabase("x`; DROP DATABASE mysql; --"), std::invalid_argument);
    EXPECT_THROW(server().createDatabase(""), std::invalid_argument);
    EXPECT_THROW(server().createDatabase("kassa-1"), std::invalid_argument);
}

TEST_F(MariaDbTest, UmlautsSurviveTheDriver)
{
    OdbcConnection connection(server().createDatabase("umlauts"));
    connection.exec("INSERT INTO KUNDEN (KNDID, ZUNAME, ORT) VALUES (1, '" + UMLAUT_NAME + "', 'St. P\xc3\xb6lten')");
    EXPECT_EQ(connection.query("SELECT ZUNAME, ORT, CHAR_LENGTH(ZUNAME), HEX(ZUNAME) FROM KUNDEN"),
              (Rows{{UMLAUT_NAME, "St. P\xc3\xb6lten", std::to_string(UMLAUT_NAME_CHARS), UMLAUT_NAME_HEX}}));
    // The collation compares without regard to case.
    EXPECT_EQ(connection.scalar("SELECT COUNT(*) FROM KUNDEN WHERE ORT = 'ST. P\xc3\x96LTEN'"), "1");
}

TEST_F(MariaDbTest, NamedLockHeldByOneConnectionIsRefusedToAnother)
{
    const std::string database = server().createDatabase("locks");
    OdbcConnection first(database);
    auto second = std::make_unique<OdbcConnection>(database);
    const std::string take = "SELECT GET_LOCK('quorvex.kassa.01', 0)";
    const std::string release = "SELECT RELEASE_LOCK('quorvex.kassa.01')";

    EXPECT_EQ(first.scalar(take), "1");
    EXPECT_EQ(second->scalar(take), "0");
    EXPECT_EQ(second->scalar(release), "0") << "only the holder may release";
    EXPECT_EQ(first.scalar("SELECT IS_USED_LOCK('quorvex.kassa.01') = CONNECTION_ID()"), "1");
    EXPECT_EQ(first.scalar(release), "1");
    EXPECT_EQ(second->scalar(take), "1");
    EXPECT_EQ(first.scalar(take), "0");
    // Another name is free.
    EXPECT_EQ(first.scalar("SELECT GET_LOCK('quorvex.kassa.02', 0)"), "1");
    // Closing a connection frees its locks, though not at once: the server ends the session after the client has
    // gone, so whoever takes the lock next waits a little for it.
    second.reset();
    EXPECT_EQ(first.scalar("SELECT GET_LOCK('quorvex.kassa.01', 10)"), "1");
    EXPECT_EQ(first.scalar("SELECT IS_FREE_LOCK('quorvex.kassa.01')"), "0");
}

TEST_F(MariaDbTest, FailingStatementsThrowWithTheServersMessage)
{
    const std::string database = server().createDatabase("failures");
    try {
        testsupport::execSql(database, "INSERT INTO KUNDEN (KNDID) VALUES (1), (1)");
        FAIL() << "duplicate key accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("23000"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("Duplicate entry"), std::string::npos) << error.what();
    }
    EXPECT_THROW(testsupport::querySql(server().connectionString("gibtsnicht"), "SELECT 1"), std::runtime_error);
}

TEST(MariaDbServerLifetime, StopsItsProcessAndRemovesItsFolder)
{
    pid_t pid = 0;
    std::string folder;
    const auto started = std::chrono::steady_clock::now();
    {
        MariaDbServer server;
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_LT(took, 15s) << "start took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                             << " ms";
        pid = server.pid();
        folder = server.directory();
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(server.running());
        EXPECT_TRUE(processAlive(pid));
        EXPECT_TRUE(fs::exists(server.socket()));
        EXPECT_EQ(testsupport::querySql(server.connectionString(""), "SELECT 1 + 1"), (Rows{{"2"}}));

        server.stop();
        EXPECT_FALSE(server.running());
        EXPECT_FALSE(processAlive(pid));
        EXPECT_THROW(testsupport::querySql(server.connectionString(""), "SELECT 1"), std::runtime_error);
    }
    EXPECT_FALSE(fs::exists(folder)) << folder;
    EXPECT_TRUE(processesMentioning(folder).empty());
}

TEST(MariaDbServerLifetime, ServerEndsWithAProcessThatDiesWithoutCleaningUp)
{
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        // The server object is leaked on purpose: no destructor runs, as when a test crashes.
        auto* server = new MariaDbServer();
        const std::string message = std::to_string(server->pid()) + " " + server->directory() + "\n";
        if (::write(pipeFds[1], message.data(), message.size()) < 0) {
            std::_Exit(2);
        }
        std::_Exit(0);
    }
    ::close(pipeFds[1]);
    std::string message;
    char buffer[256];
    ssize_t got = 0;
    while ((got = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0) {
        message.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not start a server";

    std::istringstream fields(message);
    pid_t serverPid = 0;
    std::string folder;
    fields >> serverPid >> folder;
    ASSERT_GT(serverPid, 0) << message;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (processAlive(serverPid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_FALSE(processAlive(serverPid)) << "server " << serverPid << " outlived its parent";
    if (processAlive(serverPid)) {
        ::kill(serverPid, SIGKILL);
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
}

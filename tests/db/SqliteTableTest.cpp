// The table layer on SQLite through its real ODBC driver, a database file per test.
#include "base/ErrorLog.h"
#include "base/Program.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "tests/support/Databases.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::chrono;

namespace {

class SqliteTableTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        connection = std::make_shared<db::Connection>(testsupport::sqliteConnectionString(dir.file("kassa.db")));
        connection->execute("CREATE TABLE BONS (BONID INTEGER PRIMARY KEY, KASSA VARCHAR(10) NOT NULL DEFAULT '', "
                            "DATUM DATE, ZEIT VARCHAR(8) NOT NULL DEFAULT '', BONNR INTEGER NOT NULL DEFAULT 0, "
                            "TYP VARCHAR(2) NOT NULL DEFAULT 'B', KNDID INTEGER, RKSV_JWS TEXT, RKSV_SALDO NUMERIC)");
        connection->execute("CREATE INDEX BONS_KASSA_BONNR ON BONS (KASSA, BONNR)");
        connection->execute("CREATE INDEX BONS_DATUM_ZEIT ON BONS (DATUM, ZEIT, BONID)");
        connection->execute("CREATE TABLE NUMMERNKREISE (TYP VARCHAR(2) NOT NULL, KASSA VARCHAR(10) NOT NULL, "
                            "JAHR INTEGER, BONNR INTEGER, TSTAMP VARCHAR(10), PRIMARY KEY (TYP, KASSA))");
        connection->execute("BEGIN");
        // Three days, two tills, receipts numbered per till, times in order within a day.
        for (int i = 1; i <= 300; ++i) {
            const int day = 1 + (i - 1) / 100;
            const auto till = i % 2 ? "01" : "02";
            char time[16];
            std::snprintf(time, sizeof time, "%02d:%02d:00", 8 + (i % 100) / 10, (i % 10) * 6);
            connection->execute("INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, KNDID) VALUES (?, ?, ?, ?, ?, ?)",
                                {std::to_string(i),
                                 till,
                                 "2026-12-0" + std::to_string(day),
                                 time,
                                 std::to_string((i + 1) / 2),
                                 i % 7 == 0 ? db::Text(std::nullopt) : "3"});
        }
        connection->execute("COMMIT");
        base::program().HostProduct = "PLUMOXA";
    }

    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
    std::shared_ptr<db::Connection> connection;
};

TEST(DriverKind, IsTakenFromTheDriverFileName)
{
    EXPECT_EQ(db::kindOfDriver("SQORA32.DLL"), db::Kind::Oracle);
    EXPECT_EQ(db::kindOfDriver("libsqora.so.19.1"), db::Kind::Oracle);
    EXPECT_EQ(db::kindOfDriver("sqliteodbc.dll"), db::Kind::SQLite);
    EXPECT_EQ(db::kindOfDriver("SQLite3ODBC.DLL"), db::Kind::SQLite);
    EXPECT_EQ(db::kindOfDriver("/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc-0.9998.so"), db::Kind::SQLite);
    EXPECT_EQ(db::kindOfDriver("sqlite3odbc.so"), db::Kind::SQLite);
    EXPECT_EQ(db::kindOfDriver("libmaodbc.so"), db::Kind::MySQL);
    EXPECT_EQ(db::kindOfDriver("sqlserver.dll"), db::Kind::MySQL) << "anything else";
    EXPECT_EQ(db::kindOfDriver("myodbc8w.dll"), db::Kind::MySQL);
}

TEST(SqlText, QuoteTrimsAndDoublesQuotesDatesAndTokens)
{
    EXPECT_EQ(db::Quote("  01 "), "'01'");
    EXPECT_EQ(db::Quote("O'Brien"), "'O''Brien'");
    EXPECT_EQ(db::Quote("x' OR '1'='1"), "'x'' OR ''1''=''1'");
    EXPECT_EQ(db::D2SQL(year{2026} / December / 6), "'2026-12-06'");
    EXPECT_EQ(db::D2SQL(year{2026} / December / 6, db::Kind::SQLite), "'2026-12-06'");
    EXPECT_EQ(db::D2SQL(year{2026} / December / 6, db::Kind::Oracle), "to_date('06.12.2026', 'DD.MM.YYYY')");
    EXPECT_EQ(db::Token("a,b,,d", 2), "b");
    EXPECT_EQ(db::Token("a,b,,d", 3), "");
    EXPECT_EQ(db::Token("a,b,,d", 4), "d");
    EXPECT_EQ(db::Token("a,b", 3), "");
    EXPECT_EQ(db::Token("1;2;3", 3, ";"), "3");
}

TEST_F(SqliteTableTest, TheDriverIsRecognisedAsSqlite)
{
    EXPECT_EQ(connection->kind(), db::Kind::SQLite) << connection->driverName();
    EXPECT_EQ(connection->dbmsName(), "SQLite");
}

TEST_F(SqliteTableTest, ATillsReceiptsInNumberOrderForwardAndBack)
{
    db::DbBon bons({}, connection);
    bons.Where("KASSA = " + db::Quote("02"));
    bons.OrderBy({"BONNR"});
    std::vector<std::string> numbers;
    for (bool more = !bons.EoF(); more; more = bons.Skip()) {
        numbers.push_back(bons.FieldGet("BONNR"));
    }
    ASSERT_EQ(numbers.size(), 150u);
    EXPECT_EQ(numbers.front(), "1");
    EXPECT_EQ(numbers.back(), "150");
    EXPECT_TRUE(bons.EoF());

    EXPECT_TRUE(bons.GoBottom());
    EXPECT_EQ(bons.FieldGet("BONNR"), "150");
    EXPECT_EQ(bons.RecNo(), 150);
    EXPECT_TRUE(bons.Skip(-2));
    EXPECT_EQ(bons.FieldGet("BONNR"), "148");
    EXPECT_TRUE(bons.GoTo(70));
    EXPECT_EQ(bons.FieldGet("BONNR"), "70");
    EXPECT_TRUE(bons.Skip(65)) << "past a batch of rows";
    EXPECT_EQ(bons.FieldGet("BONNR"), "135");
    EXPECT_EQ(bons.RecNo(), 135);
    EXPECT_FALSE(bons.Skip(100));
    EXPECT_TRUE(bons.EoF());
    EXPECT_EQ(bons.FieldGet("BONNR"), "0") << "at the end the row is blank";
    EXPECT_TRUE(bons.GoTop());
    EXPECT_FALSE(bons.Skip(-1));
    EXPECT_TRUE(bons.BoF());
    EXPECT_EQ(bons.FieldGet("BONNR"), "1");
}

TEST_F(SqliteTableTest, ASoftSeekOfADayGivesItsReceiptsInTimeOrderThenLaterDays)
{
    db::DbBon bons({"BONID", "DATUM", "ZEIT"}, connection);
    bons.OrderBy({"ZEIT"});
    EXPECT_TRUE(bons.Seek("DATUM", year{2026} / December / 2, true));
    EXPECT_TRUE(bons.Found());
    std::vector<std::string> times;
    while (!bons.EoF() && bons.FieldGetString("DATUM") == "20261202") {
        times.push_back(bons.FieldGet("ZEIT"));
        bons.Skip();
    }
    EXPECT_EQ(times.size(), 100u);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(bons.FieldGetString("DATUM"), "20261203") << "then the next day";

    EXPECT_FALSE(bons.Seek("DATUM", std::string("2026-11-30 "), false)) << "hard: no such day";
    EXPECT_TRUE(bons.EoF());
    EXPECT_FALSE(bons.Seek("DATUM", std::string("2026-11-30"), true)) << "soft: positioned, but not found";
    EXPECT_FALSE(bons.EoF());
    EXPECT_EQ(bons.FieldGetString("DATUM"), "20261201");
}

TEST_F(SqliteTableTest, ChangesAreWrittenByKeyAndAppendedRowsGetTheirKey)
{
    db::DbBon bons({}, connection);
    ASSERT_TRUE(bons.Seek("BONID", std::string("42")));
    bons.FieldPut("RKSV_JWS", "eyJhbGciOiJFUzI1NiJ9.x.y");
    EXPECT_TRUE(bons.Commit());
    EXPECT_EQ(connection->queryRow("SELECT RKSV_JWS FROM BONS WHERE BONID = 42").at(0),
              db::Text("eyJhbGciOiJFUzI1NiJ9.x.y"));
    EXPECT_EQ(connection->queryRow("SELECT COUNT(*) FROM BONS WHERE RKSV_JWS IS NOT NULL").at(0), db::Text("1"));

    bons.Append();
    bons.FieldPut("KASSA", "O'Neil");
    bons.FieldPut("BONNR", "151");
    bons.FieldPut("DATUM", "2026-12-04");
    EXPECT_TRUE(bons.Commit());
    EXPECT_EQ(bons.FieldGet("BONID"), "301");
    db::DbBon again({}, connection);
    again.Where("KASSA = " + db::Quote("O'Neil"));
    EXPECT_FALSE(again.EoF()) << "a quote in a value neither breaks the SQL nor gets lost";
    EXPECT_EQ(again.FieldGet("BONNR"), "151");
}

TEST_F(SqliteTableTest, NullReadsAsTheBlankOfItsType)
{
    db::DbBon bons({}, connection);
    ASSERT_TRUE(bons.Seek("BONID", std::string("7")));
    EXPECT_EQ(bons.FieldGet("KNDID"), "0");
    EXPECT_EQ(bons.FieldGet("RKSV_JWS"), "");
    EXPECT_EQ(bons.FieldGetString("BONNR"), "4");
    EXPECT_EQ(bons.FieldGetString("DATUM"), "20261201");
    EXPECT_EQ(bons.FieldPos("bonnr"), 5);
    EXPECT_EQ(bons.FieldSym(5), "BONNR");
    EXPECT_EQ(bons.FieldPos("GIBTESNICHT"), 0);
}

TEST_F(SqliteTableTest, ListsRoundTripThroughOneColumn)
{
    db::DbBon bons({}, connection);
    ASSERT_TRUE(bons.Seek("BONID", std::string("1")));
    bons.FieldPutArray("RKSV_JWS", {"erster Teil", "zweiter"}, "|");
    EXPECT_EQ(bons.FieldGet("RKSV_JWS"), "erster Teil|zweiter|");
    bons.Commit();
    db::DbBon fresh({}, connection);
    ASSERT_TRUE(fresh.Seek("BONID", std::string("1")));
    EXPECT_EQ(fresh.FieldGetArray("RKSV_JWS", "|"), (std::vector<std::string>{"erster Teil", "zweiter"}));
}

TEST_F(SqliteTableTest, SqliteHasNoLocksAndSeesNoChanges)
{
    db::DbKrs ranges({}, connection);
    EXPECT_EQ(ranges.primKey(), std::vector<std::string>{"ROWID"}) << "a compound key becomes the row id";
    db::DbBon bons({}, connection);
    EXPECT_EQ(bons.primKey(), std::vector<std::string>{"BONID"}) << "the row id is the receipt id";
    ASSERT_TRUE(bons.Seek("BONID", std::string("4711"), true) || !bons.EoF() || bons.GoTop());
    bons.GoTop();
    EXPECT_TRUE(bons.RLock());
    EXPECT_EQ(bons.Is_Used_Lock(), "");
    EXPECT_TRUE(bons.Is_Free_Lock());
    EXPECT_TRUE(bons.Unlock());
    connection->execute("DELETE FROM BONS WHERE BONID = 1");
    EXPECT_FALSE(bons.Changed());
    EXPECT_EQ(bons.GetUniqueKey(), "'PLUMOXABONS1'");
}

TEST_F(SqliteTableTest, AFailedStatementIsAPlatformErrorWithTheDriversTextAndTheStatement)
{
    try {
        connection->execute("SELECT NICHTDA FROM BONS");
        FAIL() << "no error";
    } catch (const base::PlatformError& error) {
        const std::string what = error.what();
        EXPECT_NE(what.find("NICHTDA"), std::string::npos) << what;
        EXPECT_NE(what.find("Anweisung: SELECT NICHTDA FROM BONS"), std::string::npos) << what;
        EXPECT_FALSE(error.stack().empty());
    }
    EXPECT_THROW(db::DbBon({"GIBTESNICHT"}, connection), base::PlatformError);
    EXPECT_THROW(db::DbBon({}, nullptr), base::PlatformError) << "no program-wide connection yet";
}

TEST_F(SqliteTableTest, TheProgramWideConnectionComesFromTheInstallationOrTheHostProduct)
{
    EXPECT_EQ(db::programConnectionString(), "DSN=PLUMOXA;UID=PLUMOXA;PWD=PLUMOXA;");
    base::program().HostProduct = "DRAVELIN";
    EXPECT_EQ(db::programConnectionString(), "DSN=DRAVELIN;");
    base::program().connections.datenbank = testsupport::sqliteConnectionString(dir.file("kassa.db"));
    ASSERT_EQ(db::programConnection(), nullptr);
    const auto& opened = db::openProgramConnection();
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(&db::openProgramConnection(), &opened) << "opened once";
    EXPECT_FALSE(db::IsOracle());
    db::DbBon bons;
    EXPECT_EQ(bons.connection(), opened) << "tables use the program-wide connection";
    EXPECT_FALSE(bons.EoF());
    db::setProgramConnection(nullptr);
    base::program().connections.datenbank = "DSN=GIBTESNICHT;";
    EXPECT_THROW(db::openProgramConnection(), base::PlatformError);
}

TEST_F(SqliteTableTest, GetTStampIsSecondAndMillisecondWithoutLeadingZeros)
{
    const auto stamp = db::MySqlTable::GetTStamp();
    bool readable = false;
    for (int second = 0; second < 60 && !readable; ++second) {
        for (int millisecond = 0; millisecond < 1000 && !readable; ++millisecond) {
            readable = stamp == std::to_string(second) + std::to_string(millisecond);
        }
    }
    EXPECT_TRUE(readable) << stamp;
}

TEST(StatusReceiptNames, NamesAndCopyMarks)
{
    EXPECT_EQ(db::RKSVMyBelegText("A"), "Startbeleg");
    EXPECT_EQ(db::RKSVMyBelegText("M", false), "Monatsbeleg");
    EXPECT_EQ(db::RKSVMyBelegText("J"), "Jahresbeleg");
    EXPECT_EQ(db::RKSVMyBelegText("S"), "Sammelbeleg");
    EXPECT_EQ(db::RKSVMyBelegText("E"), "Schlussbeleg");
    EXPECT_EQ(db::RKSVMyBelegText("J", true), "Jahresbeleg (Kopie)");
    EXPECT_EQ(db::RKSVMyBelegText(""), "RECHNUNG ");
    EXPECT_EQ(db::RKSVMyBelegText("a"), "RECHNUNG ") << "type letters are capitals";
    EXPECT_EQ(db::RKSVMyBelegText("B", true), "RECHNUNG (Kopie)");
}

// Schema scripts are split where a line ends with ";"; a ";" inside a line, comments and blank lines are no ends.
TEST(ScriptStatements, SplitAtLineEndsOnly)
{
    const auto statements =
        db::scriptStatements("-- Kommentar\r\nCREATE TABLE A (X INT,\r\n  Y TEXT DEFAULT ';');\r\n\n"
                             "  -- noch einer\nCREATE INDEX I ON A (X) ;  \n");
    ASSERT_TRUE(statements);
    EXPECT_EQ(
        *statements,
        (std::vector<std::string>{"CREATE TABLE A (X INT,\r\n  Y TEXT DEFAULT ';')", "CREATE INDEX I ON A (X) "}));
    EXPECT_EQ(db::scriptStatements("-- leer\n"), std::vector<std::string>{});
    EXPECT_FALSE(db::scriptStatements("CREATE TABLE A (X INT);\nCREATE TABLE B (Y INT)\n"));
}

} // namespace

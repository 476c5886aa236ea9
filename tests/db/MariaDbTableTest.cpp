// The table layer and its record locks on a private MariaDB server through MariaDB Connector/ODBC, with two real
// connections standing for two stations.
#include "base/Program.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "tests/support/Databases.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>

using namespace std::chrono;

namespace {

// Scripted dialogs whose "let the user interface work" runs a step of the test: the other station's doing.
class StationDialogs : public testsupport::ScriptedDialogs
{
public:
    void ProcessEvents() override
    {
        ++waits;
        if (onWait) {
            onWait(waits);
        }
    }
    int waits = 0;
    std::function<void(int)> onWait;
};

class MariaDbTableTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // A server that does not come up must fail the tests, not skip them.
        try {
            server = new testsupport::MariaDbServer();
            connectionString = server->createDatabase("kassa");
        } catch (const std::exception& error) {
            startError = error.what();
        }
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(startError.empty()) << startError;
        one = std::make_shared<db::Connection>(connectionString);
        two = std::make_shared<db::Connection>(connectionString);
        one->execute("DELETE FROM BONS");
        one->execute("DELETE FROM NUMMERNKREISE");
        for (int i = 1; i <= 120; ++i) {
            one->execute("INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP) VALUES (?, ?, ?, ?, ?, 'B')",
                         {std::to_string(i),
                          i % 2 ? "01" : "02",
                          i <= 60 ? "2026-12-06" : "2026-12-07",
                          "1" + std::to_string(i % 10) + ":00:" + std::to_string(10 + i % 50),
                          std::to_string(i)});
        }
        one->execute("INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP) VALUES (4711, '01', '2026-12-08', "
                     "'09:00:00', 4711, 'B')");
        one->execute("INSERT INTO NUMMERNKREISE (TYP, KASSA, JAHR, BONNR, TSTAMP) VALUES ('B', '01', 2026, 120, '')");
        base::program().HostProduct = "PLUMOXA";
        db::MySqlTable::setLockPause(milliseconds(5));
    }
    void TearDown() override { db::MySqlTable::setLockPause(milliseconds(500)); }

    static testsupport::MariaDbServer* server;
    static std::string connectionString;
    static std::string startError;
    testsupport::ProgramStateGuard state;
    std::shared_ptr<db::Connection> one;
    std::shared_ptr<db::Connection> two;
    StationDialogs dialogs;
};

testsupport::MariaDbServer* MariaDbTableTest::server = nullptr;
std::string MariaDbTableTest::connectionString;
std::string MariaDbTableTest::startError;

TEST_F(MariaDbTableTest, TheDriverIsMySqlKind)
{
    EXPECT_EQ(one->kind(), db::Kind::MySQL) << one->driverName();
    EXPECT_EQ(one->dbmsName(), "MariaDB");
}

TEST_F(MariaDbTableTest, LockNamesAreTheTailOfProductTableAndKey)
{
    db::DbBon bons({}, one);
    ASSERT_TRUE(bons.Seek("BONID", std::string("4711")));
    EXPECT_EQ(bons.GetUniqueKey(), "'PLUMOXABONS4711'");
    base::program().HostProduct = "EINSEHRLANGERPRODUKTNAME";
    EXPECT_EQ(bons.GetUniqueKey(), "'" + std::string("EINSEHRLANGERPRODUKTNAMEBONS4711").substr(9) + "'");

    base::program().HostProduct = "PLUMOXA";
    db::DbKrs ranges({}, one);
    ASSERT_TRUE(ranges.Seek(std::vector<std::string>{"TYP", "KASSA"},
                            std::vector<db::MySqlTable::SeekValue>{std::string("B"), std::string("01 ")}));
    EXPECT_EQ(ranges.GetUniqueKey(), "'PLUMOXANUMMERNKREISEB01'") << "compound key, trailing blank dropped";
}

TEST_F(MariaDbTableTest, ALockHeldByOneStationIsRefusedToTheOtherUntilCommit)
{
    db::DbBon mine({}, one);
    db::DbBon theirs({}, two);
    ASSERT_TRUE(mine.Seek("BONID", std::string("7")));
    ASSERT_TRUE(theirs.Seek("BONID", std::string("7")));
    EXPECT_TRUE(mine.Is_Free_Lock());
    EXPECT_EQ(mine.Is_Used_Lock(), "");
    ASSERT_TRUE(mine.RLock());
    EXPECT_TRUE(mine.RLock()) << "the holder may take it again (the server counts it twice)";
    EXPECT_FALSE(theirs.RLock());
    EXPECT_FALSE(theirs.Is_Free_Lock());
    EXPECT_FALSE(theirs.Is_Used_Lock().empty()) << "the id of the holding connection";
    mine.FieldPut("TYP", "N");
    EXPECT_TRUE(mine.Commit());
    EXPECT_TRUE(theirs.RLock()) << "Commit released the lock";
    EXPECT_TRUE(theirs.Unlock());
    EXPECT_TRUE(theirs.Is_Free_Lock());
}

// Keys with backslashes and quotes lock their own row and Quote keeps them whole, whether the server reads a backslash
// in a literal as an escape (its default) or not.
TEST_F(MariaDbTableTest, BackslashesAndQuotesInKeysStayTheirOwn)
{
    db::setProgramConnection(one);
    const std::vector<std::string> tills = {"K1", "K\\1", "Kasse\\", "\\' OR 1 #"};
    for (const auto& till : tills) {
        one->execute("INSERT INTO NUMMERNKREISE (TYP, KASSA, JAHR, BONNR, TSTAMP) VALUES ('B', ?, 2026, 1, '')",
                     {till});
    }
    for (const std::string mode : {"", ",NO_BACKSLASH_ESCAPES"}) {
        for (const auto& station : {one, two}) {
            station->execute("SET SESSION sql_mode = CONCAT(@@GLOBAL.sql_mode, '" + mode + "')");
        }
        for (const auto& till : tills) {
            SCOPED_TRACE("sql_mode" + mode + ", till " + till);
            db::DbKrs mine({}, one);
            mine.Where("KASSA = " + db::Quote(till));
            EXPECT_EQ(mine.FieldGet("KASSA"), till);
            ASSERT_TRUE(mine.RLock());
            for (const auto& other : tills) {
                db::DbKrs theirs({}, two);
                theirs.Where("KASSA = " + db::Quote(other));
                EXPECT_EQ(theirs.RLock(), other != till) << other;
                EXPECT_TRUE(other == till || theirs.Unlock()) << other;
            }
            EXPECT_TRUE(mine.Unlock());
        }
    }
}

// 110 receipts of a day, 100 of them without a time (NULL), between receipts of the days around it: in time order each
// is listed once, forward from a soft seek of the day and back from its end; on MariaDB and on SQLite.
TEST_F(MariaDbTableTest, NullTimesNeitherHideNorRepeatAReceipt)
{
    testsupport::TempDir dir;
    for (const auto& connection :
         {one, std::make_shared<db::Connection>(testsupport::sqliteConnectionString(dir.file("kassa.db")))}) {
        connection->execute("DROP TABLE IF EXISTS HOSTBONS");
        connection->execute("CREATE TABLE HOSTBONS (BONID INTEGER NOT NULL PRIMARY KEY, DATUM DATE, ZEIT VARCHAR(8))");
        std::string rows = "(0, '2026-12-05', NULL), (111, '2026-12-07', NULL)";
        for (int id = 1; id <= 110; ++id) {
            rows += ", (" + std::to_string(id) + ", '2026-12-06', "
                    + (id > 100 ? "'12:00:" + std::to_string(id - 90) + "'" : std::string("NULL")) + ")";
        }
        connection->execute("INSERT INTO HOSTBONS (BONID, DATUM, ZEIT) VALUES " + rows);
        db::SqlTable bons(connection, "HOSTBONS", {}, {"BONID"});
        bons.OrderBy({"ZEIT"});
        const auto day = [&bons](long step) {
            std::vector<int> ids;
            for (bool on = true; on && bons.FieldGet("DATUM") == "2026-12-06" && ids.size() < 200;
                 on = bons.Skip(step)) {
                ids.push_back(std::stoi(bons.FieldGet("BONID")));
            }
            return ids;
        };
        std::vector<int> expected(110);
        std::iota(expected.begin(), expected.end(), 1); // the NULLs first
        ASSERT_TRUE(bons.SeekRows({"DATUM"}, {"2026-12-06"}, true));
        const auto listed = day(1);
        EXPECT_EQ(listed, expected) << listed.size() << " listed on " << connection->driverName();
        ASSERT_TRUE(bons.Skip(-1)) << "from the next day's first receipt";
        EXPECT_EQ(bons.RecNo(), 111);
        EXPECT_EQ(day(-1), std::vector<int>(expected.rbegin(), expected.rend())) << connection->driverName();
    }
}

TEST_F(MariaDbTableTest, Wait4LockSaysSoEveryThirdAttemptAndEndsWhenTheLockIsFree)
{
    db::DbBon mine({}, one);
    db::DbBon theirs({}, two);
    ASSERT_TRUE(mine.Seek("BONID", std::string("9")));
    ASSERT_TRUE(theirs.Seek("BONID", std::string("9")));
    ASSERT_TRUE(mine.RLock());
    dialogs.onWait = [&](int waits) {
        if (waits == 7) {
            mine.Unlock();
        }
    };
    theirs.Wait4Lock();
    EXPECT_FALSE(theirs.Is_Free_Lock()) << "now held by the waiting station";
    ASSERT_EQ(dialogs.shown().size(), 2u) << "after attempts 3 and 6";
    EXPECT_EQ(dialogs.shown()[0].caption, "Datensatz in Tabelle BONS gesperrt");
    EXPECT_EQ(dialogs.shown()[0].text,
              "Datensatz an anderem PC oder in anderem Programm auf diesem PC in Bearbeitung!\r\n"
              "Warte auf Freigabe des Datensatzes durch den Anwender!");
    theirs.Unlock();

    ASSERT_TRUE(mine.RLock());
    dialogs.waits = 0;
    dialogs.onWait = [&](int waits) {
        if (waits == 4) {
            mine.Unlock();
        }
    };
    theirs.Wait4Lock(true);
    EXPECT_EQ(dialogs.shown().size(), 2u) << "quiet: no message";
    EXPECT_GE(dialogs.waits, 4);
    theirs.Unlock();
}

TEST_F(MariaDbTableTest, ChangedSeesRowsDeletedOrChangedByTheOtherStation)
{
    db::DbBon mine({}, one);
    ASSERT_TRUE(mine.Seek("BONID", std::string("11")));
    EXPECT_FALSE(mine.Changed());
    two->execute("UPDATE BONS SET ZEIT = '23:59:59' WHERE BONID = 11");
    EXPECT_TRUE(mine.Changed());
    ASSERT_TRUE(mine.Seek("BONID", std::string("12")));
    two->execute("DELETE FROM BONS WHERE BONID = 12");
    EXPECT_TRUE(mine.Changed());
}

TEST_F(MariaDbTableTest, SeeksAndDatesOnMariaDb)
{
    db::DbBon bons({"BONID", "DATUM", "ZEIT"}, one);
    bons.OrderBy({"ZEIT"});
    EXPECT_TRUE(bons.Seek("DATUM", year{2026} / December / 7, true));
    EXPECT_EQ(bons.FieldGetString("DATUM"), "20261207");
    std::string last;
    int count = 0;
    while (!bons.EoF() && bons.FieldGetString("DATUM") == "20261207") {
        EXPECT_LE(last, bons.FieldGet("ZEIT"));
        last = bons.FieldGet("ZEIT");
        ++count;
        bons.Skip();
    }
    EXPECT_EQ(count, 60);
    EXPECT_EQ(bons.FieldGetString("DATUM"), "20261208");
    EXPECT_FALSE(bons.Seek("DATUM", year{2026} / December / 5, false));

    db::DbBon quoted({}, one);
    quoted.Where("KASSA = " + db::Quote("0' OR '1'='1"));
    EXPECT_TRUE(quoted.EoF()) << "a quote in a value cannot widen the condition";
}

} // namespace

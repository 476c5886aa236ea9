// The order rules of the status receipts on SQLite and on a private MariaDB server, with receipts signed by the
// software signature unit as a till stores them.
#include "rksv/StatusReceipts.h"

#include "base/ErrorLog.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "tests/support/Databases.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/SignedReceipts.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using testsupport::SignedReceipts;

using testsupport::Backend;

class StatusReceiptRules : public ::testing::TestWithParam<Backend>
{
protected:
    static void TearDownTestSuite() { s_server.reset(); }

    void SetUp() override
    {
        if (GetParam() == Backend::SQLite) {
            testsupport::createSqliteDatabase(dir.file("kassa.db"));
            connection = std::make_shared<db::Connection>(testsupport::sqliteConnectionString(dir.file("kassa.db")));
        } else {
            if (!s_server) {
                s_server = std::make_unique<testsupport::MariaDbServer>();
            }
            connection =
                std::make_shared<db::Connection>(s_server->createDatabase("kassa" + std::to_string(++s_databases)));
        }
        receipts = std::make_unique<SignedReceipts>(dir.file("Karten"));
    }

    bool startExists(const std::string& kassa) { return rksv::RKSVMyStartbelegExists(kassa, connection); }
    std::string since(const std::string& kassa, long limit = 99999999)
    {
        return rksv::RKSVMyCheckAusfall(kassa, limit, connection);
    }
    std::string add(const std::string& kassa,
                    long bonnr,
                    const std::string& date,
                    const std::string& time,
                    const std::string& rksvTyp = "",
                    bool failed = false,
                    const std::string& typ = "B")
    {
        return receipts->add(*connection, kassa, bonnr, date, time, rksvTyp, failed, typ);
    }
    // The RKSV_JWS of a receipt as the program reads it.
    std::string storedJws(const std::string& kassa, long bonnr)
    {
        db::DbBon bons({}, connection);
        bons.Where("kassa = " + db::Quote(kassa) + " and bonnr = " + std::to_string(bonnr));
        EXPECT_TRUE(bons.GoTop());
        return bons.FieldGet("RKSV_JWS");
    }

    static inline std::unique_ptr<testsupport::MariaDbServer> s_server;
    static inline int s_databases = 0;
    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
    std::shared_ptr<db::Connection> connection;
    std::unique_ptr<SignedReceipts> receipts;
};

TEST_P(StatusReceiptRules, AStartReceiptExistsUnlessTheLastReceiptAllowsANewOne)
{
    EXPECT_FALSE(startExists("01")) << "no receipt at all";

    add("04", 1, "01.02.2026", "08:00:00", "A");
    SignedReceipts::insert(*connection, "04", 2, "01.02.2026", "08:05:00", "", "");
    EXPECT_FALSE(startExists("04")) << "the last receipt is not signed";

    add("05", 1, "01.02.2026", "08:00:00", "A");
    add("05", 2, "01.02.2026", "08:10:00");
    add("05", 3, "28.02.2026", "18:00:00", "E");
    EXPECT_FALSE(startExists("05")) << "after a closing receipt the till may start again";
    add("05", 4, "01.04.2026", "08:00:00", "A");
    EXPECT_TRUE(startExists("05")) << "started again";

    add("06", 1, "01.02.2026", "08:00:00", "A");
    add("06", 2, "01.02.2026", "08:10:00");
    EXPECT_TRUE(startExists("06")) << "an ordinary last receipt";
    add("06", 3, "01.02.2026", "08:20:00", "E", false, "L");
    add("07", 3, "01.02.2026", "08:30:00", "E");
    EXPECT_TRUE(startExists("06")) << "receipts of other kinds and other tills do not count";

    add("08", 1, "01.02.2026", "08:00:00", "A");
    add("08", 2, "01.02.2026", "08:10:00", "", true);
    EXPECT_TRUE(startExists("08")) << "a failure-marked receipt is still a signed one";

    // Stored out of order: the highest number decides, not the order of insertion.
    add("11", 10, "01.02.2026", "08:10:00");
    add("11", 9, "01.02.2026", "08:00:00", "E");
    EXPECT_TRUE(startExists("11"));

    // The numbers start again at 1 in a new year: the date comes before the number.
    add("12", 500, "31.12.2025", "18:00:00");
    add("12", 1, "02.01.2026", "08:00:00", "E");
    EXPECT_FALSE(startExists("12")) << "the closing receipt of the new year is the last one";

    SignedReceipts::insert(*connection, "10", 1, "01.02.2026", "08:00:00", "", std::string(3, '\0'));
    EXPECT_FALSE(startExists("10")) << "a JWS of nothing but NUL characters is none";

    // Without a connection given, the program-wide one.
    // The call throws before it could answer: there is no result to look at.
    EXPECT_THROW(static_cast<void>(rksv::RKSVMyStartbelegExists("06")), base::PlatformError);
    db::setProgramConnection(connection);
    EXPECT_TRUE(rksv::RKSVMyStartbelegExists("06"));
    EXPECT_FALSE(rksv::RKSVMyStartbelegExists("04"));
}

TEST_P(StatusReceiptRules, TheFailureRunAtTheEndGivesItsFirstReceipt)
{
    add("01", 1, "01.02.2026", "08:00:00", "A");
    add("01", 2, "01.02.2026", "09:00:00", "", true);
    add("01", 3, "02.02.2026", "09:30:00");
    add("01", 4, "03.02.2026", "10:15:00", "", true);
    add("01", 5, "03.02.2026", "11:00:00", "", true);
    add("01", 6, "04.02.2026", "09:00:00", "", true);
    // Around it: another till's signed receipt with a higher number and a receipt of another kind of this till.
    add("02", 3, "03.02.2026", "12:00:00", "", true);
    add("02", 7, "05.02.2026", "12:00:00");
    add("01", 8, "05.02.2026", "12:30:00", "", false, "L");

    EXPECT_EQ(since("01"), "03.02.2026 10:15:00");
    EXPECT_EQ(since("01", 6), "03.02.2026 10:15:00") << "receipts 4 and 5";
    EXPECT_EQ(since("01", 5), "03.02.2026 10:15:00") << "receipt 4 alone";
    EXPECT_EQ(since("01", 4), "") << "receipt 3 was signed";
    EXPECT_EQ(since("01", 3), "01.02.2026 09:00:00") << "receipt 2";
    EXPECT_EQ(since("01", 2), "");
    EXPECT_EQ(since("01", 1), "") << "no receipt below the limit";
    EXPECT_EQ(since("02"), "") << "till 02 signed its last receipt";
    EXPECT_EQ(since("03"), "") << "no receipt at all";

    // A receipt without signature ends the run as a signed one does.
    add("04", 1, "01.02.2026", "08:00:00", "A", true);
    SignedReceipts::insert(*connection, "04", 2, "01.02.2026", "08:05:00", "", "");
    add("04", 3, "06.02.2026", "07:45:30", "", true);
    EXPECT_EQ(since("04"), "06.02.2026 07:45:30");
    // A run back to the first receipt.
    add("05", 1, "31.01.2026", "23:59:59", "A", true);
    add("05", 2, "01.02.2026", "00:00:01", "", true);
    EXPECT_EQ(since("05"), "31.01.2026 23:59:59");

    // Across a new year the numbers start again at 1; the run is followed in date order.
    add("06", 499, "31.12.2025", "17:00:00", "", true);
    add("06", 500, "31.12.2025", "18:00:00", "", true);
    add("06", 1, "02.01.2026", "08:00:00", "", true);
    EXPECT_EQ(since("06"), "31.12.2025 17:00:00");
    add("06", 2, "02.01.2026", "09:00:00");
    EXPECT_EQ(since("06"), "") << "the new year's signed receipt ends the run";

    // Equal dates: the number orders, not the time; equal numbers of a day: the order of storing.
    add("07", 1, "01.03.2026", "08:00:00", "A");
    add("07", 5, "03.03.2026", "10:00:00");
    add("07", 6, "03.03.2026", "10:00:00", "", true);
    add("07", 7, "03.03.2026", "09:00:00", "", true);
    EXPECT_EQ(since("07"), "03.03.2026 10:00:00");
    add("07", 8, "03.03.2026", "11:00:00", "", true);
    add("07", 8, "03.03.2026", "11:00:00");
    EXPECT_EQ(since("07"), "") << "the later of two equal receipts is signed";
    // A run longer than one page of the walk.
    add("08", 1, "01.03.2026", "08:00:00", "A");
    const auto failedJws = receipts->sign("08", 2, "02.03.2026", "09:00:00", "", true);
    connection->execute("BEGIN");
    for (long bonnr = 2; bonnr <= 1100; ++bonnr) {
        SignedReceipts::insert(*connection, "08", bonnr, "02.03.2026", "09:00:00", "", failedJws);
    }
    connection->execute("COMMIT");
    SignedReceipts::insert(*connection, "08", 1101, "02.03.2026", "09:30:00", "", failedJws);
    EXPECT_EQ(since("08"), "02.03.2026 09:00:00");

    db::setProgramConnection(connection);
    EXPECT_EQ(rksv::RKSVMyCheckAusfall("01", 99999999), "03.02.2026 10:15:00");
}

TEST_P(StatusReceiptRules, NulCharactersInTheStoredJwsAreIgnored)
{
    add("03", 1, "01.02.2026", "08:00:00", "A");
    const auto failed = receipts->sign("03", 2, "03.02.2026", "10:15:00", "", true);
    const auto trailing = failed + std::string(4, '\0');
    SignedReceipts::insert(*connection, "03", 2, "03.02.2026", "10:15:00", "", trailing);
    if (GetParam() == Backend::SQLite) {
        // The SQLite driver stores the NUL characters but gives a text only up to the first of them.
        EXPECT_EQ(storedJws("03", 2), failed);
        EXPECT_EQ(since("03"), "03.02.2026 10:15:00");
        EXPECT_TRUE(startExists("03"));
        return;
    }
    ASSERT_EQ(storedJws("03", 2), trailing) << "the driver keeps the NUL characters";
    EXPECT_EQ(since("03"), "03.02.2026 10:15:00");
    // One inside the signature, too.
    auto inside = receipts->sign("03", 3, "03.02.2026", "10:20:00", "", true);
    inside.insert(inside.size() - 5, 1, '\0');
    inside += std::string(2, '\0');
    SignedReceipts::insert(*connection, "03", 3, "03.02.2026", "10:20:00", "", inside);
    ASSERT_EQ(storedJws("03", 3), inside);
    EXPECT_EQ(since("03"), "03.02.2026 10:15:00");
    EXPECT_TRUE(startExists("03"));
}

INSTANTIATE_TEST_SUITE_P(Databases,
                         StatusReceiptRules,
                         ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         [](const auto& info) { return info.param == Backend::SQLite ? "SQLite" : "MariaDB"; });

} // namespace

// Receipt numbers: the range of a till, a new year, the end of the range, and several stations taking numbers of
// one till at the same time from one database, as processes of their own.
#include "rksv/Numbering.h"

#include "base/Clock.h"
#include "rksv/format/Encoding.h"
#include "rksv/format/Jws.h"
#include "tests/support/Databases.h"
#include "tests/support/Process.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

void setYear(int y)
{
    base::setClock([y] { return base::LocalDateTime{year{y} / June / 1, hh_mm_ss<seconds>(12h)}; });
}

// Every number 1 … n exactly once in the files the stations wrote.
void expectEachNumberOnce(const std::vector<std::string>& files, long n)
{
    std::vector<long> numbers;
    for (const auto& file : files) {
        std::ifstream in(file);
        for (long number = 0; in >> number;) {
            numbers.push_back(number);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    ASSERT_EQ(numbers.size(), static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) {
        ASSERT_EQ(numbers[static_cast<std::size_t>(i)], i + 1) << "a number missing or handed out twice";
    }
}

void runStations(const std::string& connection, const testsupport::TempDir& dir, int stations, int each)
{
    std::vector<std::unique_ptr<testsupport::Process>> workers;
    std::vector<std::string> files;
    for (int s = 0; s < stations; ++s) {
        files.push_back(dir.file("station" + std::to_string(s) + ".txt"));
        workers.push_back(std::make_unique<testsupport::Process>(
            std::vector<std::string>{test_paths::BONNR_WORKER, connection, "01", std::to_string(each), files.back()},
            std::vector<std::string>{}));
    }
    for (auto& worker : workers) {
        ASSERT_EQ(worker->wait(300s), std::optional<int>(0)) << worker->standardError();
    }
    expectEachNumberOnce(files, static_cast<long>(stations) * each);
}

class NumberingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testsupport::createSqliteDatabase(dir.file("kassa.db"));
        connection = std::make_shared<db::Connection>(testsupport::sqliteConnectionString(dir.file("kassa.db")));
        setYear(2026);
    }

    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
    std::shared_ptr<db::Connection> connection;
};

TEST_F(NumberingTest, NumbersRunPerTillAndStartAgainInANewYear)
{
    EXPECT_EQ(rksv::GetNextBonnr("01", "B", connection), 1);
    EXPECT_EQ(rksv::GetNextBonnr("01", "B", connection), 2);
    EXPECT_EQ(rksv::GetNextBonnr("02", "B", connection), 1) << "each till has its own range";
    EXPECT_EQ(rksv::GetNextBonnr("01", "B", connection), 3);
    const auto stamp = connection->queryRow("SELECT TSTAMP FROM NUMMERNKREISE WHERE KASSA = '01'").at(0);
    EXPECT_TRUE(stamp && !stamp->empty()) << "the change stamp is still written";
    setYear(2027);
    EXPECT_EQ(rksv::GetNextBonnr("01", "B", connection), 1) << "the first number of a new year";
    EXPECT_EQ(connection->queryRow("SELECT JAHR FROM NUMMERNKREISE WHERE KASSA = '01'").at(0), db::Text("2027"));
    EXPECT_EQ(rksv::GetNextBonnr("01", "B", connection), 2);
}

TEST_F(NumberingTest, TheRangeEndsAt999999)
{
    connection->execute("INSERT INTO NUMMERNKREISE (TYP, KASSA, JAHR, BONNR, TSTAMP) VALUES ('B', '01', 2026, "
                        "999998, '')");
    EXPECT_EQ(rksv::GetNextBonnr("01", "B", connection), 999999);
    EXPECT_EQ(rksv::GetNextBonnr("01", "B", connection), 0);
    EXPECT_EQ(rksv::GetNextBonnr("01", "B", connection), 0);
}

TEST_F(NumberingTest, StationsSharingOneSqliteFileNeverGetTheSameNumber)
{
    runStations(testsupport::sqliteConnectionString(dir.file("kassa.db")), dir, 4, 300);
}

TEST(FailureMarker, IsReadFromTheSignaturePart)
{
    EXPECT_TRUE(rksv::RKSVMyJwsAusfall(rksv::failedCompactJws("_R1-AT99_01_1_2026-12-07T10:00:00_0,00_0,00_0,00_0,"
                                                              "00_0,00_AAAAAAAA_1a_AAAAAAAAAAA=")));
    const std::string lower = "x.y." + rksv::base64UrlEncode(rksv::asBytes("sicherheitseinrichtung AUSGEFALLEN!"));
    EXPECT_TRUE(rksv::RKSVMyJwsAusfall(lower)) << "without regard to case";
    EXPECT_TRUE(rksv::RKSVMyJwsAusfall("x.y." + rksv::base64UrlEncode(rksv::asBytes("Sicherheitseinrichtung"))))
        << "the first 22 characters decide";
    EXPECT_FALSE(rksv::RKSVMyJwsAusfall("x.y." + rksv::base64UrlEncode(rksv::asBytes("Sicherheitseinrichtun"))));
    EXPECT_FALSE(rksv::RKSVMyJwsAusfall("x.y." + rksv::base64UrlEncode(rksv::asBytes("Signatur in Ordnung, 1234"))));
    EXPECT_FALSE(rksv::RKSVMyJwsAusfall("x.y"));
    EXPECT_FALSE(rksv::RKSVMyJwsAusfall("x.y.%%%"));
}

TEST(SQL2D, ReadsTheDatabasesDateText)
{
    EXPECT_EQ(rksv::SQL2D("2026-12-06"), year{2026} / December / 6);
    EXPECT_EQ(rksv::SQL2D("2026-12-06 10:48:15"), year{2026} / December / 6);
    EXPECT_EQ(rksv::SQL2D("06.12.2026"), std::nullopt);
    EXPECT_EQ(rksv::SQL2D("2026-02-30"), std::nullopt);
}

TEST(NumberingMariaDb, StationsSharingOneServerNeverGetTheSameNumber)
{
    testsupport::MariaDbServer server;
    testsupport::TempDir dir;
    runStations(server.createDatabase("kassa"), dir, 4, 750);
}

} // namespace

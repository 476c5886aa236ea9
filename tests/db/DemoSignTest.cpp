// The demo database as the demo builds it: the card tool, the demo-data generator and the signing tool run as
// programs; every receipt then verifies against the card, chains to the one before and carries the running total.
#include "rksv/Jws.h"
#include "rksv/SoftwareUnit.h"
#include "tests/support/Databases.h"
#include "tests/support/TempDir.h"
#include "tests/support/X11Session.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace std::chrono_literals;

namespace {

int run(const std::vector<std::string>& argv)
{
    testsupport::Process process(argv, {});
    return process.wait(120s).value_or(-1000);
}

TEST(DemoSign, ReceiptsAreSignedChainedAndCounted)
{
    testsupport::TempDir dir;
    const auto readers = dir.file("Karten");
    const auto connection = testsupport::sqliteConnectionString(dir.file("kassa.db"));
    ASSERT_EQ(run({CARD_TOOL, "--readers", readers, "--reader", "Leser 1", "--pin", "123456"}), 0);
    ASSERT_EQ(run({DEMODATA_TOOL, "--connection", connection, "--receipts", "60"}), 0);
    ASSERT_EQ(run({DEMOSIGN_TOOL,
                   "--connection",
                   connection,
                   "--readers",
                   readers,
                   "--reader",
                   "Leser 1",
                   "--pin",
                   "123456",
                   "--basis",
                   "PLUMOXA|0001|PLUMOXA"}),
              0);
    EXPECT_NE(run({DEMOSIGN_TOOL,
                   "--connection",
                   connection,
                   "--readers",
                   readers,
                   "--reader",
                   "Leser 1",
                   "--pin",
                   "falsch",
                   "--basis",
                   "PLUMOXA|0001|PLUMOXA"}),
              0)
        << "a wrong PIN signs nothing";

    rksv::SoftwareUnit unit(readers);
    std::string certificate;
    std::string chain;
    ASSERT_TRUE(unit.GetCardCertificate("Leser 1", certificate, chain));
    int receipts = 0;
    for (const std::string till : {"01", "02"}) {
        const auto rows = testsupport::querySql(
            connection,
            "SELECT RKSV_JWS, RKSV_SALDO, RKSV_NORMAL + RKSV_ERM1 + RKSV_ERM2 + RKSV_NULL + RKSV_SONDER FROM BONS "
            "WHERE KASSA = '"
                + till + "' ORDER BY BONNR");
        ASSERT_FALSE(rows.empty());
        std::string expectedChain = rksv::startChainValue(till);
        double total = 0;
        for (const auto& row : rows) {
            const auto& jws = row[0];
            EXPECT_TRUE(unit.VerifyJWS(jws, certificate)) << jws;
            const auto data = rksv::signedDataOfJws(jws);
            ASSERT_TRUE(data);
            EXPECT_TRUE(data->ends_with("_" + expectedChain)) << *data;
            total += std::stod(row[2]);
            EXPECT_NEAR(std::stod(row[1]), total, 0.005);
            expectedChain = rksv::chainValue(jws);
            ++receipts;
        }
    }
    EXPECT_EQ(receipts, 60);
}

} // namespace

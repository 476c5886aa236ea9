// The demo database as the demo builds it: the card tool, the demo-data generator and the signing tool run as
// programs; every receipt then verifies against the card, chains to the one before and carries the running total.
#include "base/Program.h"
#include "rksv/RKSVExport.h"
#include "rksv/Rksv.h"
#include "rksv/format/Jws.h"
#include "rksv/units/SoftwareUnit.h"
#include "tests/support/ChainCheck.h"
#include "tests/support/Databases.h"
#include "tests/support/Process.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

using namespace std::chrono_literals;

namespace {

int run(const std::vector<std::string>& argv, const std::string& workingDir = {})
{
    testsupport::Process process(argv, {}, workingDir);
    return process.wait(120s).value_or(-1000);
}

TEST(DemoSign, TheDemoIsATillHistoryWhoseEveryDepVerifies)
{
    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
    const auto readers = dir.file("Karten");
    const auto connection = testsupport::sqliteConnectionString(dir.file("kassa.db"));
    ASSERT_EQ(run({test_paths::CARD_TOOL, "--readers", readers, "--reader", "Leser 1", "--pin", "123456"}), 0);
    ASSERT_EQ(run({test_paths::DEMODATA_TOOL, "--connection", connection, "--receipts", "300"}), 0);
    const auto sign = [&](const std::string& pin) {
        return run({test_paths::DEMOSIGN_TOOL,
                    "--connection",
                    connection,
                    "--readers",
                    readers,
                    "--reader",
                    "Leser 1",
                    "--pin",
                    pin},
                   dir.path());
    };
    ASSERT_EQ(sign("123456"), 0);
    EXPECT_NE(sign("falsch"), 0) << "a wrong PIN signs nothing";

    // The program as the demo installation runs it.
    auto& program = base::program();
    program.DefaultDir = dir.path();
    program.HostProduct = "PLUMOXA";
    program.CompanyNumber = "0001";
    program.connections.signatur = "Software:" + readers;
    rksv::RKSV service(nullptr);
    ASSERT_TRUE(service.accReady()) << service.accMsgFirst();
    const auto key = *rksv::parseAesKey(service.accAes256());
    const auto database = std::make_shared<db::Connection>(connection);
    const auto count = [&](const std::string& sql) { return std::stol(*database->queryRow(sql).at(0)); };
    EXPECT_EQ(count("SELECT COUNT(*) FROM CARDS"), 2) << "the card registered for both tills";
    EXPECT_EQ(count("SELECT COUNT(*) FROM BONS WHERE RKSV_TYP = 'A'"), 2);
    EXPECT_GT(count("SELECT COUNT(*) FROM BONS WHERE RKSV_TYP = 'M'"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM BONS WHERE RKSV_JWS = '' OR RKSV_CRDID = 0 OR TYP <> 'B'"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM ZAHLUNGEN WHERE BONID NOT IN (SELECT BONID FROM BONS)"), 0)
        << "payments stay with their receipts";

    testsupport::ScriptedDialogs dialogs;
    std::size_t exported = 0;
    for (const std::string till : {"01", "02", ""}) {
        dialogs.answerSaveAs(dir.file("dep-" + till));
        rksv::RKSVExport exporter(database);
        using namespace std::chrono;
        exporter.DoDepExpJson(till, 2026y / January / 1, 2026y / December / 31);
        const auto text = testsupport::readBytes(exporter.accSaved());
        ASSERT_FALSE(text.empty()) << "till " << till;
        if (till.empty()) {
            std::size_t all = 0;
            const auto dep = nlohmann::json::parse(text);
            for (const auto& group : dep.at("Belege-Gruppe")) {
                all += group.at("Belege-kompakt").size();
            }
            EXPECT_EQ(all, static_cast<std::size_t>(count("SELECT COUNT(*) FROM BONS"))) << "all tills' receipts";
            continue;
        }
        SCOPED_TRACE("till " + till);
        exported += testsupport::expectSoundDep(text, till, key).size();
    }
    EXPECT_EQ(exported, static_cast<std::size_t>(count("SELECT COUNT(*) FROM BONS"))) << "every receipt exported";
}

} // namespace

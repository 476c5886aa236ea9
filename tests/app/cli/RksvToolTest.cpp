// The RKSV command line as scripts run it: the real program in an installation folder with a signed SQLite till
// history, the local FinanzOnline test service, and its exit codes and texts.
#include "base/Program.h"
#include "fonws/Submission.h"
#include "rksv/Rksv.h"
#include "rksv/SoftwareUnit.h"
#include "tests/support/Databases.h"
#include "tests/support/FonTestService.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "tests/support/X11Session.h"

#include <gtest/gtest.h>

using testsupport::Process;

namespace {

const testsupport::FonAccount ACCOUNT{"123456789012", "WEBUSER01", "geheim123", ""};
const std::string BASIS = "PLUMOXA|0001|PLUMOXA";

struct Outcome
{
    int exit = -1;
    std::string out;
    std::string err;
};

Outcome runTool(const std::vector<std::string>& args, const std::string& folder)
{
    std::vector<std::string> argv{test_paths::RKSV_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    Process process(argv, {}, folder);
    const auto exit = process.wait(std::chrono::seconds(120));
    return {exit.value_or(-1), process.standardOutput(), process.standardError()};
}

std::string installationIni(const std::string& connectTo, const std::string& caFile, const std::string& database)
{
    return "[Installation]\nProdukt=PLUMOXA\nFirmennummer=0001\nFinanzOnline-CA=" + caFile
           + "\nFinanzOnline-Verbindung=" + connectTo + "\nDatenbank=" + database
           + "\nSignatur=Software:Karten\n[Firma1]\nName=Hauptkasse\nNummer=01\nTest=N\n[Firma2]\nName=Filiale\n"
             "Nummer=02\nTest=N\n";
}

class RksvToolTest : public ::testing::Test
{
protected:
    // One installation for the suite: a card, 40 demo receipts signed as a till's history, login data for
    // company 01 (company 02 has none), and a till and a signature unit registered at the test service.
    static void SetUpTestSuite()
    {
        service = new testsupport::FonTestService({ACCOUNT});
        dir = new testsupport::TempDir;
        ASSERT_TRUE(service->running());
        std::string serial;
        std::string error;
        ASSERT_TRUE(rksv::createTestCard(dir->file("Karten"), "Leser 1", "123456", "", dir->file("ca"), serial, error))
            << error;
        const auto database = testsupport::sqliteConnectionString(dir->file("kassa.db"));
        ASSERT_EQ(Process({test_paths::DEMODATA_TOOL, "--connection", database, "--receipts", "40"}, {})
                      .wait(std::chrono::seconds(60)),
                  0);
        ASSERT_EQ(Process({test_paths::DEMOSIGN_TOOL,
                           "--connection",
                           database,
                           "--readers",
                           dir->file("Karten"),
                           "--reader",
                           "Leser 1",
                           "--pin",
                           "123456",
                           "--basis",
                           BASIS},
                          {},
                          dir->path())
                      .wait(std::chrono::seconds(60)),
                  0);
        const auto row = testsupport::querySql(database,
                                               "SELECT KASSA, MIN(DATUM), MAX(DATUM) FROM BONS WHERE "
                                               "TYP = 'B' GROUP BY KASSA ORDER BY KASSA LIMIT 1");
        ASSERT_EQ(row.size(), 1u);
        kassa = row[0][0];
        from = row[0][1].substr(0, 10);
        to = row[0][2].substr(0, 10);
        testsupport::writeBytes(dir->file("INSTALLATION.INI"),
                                installationIni(service->connectTo(), service->caFile(), database));
        testsupport::writeBytes(dir->file("01QUORVEX.INI"),
                                "[Quorvex]\nVersion=1.0\nTid=" + ACCOUNT.tid + "\nBenid=" + ACCOUNT.benid
                                    + "\nPin=" + ACCOUNT.pin + "\nUidnr=ATU12345678\n");
        testsupport::ProgramStateGuard state;
        state.startIn(dir->path());
        auto& p = base::program();
        // The installation's key, as the signing service derives it from the secret the history was signed with.
        p.HostProduct = "PLUMOXA";
        p.CompanyNumber = "0001";
        p.connections.signatur = "Software:" + dir->file("Karten");
        rksv::RKSV signing(nullptr);
        key = signing.accAes256();
        ASSERT_FALSE(key.empty()) << signing.accMsgFirst();
        signing.Close();
        p.TestFlag = "N";
        p.connections.fonCaFile = service->caFile();
        p.connections.fonConnectTo = service->connectTo();
        const fonws::Credentials login{ACCOUNT.tid, ACCOUNT.benid, ACCOUNT.pin, "ATU12345678"};
        ASSERT_EQ(fonws::submit(login, fonws::Operation::Registrierung_Kasse, {"", "KASSE-01", "", key}).answer.code,
                  "0");
        ASSERT_EQ(fonws::submit(login, fonws::Operation::Registrierung_SE, {"", "SIGNATURKARTE", "AT1", "3D1F2A", ""})
                      .answer.code,
                  "0");
    }
    static void TearDownTestSuite()
    {
        delete dir;
        delete service;
    }

    static testsupport::FonTestService* service;
    static testsupport::TempDir* dir;
    static std::string kassa, from, to, key;
};

testsupport::FonTestService* RksvToolTest::service = nullptr;
testsupport::TempDir* RksvToolTest::dir = nullptr;
std::string RksvToolTest::kassa, RksvToolTest::from, RksvToolTest::to, RksvToolTest::key;

struct Call
{
    std::vector<std::string> args;
    int exit;
    std::string text; // found in standard output or standard error
};

TEST_F(RksvToolTest, ExitCodesAndTextsOfEachCommand)
{
    const std::string otherKey = "WQRtiiya3hYh/Uz44Bv3x8ETl1nrH6nCdErn69g5/lU=";
    testsupport::writeBytes(dir->file("kein-dep.json"), "{\"Belege\": 1}");
    const std::vector<Call> calls{
        {{}, 2, "dep-export <Kassa>"},
        {{"--help"}, 0, "Rückgabewerte"},
        {{"status", "--help"}, 0, "dep-pruefen <Datei>"},
        {{"loeschen"}, 2, "Unbekannter Befehl \"loeschen\""},
        {{"dep-export", kassa, "31.02.2026", to, "a.json"}, 2, "nicht \"31.02.2026\""},
        {{"dep-export", kassa, from, "01.01.2000", "a.json"}, 2, "vor dem Tag"},
        {{"dep-export", kassa, from}, 2, "braucht Kassa, von, bis und Datei"},
        {{"dep-pruefen", "dep.json", "--schnell"}, 2, "Unbekannte Option --schnell"},
        {{"status"}, 2, "entweder --kassa oder --seriennummer"},
        {{"status", "--kassa"}, 2, "Zu --kassa fehlt der Wert"},
        // The DEP of the till's days is saved as named; an existing file only with --ueberschreiben.
        {{"dep-export", kassa, from, to, "dep.json"}, 0, "Belege gespeichert in " + dir->file("dep.json")},
        {{"dep-export", kassa, from, to, "dep.json"}, 3, "nur mit --ueberschreiben"},
        {{"dep-export", kassa, from, to, "dep.json", "--ueberschreiben"}, 0, "gespeichert"},
        // The check with the installation's key and with the key given; a wrong key or a broken file is found.
        {{"dep-pruefen", "dep.json"}, 0, "geprüft: in Ordnung"},
        {{"dep-pruefen", "dep.json", key}, 0, "geprüft: in Ordnung"},
        {{"dep-pruefen", "dep.json", otherKey}, 1, "Fehler"},
        {{"dep-pruefen", "dep.json", "kurz"}, 3, "44 Zeichen"},
        {{"dep-pruefen", "fehlt.json", key}, 3, "fehlt.json"},
        {{"dep-pruefen", "kein-dep.json", key}, 3, "Kein DEP"},
        // Status queries at FinanzOnline with company 01's login data.
        {{"status", "--kassa", "KASSE-01"}, 0, "(0) Registrierkasse KASSE-01: in Betrieb seit"},
        {{"status", "--seriennummer", "3D1F2A"}, 0, "(0) Signaturerstellungseinheit 3D1F2A: in Betrieb seit"},
        {{"status", "--kassa", "KASSE-99"}, 1, "(B2)"},
        {{"status", "--seriennummer", "ABCDEF"}, 1, "(B11)"},
        {{"status", "--kassa", "KASSE-01", "--firma", "02"}, 3, "fehlen Login-Daten"},
        {{"status", "--kassa", "KASSE-01", "--firma", "07"}, 3, "Die Firma/Kassa 07 gibt es"},
    };
    for (const auto& call : calls) {
        std::string line;
        for (const auto& word : call.args) {
            line += " " + word;
        }
        SCOPED_TRACE("vexa-quorvex-rksv" + line);
        const auto outcome = runTool(call.args, dir->path());
        EXPECT_EQ(outcome.exit, call.exit) << outcome.out << outcome.err;
        EXPECT_NE((outcome.out + outcome.err).find(call.text), std::string::npos) << outcome.out << outcome.err;
    }
    EXPECT_FALSE(testsupport::exists(dir->file("DEP.JSON")));
}

TEST_F(RksvToolTest, ATamperedDepNamesTheReceiptAndFailsTheCheck)
{
    ASSERT_EQ(runTool({"dep-export", kassa, from, to, "echt.json"}, dir->path()).exit, 0);
    auto text = testsupport::readBytes(dir->file("echt.json"));
    // A character of the last receipt's signature changed: that receipt's signature no longer verifies, and no
    // receipt chains to it.
    const auto end = text.find('"', text.rfind("\"eyJhbGciOiJFUzI1NiJ9.") + 1);
    ASSERT_NE(end, std::string::npos);
    text[end - 2] = text[end - 2] == 'A' ? 'B' : 'A';
    testsupport::writeBytes(dir->file("falsch.json"), text);
    const auto outcome = runTool({"dep-pruefen", "falsch.json", key}, dir->path());
    EXPECT_EQ(outcome.exit, 1) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find("Beleg "), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("Signatur"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("geprüft: 1 Fehler"), std::string::npos) << outcome.out;
}

TEST_F(RksvToolTest, ASilentFinanzOnlineIsTheirOwnExitCode)
{
    testsupport::TempDir other;
    // A port nobody listens on: the connection is refused at once.
    testsupport::writeBytes(other.file("INSTALLATION.INI"), installationIni("127.0.0.1:1", service->caFile(), ""));
    testsupport::writeBytes(other.file("01QUORVEX.INI"), testsupport::readBytes(dir->file("01QUORVEX.INI")));
    const auto outcome = runTool({"status", "--kassa", "KASSE-01"}, other.path());
    EXPECT_EQ(outcome.exit, 4) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find("(-1)"), std::string::npos) << outcome.out;
}

} // namespace

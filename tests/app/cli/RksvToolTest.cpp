// The RKSV command line as scripts and auditors run it: the real program in a fresh demo installation
// (tools/demo-install.sh: a signed SQLite till history, login data for company 01, a wrong PIN for company 02), the
// local FinanzOnline test service, and its exit codes and texts.
#include "base/Installation.h"
#include "base/Program.h"
#include "fonws/Submission.h"
#include "rksv/Rksv.h"
#include "tests/support/Databases.h"
#include "tests/support/DepMaker.h"
#include "tests/support/FonTestService.h"
#include "tests/support/Process.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <utility>

using testsupport::Process;

namespace {

const testsupport::FonAccount ACCOUNT{"123456789012", "WEBUSER01", "geheim123", ""};

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

// A fresh installation as the demo makes it, its FinanzOnline the test service at `connectTo`.
bool demoInstall(const std::string& folder, const std::string& connectTo, const std::string& caFile)
{
    Process install({"bash",
                     std::string(test_paths::SOURCE_DIR) + "/tools/demo-install.sh",
                     "--receipts",
                     "40",
                     test_paths::BUILD_DIR,
                     folder,
                     connectTo,
                     caFile},
                    {});
    const bool made = install.wait(std::chrono::seconds(180)) == 0;
    EXPECT_TRUE(made) << install.standardError();
    return made;
}

class RksvToolTest : public ::testing::Test
{
protected:
    // One demo installation for the suite. FinanzOnline knows a till and a signature unit, as the window registered
    // them in production.
    static void SetUpTestSuite()
    {
        service = new testsupport::FonTestService({ACCOUNT});
        dir = new testsupport::TempDir;
        ASSERT_TRUE(service->running());
        ASSERT_TRUE(demoInstall(dir->path(), service->connectTo(), service->caFile()));
        const auto row = testsupport::querySql(testsupport::sqliteConnectionString(dir->file("kassa.db")),
                                               "SELECT KASSA, MIN(DATUM), MAX(DATUM) FROM BONS WHERE "
                                               "TYP = 'B' GROUP BY KASSA ORDER BY KASSA LIMIT 1");
        ASSERT_EQ(row.size(), 1u);
        kassa = row[0][0];
        from = row[0][1].substr(0, 10);
        to = row[0][2].substr(0, 10);
        testsupport::ProgramStateGuard state;
        state.startIn(dir->path());
        const auto installation = base::loadInstallation(dir->path());
        ASSERT_TRUE(installation.installation) << installation.error;
        base::applyInstallation(*installation.installation);
        // The installation's key, as "Aus RKSV einfügen" derives it.
        rksv::RKSV signing(nullptr);
        key = signing.accAes256();
        ASSERT_FALSE(key.empty()) << signing.accMsgFirst();
        signing.Close();
        base::program().TestFlag = "N";
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
    void SetUp() override
    {
        ASSERT_TRUE(dir && service && service->running());
        service->setMode("normal");
        service->setSessionPath("/fonws/ws/sessionService");
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

// `status --kassa KASSE-01` while the test service answers so.
struct Answering
{
    const char* mode;
    const char* sessionPath; // where the test service's session service answers
    int exit;
    const char* text;
    const char* logged; // found in what ERROR.LOG gains; "" when it must gain nothing
};

TEST_F(RksvToolTest, ExitCodesAndTextsOfEachCommand)
{
    const std::string otherKey = "WQRtiiya3hYh/Uz44Bv3x8ETl1nrH6nCdErn69g5/lU=";
    testsupport::writeBytes(dir->file("kein-dep.json"), "{\"Belege\": 1}");
    // A till added to the installation whose login data nobody has entered yet.
    testsupport::writeBytes(dir->file("INSTALLATION.INI"),
                            testsupport::readBytes(dir->file("INSTALLATION.INI"))
                                + "[Firma3]\r\nName=Neue Kassa\r\nNummer=03\r\n");
    const std::string refused = "(-4) Die Teilnehmer-Identifikation, Benutzer-Identifikation oder PIN ist ungültig.";
    const std::vector<Call> calls{
        {{}, 2, "dep-export <Kassa>"},
        {{"--help"}, 0, "Rückgabewerte"},
        {{"help"}, 0, "Rückgabewerte"},
        {{"hilfe"}, 0, "Rückgabewerte"},
        {{"status", "--help"}, 0, "dep-pruefen <Datei>"},
        {{"--version"}, 0, "vexa-quorvex-rksv V1.04 ("},
        {{"loeschen"}, 2, "Unbekannter Befehl \"loeschen\""},
        {{"dep-export", kassa, "31.02.2026", to, "a.json"}, 2, "nicht \"31.02.2026\""},
        {{"dep-export", kassa, from, "01.01.2000", "a.json"}, 2, "vor dem Tag"},
        {{"dep-export", kassa, from}, 2, "braucht Kassa, von, bis und Datei"},
        {{"dep-pruefen", "dep.json", "--schnell"}, 2, "Unbekannte Option --schnell"},
        {{"status"}, 2, "entweder --kassa oder --seriennummer"},
        {{"status", "--kassa"}, 2, "Zu --kassa fehlt der Wert"},
        {{"status", "--kassa", "KASSE-01", "--firma"}, 2, "Zu --firma fehlt der Wert"},
        // A flag with a value is refused, not taken as given.
        {{"dep-export", kassa, from, to, "dep.json", "--ueberschreiben=nein"},
         2,
         "Unbekannte Option --ueberschreiben=nein."},
        // The DEP of the till's days is saved as named; an existing file only with --ueberschreiben.
        {{"dep-export", kassa, from, to, "dep.json"}, 0, "Belege gespeichert in " + dir->file("dep.json")},
        {{"dep-export", kassa, from, to, "dep.json"}, 3, "nur mit --ueberschreiben"},
        {{"dep-export", kassa, from, to, "dep.json", "--ueberschreiben"}, 0, "gespeichert"},
        // The check with the installation's key and with the key given; a wrong key or a broken file is found.
        {{"dep-pruefen", "dep.json"}, 0, "geprüft: in Ordnung"},
        {{"dep-pruefen", "dep.json", key}, 0, "geprüft: in Ordnung"},
        {{"dep-pruefen", "dep.json", otherKey}, 1, "Fehler"},
        {{"dep-pruefen", "dep.json", "kurz"}, 3, "44 Zeichen"},
        {{"dep-pruefen", "fehlt.json", key}, 3, "Die Datei fehlt.json gibt es nicht."},
        {{"dep-pruefen", "fehlt.json"}, 3, "Die Datei fehlt.json gibt es nicht."},
        {{"dep-pruefen", "kein-dep.json", key}, 3, "Kein DEP"},
        // Status queries at FinanzOnline with company 01's login data; a refused query or login is 1.
        {{"status", "--kassa", "KASSE-01"}, 0, "(0) Registrierkasse KASSE-01: in Betrieb seit"},
        {{"status", "--seriennummer", "3D1F2A"}, 0, "(0) Signaturerstellungseinheit 3D1F2A: in Betrieb seit"},
        {{"status", "--kassa", "KASSE-99"}, 1, "(B2)"},
        {{"status", "--seriennummer", "ABCDEF"}, 1, "(B11)"},
        {{"status", "--kassa", "KASSE-01", "--firma", "02"}, 1, refused},
        {{"status", "--kassa", "KASSE-01", "--firma", "03"}, 3, "fehlen Login-Daten"},
        {{"status", "--kassa", "KASSE-01", "--firma", "07"}, 3, "Die Firma/Kassa 07 gibt es"},
    };
    const std::string USUAL = "/fonws/ws/sessionService";
    const Answering answers[] = {
        // A SOAP fault is FinanzOnline's answer: its text under the code, and the request was not carried out.
        {"fault", USUAL.c_str(), 1, "(-1)\nFehlermeldung von FinanzOnline:\nTechnischer Fehler", ""},
        // No answer, or none that can be read.
        {"close", USUAL.c_str(), 4, "FinanzOnline hat nicht geantwortet: ", ""},
        {"empty", USUAL.c_str(), 4, "FinanzOnline hat nicht geantwortet", ""},
        {"garbage", USUAL.c_str(), 4, "nicht verwertbar", ""},
        // The session service where FinanzOnline's WSDL says, or nowhere.
        {"normal", "/fonws/ws/session", 0, "in Betrieb seit", "/fonws/ws/session\" hat er geantwortet"},
        {"normal", "/fonws/ws/anders", 4, "FinanzOnline-Sitzungspfad", "auch nicht unter"},
    };
    // Nothing is written in a folder without an installation; only a check with the key given works there, and only
    // with CA certificates to trust: the demo card's CA (a file, or its folder beside its key), not another CA.
    testsupport::TempDir empty;
    const auto demoCa = dir->file("karten-ca/ca-certificate.pem");
    // A closed system's DEP (R1-AT0, no certificate) and the auditor's key file for its till.
    const testsupport::TestSigner closedUnit{0x0c1};
    testsupport::TillSigner closedTill(closedUnit, "GESCHLOSSEN-1", rksv::parseAesKey(key).value());
    std::vector<std::string> closedReceipts;
    for (int i = 1; i <= 3; ++i) {
        testsupport::DepReceipt receipt;
        receipt.id = "G-" + std::to_string(i);
        receipt.dateTime = "2026-03-0" + std::to_string(i) + "T10:00:00";
        receipt.amounts[0] = i == 1 ? 0 : 250 * i;
        receipt.provider = "R1-AT0";
        receipt.serial = "U:ATU12345678-K0";
        closedReceipts.push_back(closedTill.next(receipt));
    }
    const auto closedDep = testsupport::writeBytes(
        dir->file("geschlossen.json"), testsupport::depOfGroups({testsupport::depGroup("", {}, closedReceipts)}));
    const auto closedKeys =
        testsupport::writeBytes(dir->file("schluessel.txt"), "GESCHLOSSEN-1 " + closedUnit.certificateBase64 + "\n");
    const std::vector<Call> elsewhere{
        {{"status", "--kassa", "KASSE-01"}, 3, "keine Installation"},
        {{"dep-export", kassa, from, to, "a.json"}, 3, "INSTALLATION.INI fehlt"},
        {{"dep-pruefen", dir->file("dep.json")}, 3, "keine Installation"},
        {{"dep-pruefen", dir->file("dep.json"), key},
         3,
         "Außerhalb einer Installation gibt es keine vertrauenswürdigen Zertifikate: bitte mit --zertifikate"},
        {{"dep-pruefen", dir->file("dep.json"), key, "--zertifikate", demoCa}, 0, "geprüft: in Ordnung"},
        {{"dep-pruefen", dir->file("dep.json"), "--zertifikate", dir->file("karten-ca"), key},
         0,
         "geprüft: in Ordnung"},
        {{"dep-pruefen", dir->file("dep.json"), key, "--zertifikate", service->caFile()},
         1,
         "Signaturzertifikat nicht vertrauenswürdig: "},
        {{"dep-pruefen", dir->file("dep.json"), key, "--zertifikate", dir->file("kein-dep.json")},
         3,
         "Zertifikate: " + dir->file("kein-dep.json") + " enthält kein Zertifikat (PEM oder DER)"},
        {{"dep-pruefen", dir->file("dep.json"), key, "--zertifikate"}, 2, "Zu --zertifikate fehlt der Wert"},
        {{"dep-pruefen", dir->path(), key, "--zertifikate", demoCa}, 3, "Datei " + dir->path() + " nicht lesbar"},
        {{"dep-pruefen", "fehlt.json"}, 3, "Die Datei fehlt.json gibt es nicht."},
        // A closed system's DEP needs no certificate, only the till's public key.
        {{"dep-pruefen", closedDep, key, "--schluessel", closedKeys}, 0, "3 Belege in 1 Gruppe geprüft: in Ordnung"},
        {{"dep-pruefen", closedDep, key, "--zertifikate", demoCa}, 1, "Kein öffentlicher Schlüssel für die Kassa"},
        {{"dep-pruefen", closedDep, key, "--schluessel", dir->file("kein-dep.json")},
         3,
         "Schlüssel: Datei " + dir->file("kein-dep.json") + ", Zeile 1: kein öffentlicher Schlüssel"},
    };
    const auto check = [&](const Call& call, const std::string& folder, const std::string& expectLogged) {
        std::string line;
        for (const auto& word : call.args) {
            line += " " + word;
        }
        SCOPED_TRACE("vexa-quorvex-rksv" + line);
        const auto log = testsupport::readBytes(dir->file("ERROR.LOG"));
        const auto outcome = runTool(call.args, folder);
        EXPECT_EQ(outcome.exit, call.exit) << outcome.out << outcome.err;
        EXPECT_NE((outcome.out + outcome.err).find(call.text), std::string::npos) << outcome.out << outcome.err;
        const auto logged = testsupport::readBytes(dir->file("ERROR.LOG")).substr(log.size());
        EXPECT_EQ(logged.empty(), expectLogged.empty()) << logged;
        EXPECT_NE(logged.find(expectLogged), std::string::npos) << logged;
    };
    for (const auto& call : calls) {
        check(call, dir->path(), "");
    }
    for (const auto& answer : answers) {
        SCOPED_TRACE(std::string(answer.mode) + ", " + answer.sessionPath);
        service->setMode(answer.mode);
        service->setSessionPath(answer.sessionPath);
        check({{"status", "--kassa", "KASSE-01"}, answer.exit, answer.text}, dir->path(), answer.logged);
    }
    for (const auto& call : elsewhere) {
        check(call, empty.path(), "");
    }
    EXPECT_FALSE(testsupport::exists(dir->file("DEP.JSON")));
    EXPECT_FALSE(testsupport::exists(dir->file("03QUORVEX.INI"))) << "a query creates no INI file";
    EXPECT_TRUE(std::filesystem::is_empty(empty.path()));
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

    // The report an auditor keeps: the same fault and result, as text or, for a name ending in .csv, as CSV.
    const auto plain = runTool({"dep-pruefen", "falsch.json", key, "--bericht", "bericht.txt"}, dir->path());
    EXPECT_EQ(plain.exit, 1) << plain.err;
    const auto summary = outcome.out.substr(outcome.out.rfind('\n', outcome.out.size() - 2) + 1);
    const auto faultLine = outcome.out.substr(0, outcome.out.size() - summary.size());
    EXPECT_EQ(testsupport::readBytes(dir->file("bericht.txt")), faultLine + "Ergebnis: " + summary);
    const auto csv = runTool({"dep-pruefen", "falsch.json", key, "--bericht", "Bericht.CSV"}, dir->path());
    EXPECT_EQ(csv.exit, 1) << csv.err;
    // "Beleg <id> (Nr. <n>): <text>" as the row "<n>;1;<id>;<text>".
    const auto id = faultLine.substr(6, faultLine.find(" (Nr. ") - 6);
    const auto number =
        faultLine.substr(faultLine.find(" (Nr. ") + 6, faultLine.find("): ") - faultLine.find(" (Nr. ") - 6);
    const auto faultText = faultLine.substr(faultLine.find("): ") + 3, faultLine.size() - faultLine.find("): ") - 4);
    EXPECT_EQ(testsupport::readBytes(dir->file("Bericht.CSV")),
              "Nr.;Gruppe;Belegnummer;Fehler\r\n" + number + ";1;" + id + ";" + faultText + "\r\n;;;"
                  + summary.substr(0, summary.size() - 1) + "\r\n");
    const auto unwritable =
        runTool({"dep-pruefen", "falsch.json", key, "--bericht", dir->file("kein/ordner/bericht.txt")}, dir->path());
    EXPECT_EQ(unwritable.exit, 3);
    EXPECT_EQ(unwritable.err, "Der Bericht " + dir->file("kein/ordner/bericht.txt") + " ist nicht schreibbar.\n");
}

// The demo installation has no product INI file: a lost, exchanged or blocked secret is still refused with its
// message, never replaced by a new one; the secret from the backup checks the DEP again.
TEST_F(RksvToolTest, ALostOrExchangedSecretIsRefusedWithoutTheProductIni)
{
    ASSERT_FALSE(testsupport::exists(dir->file("PLUMOXA.INI")));
    ASSERT_EQ(runTool({"dep-export", kassa, from, to, "geheimnis.json"}, dir->path()).exit, 0);
    const auto secretFile = dir->file("AES-GEHEIMNIS.KEY");
    const auto secret = testsupport::readBytes(secretFile);
    ASSERT_EQ(secret.size(), 65u);
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"AES-Geheimnis der Installation fehlt: ", [&] { std::filesystem::remove(secretFile); }},
        {"AES-Geheimnis der Installation passt nicht zum Prüfwert ",
         [&] { testsupport::writeBytes(secretFile, std::string(64, 'c') + "\n"); }},
        {"AES-Geheimnis der Installation ist keine gewöhnliche Datei: ",
         [&] {
             std::filesystem::remove(secretFile);
             ::mkfifo(secretFile.c_str(), 0600);
         }},
    };
    // What lies in the secret's place: its kind and, for a file, its content.
    const auto inPlace = [&] {
        const auto status = std::filesystem::symlink_status(secretFile);
        return std::to_string(static_cast<int>(status.type()))
               + (std::filesystem::is_regular_file(status) ? testsupport::readBytes(secretFile) : std::string());
    };
    for (const auto& [message, change] : cases) {
        SCOPED_TRACE(message);
        change();
        const auto before = inPlace();
        const auto refused = runTool({"dep-pruefen", "geheimnis.json"}, dir->path());
        EXPECT_EQ(refused.exit, 3);
        EXPECT_NE(refused.err.find(std::string("Kein AES-Schlüssel dieser Installation: ") + message),
                  std::string::npos)
            << refused.err;
        EXPECT_EQ(inPlace(), before) << "no secret was made anew in its place";
        std::filesystem::remove(secretFile);
        testsupport::writeBytes(secretFile, secret);
        ::chmod(secretFile.c_str(), 0600);
        const auto restored = runTool({"dep-pruefen", "geheimnis.json"}, dir->path());
        EXPECT_EQ(restored.exit, 0) << restored.out << restored.err;
    }
}

TEST_F(RksvToolTest, ASilentFinanzOnlineIsTheirOwnExitCode)
{
    testsupport::TempDir other;
    // A port nobody listens on: the connection is refused at once.
    ASSERT_TRUE(demoInstall(other.path(), "127.0.0.1:1", service->caFile()));
    const auto outcome = runTool({"status", "--kassa", "KASSE-01"}, other.path());
    EXPECT_EQ(outcome.exit, 4) << outcome.out << outcome.err;
    EXPECT_NE(outcome.out.find("(-1)"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.err.find("FinanzOnline hat nicht geantwortet: "), std::string::npos) << outcome.err;
}

// Ctrl+C or SIGTERM while FinanzOnline is silent ends the query long before its time-out (60 s here, 120 s by
// default); a session opened before is logged out.
TEST_F(RksvToolTest, AStopDuringAStatusQueryEndsItAndLogsOut)
{
    struct Row
    {
        int signal;
        const char* mode;
        std::size_t seenAtStop; // requests received when the signal is sent
        const char* said;       // all of standard error
        const char* lastAction; // of the last request received
    };
    for (const auto& row : {Row{SIGINT, "late 60", 1, "Abgebrochen.\n", "\"login\""},
                            Row{SIGTERM,
                                "late-rkdb 60",
                                2,
                                "Abgebrochen; die Sitzung bei FinanzOnline ist abgemeldet.\n",
                                "\"logout\""}}) {
        SCOPED_TRACE(row.mode);
        service->setMode(row.mode);
        const auto before = service->requests().size();
        Process process({test_paths::RKSV_TOOL, "status", "--kassa", "KASSE-01"}, {}, dir->path());
        for (int i = 0; i < 1000 && service->requests().size() < before + row.seenAtStop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(service->requests().size(), before + row.seenAtStop);
        ::kill(process.pid(), row.signal);
        EXPECT_EQ(process.wait(std::chrono::seconds(30)), 5) << process.standardError();
        EXPECT_EQ(process.standardError(), row.said);
        const auto got = service->requests();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().header("SOAPAction"), row.lastAction);
    }
}

} // namespace

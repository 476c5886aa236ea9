// The menu "RKSV" as an operator meets it: the real program started in a fresh demo installation, driven by keys.
// Nothing is opened or chosen beforehand: the windows open the database themselves, the status receipt ordered is
// signed and stored, its QR code saved, and the export of all tills holds every till's signed receipts.
#include "rksv/format/Jws.h"
#include "rksv/format/Receipt.h"
#include "tests/support/Journey.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string MAIN_TITLE = "Vexa-Quorvex: FON WebClient";
const std::string STATUS_TITLE = "RKSV Statusbelege";
const std::string EXPORT_TITLE = "Datenerfassungsprotokoll exportieren";
const std::string CHECK_TITLE = "DEP prüfen";

long countOf(const testsupport::Journey& journey, const std::string& sql)
{
    return std::stol(journey.query(sql).at(0).at(0));
}

// Waits until the query counts `expected`; the program works on while the test looks.
bool waitForCount(const testsupport::Journey& journey, const std::string& sql, long expected)
{
    for (int i = 0; i < 200; ++i) {
        if (countOf(journey, sql) == expected) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

bool waitForFile(const std::string& path)
{
    for (int i = 0; i < 200 && !std::filesystem::exists(path); ++i) {
        std::this_thread::sleep_for(100ms);
    }
    return std::filesystem::exists(path);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The till a compact JWS was signed for.
std::string tillOf(const std::string& jws)
{
    const auto data = rksv::signedDataOfJws(jws);
    const auto parsed = data ? rksv::parseSignedData(*data) : std::nullopt;
    return parsed ? parsed->kassenId : "?";
}

} // namespace

TEST(RksvMenuJourney, StatusReceiptAndExportOfAllTillsRightAfterTheStart)
{
    testsupport::Journey journey;
    ASSERT_TRUE(journey.ready()) << journey.problem();
    ASSERT_TRUE(journey.start()) << journey.program()->standardError();

    // "Statusbelege …" first thing: a month receipt for till 01 with the card's PIN.
    const std::string months = "SELECT COUNT(*) FROM BONS WHERE KASSA = '01' AND RKSV_TYP = 'M'";
    const long monthsBefore = countOf(journey, months);
    const long rowsBefore = countOf(journey, "SELECT COUNT(*) FROM BONS");
    journey.keys({"alt+r", "s"});
    ASSERT_TRUE(journey.waitFor(STATUS_TITLE));
    journey.keys({"alt+m", "alt+p"});
    journey.type("123456");
    journey.keys({"alt+e"});
    EXPECT_TRUE(waitForCount(journey, months, monthsBefore + 1)) << journey.errorLog();
    EXPECT_EQ(countOf(journey, "SELECT COUNT(*) FROM BONS"), rowsBefore + 1) << "the month receipt alone";
    EXPECT_TRUE(journey.screenshot(STATUS_TITLE, "journey-statusbelege-monatsbeleg"));

    // Its QR code, saved where the operator says.
    const auto qrFile = journey.file("monatsbeleg.png");
    journey.keys({"alt+s"});
    ASSERT_TRUE(journey.waitFor("QR-Code speichern"));
    journey.type(qrFile);
    journey.keys({"Return"});
    ASSERT_TRUE(waitForFile(qrFile));
    EXPECT_EQ(readFile(qrFile).substr(0, 8), std::string("\x89PNG\r\n\x1a\n"));

    // A wrong PIN: the card's refusal in an error box, and nothing stored.
    ASSERT_TRUE(journey.waitGone("QR-Code speichern"));
    ASSERT_TRUE(journey.waitFor(STATUS_TITLE));
    journey.keys({"alt+m", "alt+p"});
    journey.type("000000");
    journey.keys({"alt+e"});
    ASSERT_TRUE(journey.waitFor("Fehler"));
    const auto message = journey.messageText();
    EXPECT_NE(message.find("Pin Code nicht korrekt"), std::string::npos) << message;
    journey.keys({"Return"});
    EXPECT_TRUE(journey.waitGone("Fehler"));
    EXPECT_EQ(countOf(journey, months), monthsBefore + 1);
    journey.keys({"Escape"});
    ASSERT_TRUE(journey.waitGone(STATUS_TITLE));

    // "DEP exportieren …" without a till: every till's signed receipts, each till in groups of its own.
    const auto depFile = journey.file("alle.json");
    ASSERT_TRUE(journey.waitFor(MAIN_TITLE)); // without a window manager the click that gives the window the keys
    journey.keys({"alt+r", "e"});
    ASSERT_TRUE(journey.waitFor(EXPORT_TITLE));
    journey.keys({"alt+x"});
    ASSERT_TRUE(journey.waitFor("Speichern unter"));
    journey.type(depFile);
    journey.keys({"Return"});
    ASSERT_TRUE(waitForFile(journey.file("ALLE.JSON"))) << "the name is saved in capitals";
    EXPECT_TRUE(journey.screenshot(EXPORT_TITLE, "journey-dep-export-alle-kassen"));
    const auto dep = nlohmann::json::parse(readFile(journey.file("ALLE.JSON")), nullptr, false);
    ASSERT_FALSE(dep.is_discarded());
    std::size_t receipts = 0;
    std::set<std::string> tills;
    for (const auto& group : dep.at("Belege-Gruppe")) {
        std::set<std::string> groupTills;
        for (const auto& jws : group.at("Belege-kompakt")) {
            groupTills.insert(tillOf(jws.get<std::string>()));
            ++receipts;
        }
        EXPECT_EQ(groupTills.size(), 1u) << "a group holds one till's chain";
        tills.insert(groupTills.begin(), groupTills.end());
    }
    EXPECT_EQ(tills, (std::set<std::string>{"01", "02"}));
    EXPECT_EQ(static_cast<long>(receipts), countOf(journey, "SELECT COUNT(*) FROM BONS WHERE RKSV_JWS <> ''"));
    ASSERT_TRUE(journey.waitFor(EXPORT_TITLE));
    journey.keys({"Escape"});
    ASSERT_TRUE(journey.waitGone(EXPORT_TITLE));

    // The auditor's check of that file on the command line.
    const auto checked = journey.command({"dep-pruefen", journey.file("ALLE.JSON")});
    EXPECT_EQ(checked.exit, 0) << checked.out << checked.err;

    // The same in the window "DEP prüfen", the report saved as CSV: the key is the installation's, the registered
    // cards are trusted. "Bericht speichern …" answers only once the check has ended.
    ASSERT_TRUE(journey.waitFor(MAIN_TITLE));
    journey.keys({"alt+r", "p"});
    ASSERT_TRUE(journey.waitFor(CHECK_TITLE));
    journey.keys({"alt+d"});
    journey.type(journey.file("ALLE.JSON"));
    journey.keys({"alt+p"});
    bool asked = false;
    for (int i = 0; i < 50 && !asked; ++i) {
        journey.keys({"alt+b"});
        asked = journey.waitFor("Bericht speichern", 200ms).has_value();
    }
    ASSERT_TRUE(asked);
    journey.type(journey.file("bericht.csv"));
    journey.keys({"Return"});
    ASSERT_TRUE(journey.waitFor("Bericht gespeichert"));
    const auto saved = journey.messageText();
    EXPECT_NE(saved.find("Bericht gespeichert in " + journey.file("bericht.csv")), std::string::npos) << saved;
    journey.keys({"Return"});
    EXPECT_EQ(readFile(journey.file("bericht.csv")),
              "Nr.;Gruppe;Belegnummer;Fehler\r\n;;;" + checked.out.substr(0, checked.out.size() - 1) + "\r\n");
    ASSERT_TRUE(journey.waitFor(CHECK_TITLE));
    EXPECT_TRUE(journey.screenshot(CHECK_TITLE, "journey-dep-pruefen-bericht"));
    journey.keys({"Escape"});
    ASSERT_TRUE(journey.waitGone(CHECK_TITLE));

    EXPECT_EQ(journey.errorLog(), "");
    EXPECT_EQ(journey.quit(), std::optional<int>(0));
}

// Each status receipt as the operator orders it for the second till, chosen in the dialog: the order rules refuse in
// an error box and store nothing; an accepted order stores its receipt.
TEST(RksvMenuJourney, EachStatusReceiptOrderedForTheSecondTill)
{
    testsupport::Journey journey;
    ASSERT_TRUE(journey.ready()) << journey.problem();
    ASSERT_TRUE(journey.start()) << journey.program()->standardError();
    journey.keys({"alt+r", "s"});
    ASSERT_TRUE(journey.waitFor(STATUS_TITLE));
    journey.keys({"alt+k", "Down"}); // till 02

    struct Order
    {
        const char* key;     // the type's mnemonic
        const char* stored;  // RKSV_TYP of the receipt stored, or "" when refused
        const char* refusal; // the error box's text
    };
    const Order orders[] = {
        {"alt+a", "", "Sammelbeleg nur nach Ausfall Sicherheitseinrichtung möglich"},
        {"alt+t", "", "Ein Startbeleg existiert bereits"},
        {"alt+h", "E", ""},
        {"alt+m", "", "Es muss zuerst ein Startbeleg erstellt werden"},
        {"alt+t", "A", ""},
        {"alt+j", "J", ""},
    };
    const std::string tillRows = "SELECT COUNT(*) FROM BONS WHERE KASSA = '02'";
    for (const auto& order : orders) {
        SCOPED_TRACE(order.key);
        const long before = countOf(journey, tillRows);
        journey.keys({order.key, "alt+p"});
        journey.type("123456");
        journey.keys({"alt+e"});
        if (*order.stored != '\0') {
            ASSERT_TRUE(waitForCount(journey, tillRows, before + 1)) << journey.errorLog();
            EXPECT_EQ(
                journey.query("SELECT RKSV_TYP FROM BONS WHERE KASSA = '02' ORDER BY BONID DESC LIMIT 1").at(0).at(0),
                order.stored);
            continue;
        }
        ASSERT_TRUE(journey.waitFor("Fehler"));
        EXPECT_NE(journey.messageText().find(order.refusal), std::string::npos);
        journey.keys({"Return"});
        ASSERT_TRUE(journey.waitGone("Fehler"));
        ASSERT_TRUE(journey.waitFor(STATUS_TITLE));
        EXPECT_EQ(countOf(journey, tillRows), before);
    }
    EXPECT_EQ(journey.errorLog(), "");

    // The till's year, closed and started anew, in one DEP: the regulation knows one start receipt per till, so the
    // check names the new start receipt (and nothing else) as a break of the chain.
    const auto first = journey.query("SELECT MIN(DATUM), MAX(DATUM) FROM BONS WHERE KASSA = '02'").at(0);
    const auto exported = journey.command({"dep-export", "02", first.at(0), first.at(1), journey.file("02.json")});
    ASSERT_EQ(exported.exit, 0) << exported.err;
    const auto checked = journey.command({"dep-pruefen", journey.file("02.json")});
    EXPECT_EQ(checked.exit, 1) << checked.out << checked.err;
    EXPECT_NE(checked.out.find("Verkettung unterbrochen: zweiter Startbeleg der Kassa 02 (mit der Kassen-ID "
                               "verkettet)\n"),
              std::string::npos)
        << checked.out;
    EXPECT_NE(checked.out.find("geprüft: 1 Fehler"), std::string::npos) << checked.out;
}

// A signature card's provider code that FinanzOnline's schema refuses is told at the start, naming the entry, before
// any receipt carries it.
TEST(RksvMenuJourney, AProviderCodeFinanzOnlineRefusesStopsTheStart)
{
    testsupport::Journey journey;
    ASSERT_TRUE(journey.ready()) << journey.problem();
    for (const std::string vda : {"AT0", "AT01", "AT100"}) {
        SCOPED_TRACE(vda);
        auto ini = testsupport::readBytes(journey.file("INSTALLATION.INI"));
        const std::string section = "[Installation]\r\n";
        const auto entry = "Signatur=PKCS11:/usr/lib/softhsm/libsofthsm2.so;token=Kassa 1;vda=" + vda + "\r\n";
        const auto at = ini.find(section) + section.size();
        const auto old = ini.find("Signatur=", at);
        ini =
            old == std::string::npos ? ini.insert(at, entry) : ini.replace(old, ini.find("\r\n", old) + 2 - old, entry);
        testsupport::writeBytes(journey.file("INSTALLATION.INI"), ini);
        journey.launch();
        ASSERT_TRUE(journey.waitFor("Fehler"));
        const auto message = journey.messageText();
        EXPECT_NE(message.find("\"Signatur\" im Abschnitt \"Installation\" nennt den Anbieter \"vda=" + vda + "\""),
                  std::string::npos)
            << message;
        journey.keys({"Return"});
        EXPECT_EQ(journey.program()->wait(10s), std::optional<int>(1));
    }
}

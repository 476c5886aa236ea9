// Help and keys as an operator uses them: the real program started in a fresh demo installation, driven by keys. After
// a window closes, the next key goes on without a click: the window below must have the keyboard again.
#include "tests/support/Journey.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string MAIN_TITLE = "Vexa-Quorvex: FON WebClient";
const std::string HELP_TITLE = "Vexa-Quorvex Hilfe";

struct HelpRow
{
    std::vector<std::string> open; //!< the menu keys that open the window
    std::string title;
    std::string closeHelp; //!< "Escape" or "ctrl+w"
};

} // namespace

// F1 in each window of the menus opens the help window, Esc or Ctrl+W closes it, and Esc then closes the window
// itself: the keyboard came back to it.
TEST(HelpKeysJourney, F1InEveryMenuWindowAndTheKeysComeBack)
{
    testsupport::Journey journey;
    ASSERT_TRUE(journey.ready()) << journey.problem();
    ASSERT_TRUE(journey.start()) << journey.program()->standardError();
    const HelpRow rows[] = {
        {{"alt+r", "s"}, "RKSV Statusbelege", "Escape"},
        {{"alt+r", "e"}, "Datenerfassungsprotokoll exportieren", "ctrl+w"},
        {{"alt+r", "p"}, "DEP prüfen", "Escape"},
        {{"alt+s", "b"}, "Vexa-Quorvex: Über", "ctrl+w"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.title);
        ASSERT_TRUE(journey.waitFor(MAIN_TITLE));
        journey.keys(row.open);
        ASSERT_TRUE(journey.waitFor(row.title));
        journey.keys({"F1"});
        ASSERT_TRUE(journey.waitFor(HELP_TITLE));
        journey.screenshot(HELP_TITLE, "journey-help-" + row.open.back());
        journey.keys({row.closeHelp});
        EXPECT_TRUE(journey.waitGone(HELP_TITLE));
        journey.keys({"Escape"});
        EXPECT_TRUE(journey.waitGone(row.title));
    }
    // The main window's own help, closed the same way.
    ASSERT_TRUE(journey.waitFor(MAIN_TITLE));
    journey.keys({"F1"});
    ASSERT_TRUE(journey.waitFor(HELP_TITLE));
    journey.keys({"Escape"});
    EXPECT_TRUE(journey.waitGone(HELP_TITLE));
    EXPECT_EQ(journey.errorLog(), "");
    EXPECT_EQ(journey.quit(), std::optional<int>(0));
}

// Einstellungen, a change, Abbruch, "Nein": nothing is saved, and F1 right after works in the main window.
TEST(HelpKeysJourney, TheMainWindowHasTheKeysAfterTheSettingsAreCancelled)
{
    testsupport::Journey journey;
    ASSERT_TRUE(journey.ready()) << journey.problem();
    ASSERT_TRUE(journey.start()) << journey.program()->standardError();
    journey.keys({"alt+b", "e"});
    ASSERT_TRUE(journey.waitFor("Vexa-Quorvex: Einstellungen"));
    journey.keys({"alt+b"}); // "Benutzer-Identifikation"
    journey.type("X");
    journey.keys({"alt+a"}); // "Abbruch"
    std::this_thread::sleep_for(500ms);
    const auto question = journey.messageText();
    EXPECT_NE(question.find("Daten noch nicht gespeichert - speichern?"), std::string::npos) << question;
    journey.keys({"alt+n"});
    ASSERT_TRUE(journey.waitGone("Vexa-Quorvex: Einstellungen"));
    journey.keys({"F1"});
    EXPECT_TRUE(journey.waitFor(HELP_TITLE)) << "the main window did not get the key";
    journey.keys({"Escape"});
    EXPECT_TRUE(journey.waitGone(HELP_TITLE));
    EXPECT_EQ(journey.quit(), std::optional<int>(0));
}

namespace {

// Chooses operation `n` of the main window's list by keys: Alt+U reaches the list (the operation last chosen), the
// arrow keys the operation and the space bar chooses it; its form then takes the cursor.
void chooseOperation(const testsupport::Journey& journey, int n)
{
    journey.keys({"alt+u"});
    for (int i = 1; i < 11; ++i) {
        journey.keys({"Up"});
    }
    for (int i = 1; i < n; ++i) {
        journey.keys({"Down"});
    }
    journey.keys({"space"});
}

} // namespace

// "Außerbetriebnahme Registrierkasse" with Enter in a field: asked once, Enter again keeps the default "Nein" and
// sends nothing; "Ja" sends it. A sending that hangs ends with Esc.
TEST(HelpKeysJourney, TakingATillOutOfServiceIsAskedAndEscCancelsASending)
{
    testsupport::Journey journey;
    ASSERT_TRUE(journey.ready()) << journey.problem();
    ASSERT_TRUE(journey.start()) << journey.program()->standardError();
    chooseOperation(journey, 8);
    journey.type("Demo");
    journey.keys({"Tab"});
    journey.type("DEMO-KASSE-01");
    journey.screenshot(MAIN_TITLE, "journey-ausserbetriebnahme-form");
    const auto before = journey.service().requests().size();
    journey.keys({"Return"});
    std::this_thread::sleep_for(500ms);
    const auto question = journey.messageText();
    EXPECT_NE(question.find("Registrierkasse DEMO-KASSE-01 wirklich außer Betrieb nehmen?"), std::string::npos)
        << question;
    journey.keys({"Return"}); // "Nein"
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(journey.service().requests().size(), before);
    journey.screenshot(MAIN_TITLE, "journey-ausserbetriebnahme-nein");

    journey.keys({"Return"});
    std::this_thread::sleep_for(500ms);
    journey.keys({"alt+j"});
    for (int i = 0; i < 100 && journey.service().requests().size() < before + 3; ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(journey.service().requests().size(), before + 3) << "login, the notification, logout";
    journey.screenshot(MAIN_TITLE, "journey-ausserbetriebnahme-ja");

    // FinanzOnline silent: Esc ends the sending, and the result box gives its text to the clipboard.
    journey.service().setMode("late 60");
    chooseOperation(journey, 7);
    journey.keys({"alt+d"});
    std::this_thread::sleep_for(1s);
    journey.screenshot(MAIN_TITLE, "journey-sending");
    journey.keys({"Escape"});
    std::this_thread::sleep_for(2s);
    journey.screenshot(MAIN_TITLE, "journey-cancelled");
    journey.keys({"ctrl+a"});
    const auto result = journey.messageText();
    EXPECT_NE(result.find("(-1) Die Sendung wurde abgebrochen."), std::string::npos) << result;
    EXPECT_EQ(journey.quit(), std::optional<int>(0));
}

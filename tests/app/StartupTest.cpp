// The real program started under a private Xvfb, driven from outside as a user's desktop would.
#include "base/WindowList.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "tests/support/X11Session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::waitForWindow;

namespace {

const std::string MAIN_TITLE = "Vexa-Quorvex: FON WebClient";

class StartupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (xvfb.display().empty()) {
            GTEST_SKIP() << "Xvfb could not be started";
        }
    }

    std::vector<std::string> env() const { return {"DISPLAY=" + xvfb.display(), "QT_QPA_PLATFORM", "LC_ALL=C.UTF-8"}; }

    std::unique_ptr<Process> startProgram() const
    {
        return std::make_unique<Process>(std::vector<std::string>{test_paths::PROGRAM}, env(), dir.path());
    }

    std::unique_ptr<Process> otherProgramsWindow(const std::string& title, bool wmNameOnly = false) const
    {
        std::vector<std::string> argv{test_paths::TITLE_WINDOW_TOOL, title};
        if (wmNameOnly) {
            argv.emplace_back("--wm-name");
        }
        auto other = std::make_unique<Process>(argv, env());
        EXPECT_TRUE(waitForWindow(
            xvfb.display(), [&](const std::string& t) { return t == title; }, 10s));
        return other;
    }

    // Closes the window as a user would and returns the program's exit code. A window that has just been mapped
    // may not take the request yet, so it is repeated, as a user clicks again.
    std::optional<int> closeAndWait(Process& program, unsigned window) const
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            testsupport::closeWindow(xvfb.display(), window);
            if (const auto code = program.wait(200ms)) {
                return code;
            }
        }
        return std::nullopt;
    }

    // Without login data the main window says so in a box over itself; the user closes it.
    void dismissLoginNotice(Process& program) const
    {
        const auto notice = waitForWindow(
            xvfb.display(), [](const std::string& t) { return t == "FON WebClient"; }, 20s);
        ASSERT_TRUE(notice) << program.standardError();
        for (int attempt = 0; attempt < 100 && !testsupport::listWindows(xvfb.display()).empty(); ++attempt) {
            bool open = false;
            for (const auto& w : testsupport::listWindows(xvfb.display())) {
                open = open || w.title == "FON WebClient";
            }
            if (!open) {
                return;
            }
            testsupport::closeWindow(xvfb.display(), notice->id);
            std::this_thread::sleep_for(100ms);
        }
    }

    bool mainWindowShown() const
    {
        for (const auto& w : testsupport::listWindows(xvfb.display())) {
            if (w.title.starts_with(MAIN_TITLE)) {
                return true;
            }
        }
        return false;
    }

    testsupport::Xvfb xvfb;
    testsupport::TempDir dir;
};

TEST_F(StartupTest, AnotherWindowTitledLikeTheProgramInAnyCaseBlocksTheStart)
{
    const auto other = otherProgramsWindow("vexa-QUORVEX Kasse 2");
    const auto program = startProgram();
    const auto box = waitForWindow(
        xvfb.display(), [](const std::string& t) { return t == "Vexa-Quorvex"; }, 20s);
    ASSERT_TRUE(box) << "the message box \"Das Programm läuft bereits\"; stderr: " << program->standardError();
    EXPECT_FALSE(mainWindowShown());
    std::this_thread::sleep_for(300ms); // let it paint before the picture is taken
    EXPECT_TRUE(testsupport::saveWindowPng(xvfb.display(), box->id, "startup-already-running"));
    EXPECT_EQ(closeAndWait(*program, box->id), std::optional<int>(1));
    EXPECT_FALSE(mainWindowShown());
}

// The titles are asked for all at once; a window with only the older WM_NAME keeps its place among them.
TEST_F(StartupTest, TheWindowListReadsEitherNameOfEachWindow)
{
    const std::vector<std::string> expected{"Kasse 1", "Kasse 2 (nur WM_NAME)", "Kasse 3"};
    std::vector<std::unique_ptr<Process>> others;
    for (const auto& title : expected) {
        others.push_back(otherProgramsWindow(title, title.ends_with("(nur WM_NAME)")));
    }
    ::setenv("DISPLAY", xvfb.display().c_str(), 1);
    const auto titles = base::topLevelWindowTitles();
    for (const auto& title : expected) {
        EXPECT_NE(std::find(titles.begin(), titles.end(), title), titles.end()) << title;
    }
}

TEST_F(StartupTest, AShorterTitleDoesNotBlockAndClosingTheWindowEndsTheProgram)
{
    const auto other = otherProgramsWindow("Vexa-Quorve");
    const auto program = startProgram();
    const auto window = waitForWindow(
        xvfb.display(), [](const std::string& t) { return t.starts_with(MAIN_TITLE); }, 20s);
    ASSERT_TRUE(window) << program->standardError();
    EXPECT_EQ(window->title, MAIN_TITLE + " (Testübertragung)") << "without installation file: one test company";
    // These libraries are opened when the program first talks to FinanzOnline or signs, not at start.
    std::ifstream maps("/proc/" + std::to_string(program->pid()) + "/maps");
    const std::string mapped((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(mapped.empty());
    for (const char* library : {"libcurl", "libcrypto"}) {
        EXPECT_EQ(mapped.find(library), std::string::npos) << library;
    }
    dismissLoginNotice(*program);
    EXPECT_EQ(closeAndWait(*program, window->id), std::optional<int>(0));
}

TEST_F(StartupTest, TheInstallationFileDecidesTheCaption)
{
    testsupport::writeBytes(dir.file("Installation.ini"),
                            "[Firma1]\r\nName=B\xE4"
                            "ckerei\r\nNummer=01\r\nTest=N\r\n");
    const auto program = startProgram();
    const auto window = waitForWindow(
        xvfb.display(), [](const std::string& t) { return t.starts_with(MAIN_TITLE); }, 20s);
    ASSERT_TRUE(window) << program->standardError();
    EXPECT_EQ(window->title, MAIN_TITLE + " (Produktivübertragung)");
    dismissLoginNotice(*program);
    EXPECT_EQ(closeAndWait(*program, window->id), std::optional<int>(0));
}

TEST_F(StartupTest, AnUnusableInstallationFileStopsTheStartWithAnErrorBox)
{
    testsupport::writeBytes(dir.file("INSTALLATION.INI"), "[Installation]\r\nProdukt=PLUMOXA\r\n");
    const auto program = startProgram();
    const auto box = waitForWindow(
        xvfb.display(), [](const std::string& t) { return t == "Fehler"; }, 20s);
    ASSERT_TRUE(box) << program->standardError();
    EXPECT_FALSE(mainWindowShown());
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(testsupport::saveWindowPng(xvfb.display(), box->id, "startup-unusable-installation"));
    EXPECT_EQ(closeAndWait(*program, box->id), std::optional<int>(1));
}

// A bare X server (a kiosk, xinit) resets when its last client leaves and refuses connections while it does. The
// program is the server's only client here: nothing connects before it, and the window is looked for only once the
// program has been running for a while; between starts the server resets.
TEST_F(StartupTest, AsTheDisplaysOnlyClientItStartsEveryTime)
{
    constexpr int STARTS = 30;
    for (int start = 0; start < STARTS; ++start) {
        auto program = startProgram();
        const auto early = program->wait(1500ms);
        ASSERT_FALSE(early) << "start " << start << " ended with " << *early << ": " << program->standardError();
        const auto window = waitForWindow(
            xvfb.display(), [](const std::string& t) { return t.starts_with(MAIN_TITLE); }, 20s);
        ASSERT_TRUE(window) << "start " << start;
        ASSERT_EQ(::kill(program->pid(), SIGTERM), 0);
        EXPECT_EQ(program->wait(10s), std::optional<int>(-SIGTERM)) << "start " << start;
        program.reset();
        std::this_thread::sleep_for(50ms); // the server resets without clients
    }
}

TEST_F(StartupTest, WithoutAnyDisplayItSaysSoInOneLine)
{
    Process program({test_paths::PROGRAM}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}, dir.path());
    EXPECT_EQ(program.wait(20s), std::optional<int>(2));
    const auto err = program.standardError();
    EXPECT_NE(err.find("DISPLAY"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

    Process unreachable({test_paths::PROGRAM}, {"DISPLAY=:9999", "QT_QPA_PLATFORM"}, dir.path());
    EXPECT_EQ(unreachable.wait(20s), std::optional<int>(2));
    EXPECT_NE(unreachable.standardError().find(":9999"), std::string::npos);
}

} // namespace

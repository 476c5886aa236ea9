#include "tests/support/Journey.h"

#include "tests/support/Databases.h"
#include "tests/support/TestPaths.h"

#include <thread>
#include <xcb/xcb.h>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

const std::string MAIN_TITLE = "Vexa-Quorvex: FON WebClient";

// Runs a helper program to its end and gives its exit code (-1 when it did not end in time).
int runTool(const std::vector<std::string>& argv,
            const std::vector<std::string>& env,
            std::string* out = nullptr,
            std::chrono::milliseconds timeout = 30s)
{
    Process tool(argv, env);
    const auto exit = tool.wait(timeout);
    if (out) {
        *out = tool.standardOutput();
    }
    return exit.value_or(-1);
}

} // namespace

Journey::Journey(int receipts)
{
    m_service =
        std::make_unique<FonTestService>(std::vector<FonAccount>{{"123456789012", "WEBUSER01", "geheim123", ""}});
    if (!m_service->running()) {
        m_problem = "Der lokale FinanzOnline-Testdienst ist nicht gestartet.";
        return;
    }
    Process install({"bash",
                     std::string(test_paths::SOURCE_DIR) + "/tools/demo-install.sh",
                     "--receipts",
                     std::to_string(receipts),
                     test_paths::BUILD_DIR,
                     m_dir.path(),
                     m_service->connectTo(),
                     m_service->caFile()},
                    {});
    if (install.wait(5min) != std::optional<int>(0)) {
        m_problem = "tools/demo-install.sh ist gescheitert: " + install.standardError();
        return;
    }
    m_database = sqliteConnectionString(m_dir.file("kassa.db"));
    if (m_xvfb.display().empty()) {
        m_problem = "Xvfb ist nicht gestartet.";
        return;
    }
    xcb_connection_t* hold = xcb_connect(m_xvfb.display().c_str(), nullptr);
    if (xcb_connection_has_error(hold)) {
        xcb_disconnect(hold);
        m_problem = "Keine Verbindung zu Xvfb " + m_xvfb.display();
        return;
    }
    m_displayHold = std::shared_ptr<void>(hold, [](void* c) { xcb_disconnect(static_cast<xcb_connection_t*>(c)); });
}

Journey::~Journey()
{
    if (m_program && m_program->running()) {
        static_cast<void>(quit());
    }
}

std::vector<std::string> Journey::environment() const
{
    return {"DISPLAY=" + m_xvfb.display(), "QT_QPA_PLATFORM", "LC_ALL=C.UTF-8", "LANG=de_AT.UTF-8"};
}

CommandOutcome Journey::command(const std::vector<std::string>& args, std::chrono::seconds timeout) const
{
    std::vector<std::string> argv{test_paths::RKSV_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    Process process(argv, {"DISPLAY", "LC_ALL=C.UTF-8"}, m_dir.path());
    const auto exit = process.wait(timeout);
    return {exit.value_or(-1), process.standardOutput(), process.standardError()};
}

void Journey::launch()
{
    m_program = std::make_unique<Process>(std::vector<std::string>{test_paths::PROGRAM}, environment(), m_dir.path());
}

bool Journey::start()
{
    launch();
    const auto window = waitFor(MAIN_TITLE, 30s);
    if (!window) {
        return false;
    }
    m_mainWindow = window->id;
    // The first keys go to the main window: without a window manager the focus follows the pointer's window.
    runTool({"xdotool", "mousemove", "--window", std::to_string(m_mainWindow), "40", "40"}, environment());
    runTool({"xdotool", "windowfocus", "--sync", std::to_string(m_mainWindow)}, environment(), nullptr, 3s);
    return true;
}

void Journey::keys(const std::vector<std::string>& keys) const
{
    for (const auto& key : keys) {
        // One key at a time with a pause, as a person types: each may open a window that the next one is meant for.
        runTool({"xdotool", "key", "--clearmodifiers", key}, environment());
        std::this_thread::sleep_for(150ms);
    }
}

void Journey::type(const std::string& text) const
{
    runTool({"xdotool", "type", "--delay", "20", text}, environment());
    std::this_thread::sleep_for(100ms);
}

std::optional<XWindow> Journey::waitFor(const std::string& title, std::chrono::milliseconds timeout) const
{
    const auto window = waitForWindow(
        m_xvfb.display(), [&](const std::string& shown) { return shown.find(title) != std::string::npos; }, timeout);
    if (window) {
        // A window just mapped takes keys once it has the focus; without a window manager that is the pointer's.
        runTool({"xdotool", "mousemove", "--window", std::to_string(window->id), "5", "5"}, environment());
        runTool({"xdotool", "windowfocus", "--sync", std::to_string(window->id)}, environment(), nullptr, 3s);
        std::this_thread::sleep_for(200ms);
    }
    return window;
}

bool Journey::waitGone(const std::string& title, std::chrono::milliseconds timeout) const
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        bool shown = false;
        for (const auto& window : listWindows(m_xvfb.display())) {
            shown = shown || window.title.find(title) != std::string::npos;
        }
        if (!shown) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string Journey::messageText() const
{
    keys({"ctrl+c"});
    std::string text;
    // Qt offers the text as UTF8_STRING only.
    runTool({"xclip", "-o", "-selection", "clipboard", "-t", "UTF8_STRING"}, environment(), &text, 5s);
    return text;
}

bool Journey::screenshot(const std::string& title, const std::string& name) const
{
    const auto window = waitForWindow(
        m_xvfb.display(), [&](const std::string& shown) { return shown.find(title) != std::string::npos; }, 5s);
    return window && saveWindowPng(m_xvfb.display(), window->id, name);
}

std::optional<int> Journey::quit()
{
    for (int attempt = 0; attempt < 50 && m_program; ++attempt) {
        closeWindow(m_xvfb.display(), m_mainWindow);
        if (const auto code = m_program->wait(200ms)) {
            return code;
        }
    }
    return std::nullopt;
}

std::vector<std::vector<std::string>> Journey::query(const std::string& sql) const
{
    return querySql(m_database, sql);
}

std::string Journey::errorLog() const
{
    return readBytes(m_dir.file("ERROR.LOG"));
}

} // namespace testsupport

#pragma once

#include "tests/support/Process.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

//! A private Xvfb server for the lifetime of the object, on a display number it picks itself.
class Xvfb
{
public:
    Xvfb();
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    //! ":<n>", or "" when the server could not be started.
    const std::string& display() const { return m_display; }

private:
    std::unique_ptr<Process> m_server;
    std::string m_display;
};

//! A top-level window of a display and its title.
struct XWindow
{
    unsigned id = 0;
    std::string title;
};

//! Top-level windows of the display (children of the root; the test displays run no window manager).
std::vector<XWindow> listWindows(const std::string& display);

//! Waits until a top-level window whose title satisfies `match` is mapped; nothing after `timeout`.
std::optional<XWindow> waitForWindow(const std::string& display,
                                     const std::function<bool(const std::string&)>& match,
                                     std::chrono::milliseconds timeout);

//! Asks a window to close as a window manager does (WM_DELETE_WINDOW).
void closeWindow(const std::string& display, unsigned window);

} // namespace testsupport

namespace testsupport {

//! Saves what the X server shows of a window as a PNG under the build's screenshot folder; false when it cannot.
bool saveWindowPng(const std::string& display, unsigned window, const std::string& name);

} // namespace testsupport

#pragma once

#include <string>
#include <vector>

namespace base {

//! Titles (UTF-8) of the top-level windows of the X display named by DISPLAY: the window manager's client list
//! where there is one, else the children of each root window (a bare Xvfb has no window manager). Each title is
//! _NET_WM_NAME, else WM_NAME. No display: no windows.
std::vector<std::string> topLevelWindowTitles();

//! True when an X display can be reached; otherwise `why` says in one German line what is missing. The connection
//! stays open until releaseDisplayCheck(), and topLevelWindowTitles() on the same display uses it instead of making
//! one of its own: a bare X server (Xvfb, a kiosk, xinit) resets when its last client leaves and refuses the next
//! connection while it does, so the check's connection may close only once the application has connected.
[[nodiscard]] bool xDisplayReachable(std::string& why);

//! Closes the connection of the last xDisplayReachable().
void releaseDisplayCheck();

} // namespace base

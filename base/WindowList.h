#pragma once

#include <string>
#include <vector>

namespace base {

//! Titles (UTF-8) of the top-level windows of the X display named by DISPLAY: the window manager's client list
//! where there is one, else the children of each root window (a bare Xvfb has no window manager). Each title is
//! _NET_WM_NAME, else WM_NAME. No display: no windows.
std::vector<std::string> topLevelWindowTitles();

//! True when an X display can be reached; otherwise `why` says in one German line what is missing. The connection
//! is kept for the next topLevelWindowTitles() on the same display, which then makes none of its own.
[[nodiscard]] bool xDisplayReachable(std::string& why);

} // namespace base

#include "base/WindowList.h"

#include "base/Cp1252.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb.h>

namespace base {
namespace {

struct ConnectionCloser
{
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

template <class T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

//! The atoms of the names, asked for together: one round trip to the server instead of one per name.
template <std::size_t N> std::array<xcb_atom_t, N> atoms(xcb_connection_t* c, const std::array<const char*, N>& names)
{
    std::array<xcb_intern_atom_cookie_t, N> cookies{};
    for (std::size_t i = 0; i < N; ++i) {
        cookies[i] = xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(names[i])), names[i]);
    }
    std::array<xcb_atom_t, N> result{};
    for (std::size_t i = 0; i < N; ++i) {
        Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr), &std::free);
        result[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
    return result;
}

Reply<xcb_get_property_reply_t> property(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type)
{
    return {xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, type, 0, 1 << 16), nullptr), &std::free};
}

std::string textOf(const xcb_get_property_reply_t* reply)
{
    if (!reply || reply->format != 8) {
        return {};
    }
    return {static_cast<const char*>(xcb_get_property_value(reply)),
            static_cast<std::size_t>(xcb_get_property_value_length(reply))};
}

//! The text property `prop` of each window, all asked for before the first answer is read.
std::vector<std::string>
texts(xcb_connection_t* c, const std::vector<xcb_window_t>& windows, xcb_atom_t prop, xcb_atom_t type)
{
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(windows.size());
    for (const auto w : windows) {
        cookies.push_back(xcb_get_property(c, 0, w, prop, type, 0, 1 << 16));
    }
    std::vector<std::string> result;
    result.reserve(windows.size());
    for (const auto& cookie : cookies) {
        const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, nullptr), &std::free);
        result.push_back(textOf(reply.get()));
    }
    return result;
}

//! The windows' titles: _NET_WM_NAME, or WM_NAME where that is empty.
std::vector<std::string>
titlesOf(xcb_connection_t* c, const std::vector<xcb_window_t>& windows, xcb_atom_t netWmName, xcb_atom_t utf8String)
{
    std::vector<std::string> titles(windows.size());
    if (netWmName != XCB_ATOM_NONE && utf8String != XCB_ATOM_NONE) {
        titles = texts(c, windows, netWmName, utf8String);
    }
    std::vector<xcb_window_t> untitled;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        if (titles[i].empty()) {
            untitled.push_back(windows[i]);
        }
    }
    // WM_NAME is Latin-1 text; Windows-1252 reads it the same but for the rarely used C1 range.
    const auto names = texts(c, untitled, XCB_ATOM_WM_NAME, XCB_ATOM_ANY);
    for (std::size_t i = 0, next = 0; i < windows.size(); ++i) {
        if (titles[i].empty()) {
            titles[i] = cp1252ToUtf8(names[next++]);
        }
    }
    return titles;
}

std::vector<xcb_window_t> topLevelWindows(xcb_connection_t* c, xcb_window_t root, xcb_atom_t clientList)
{
    std::vector<xcb_window_t> windows;
    if (clientList != XCB_ATOM_NONE) {
        const auto reply = property(c, root, clientList, XCB_ATOM_WINDOW);
        if (reply && reply->format == 32 && xcb_get_property_value_length(reply.get()) > 0) {
            const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
            windows.assign(ids, ids + xcb_get_property_value_length(reply.get()) / 4);
            return windows;
        }
    }
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr), &std::free);
    if (tree) {
        const auto* children = xcb_query_tree_children(tree.get());
        windows.assign(children, children + xcb_query_tree_children_length(tree.get()));
    }
    return windows;
}

//! The connection of the last successful reachability check and its display, open until the application has its
//! own. The single-instance check uses it instead of making a second one.
struct KeptConnection
{
    std::string display;
    Connection connection;
};

KeptConnection& kept()
{
    static KeptConnection connection;
    return connection;
}

} // namespace

std::vector<std::string> topLevelWindowTitles()
{
    std::vector<std::string> titles;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        return titles;
    }
    Connection own;
    xcb_connection_t* c = kept().connection && kept().display == display ? kept().connection.get() : nullptr;
    if (!c) {
        own.reset(xcb_connect(display, nullptr));
        c = own.get();
    }
    if (xcb_connection_has_error(c)) {
        return titles;
    }
    const auto [netWmName, utf8String, clientList] = atoms<3>(c, {"_NET_WM_NAME", "UTF8_STRING", "_NET_CLIENT_LIST"});
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem > 0; xcb_screen_next(&it)) {
        for (auto& title : titlesOf(c, topLevelWindows(c, it.data->root, clientList), netWmName, utf8String)) {
            titles.push_back(std::move(title));
        }
    }
    return titles;
}

bool xDisplayReachable(std::string& why)
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        why = "Keine grafische Anzeige: DISPLAY ist nicht gesetzt (das Programm braucht eine X-Anzeige, z. B. Xvfb).";
        return false;
    }
    Connection c(xcb_connect(display, nullptr));
    if (xcb_connection_has_error(c.get())) {
        why = std::string("Keine grafische Anzeige: die X-Anzeige \"") + display + "\" ist nicht erreichbar.";
        return false;
    }
    kept() = {display, std::move(c)};
    return true;
}

void releaseDisplayCheck()
{
    kept() = {};
}

} // namespace base

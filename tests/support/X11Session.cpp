#include "tests/support/X11Session.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <xcb/xcb.h>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

struct Disconnect
{
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

Connection connect(const std::string& display)
{
    Connection c(xcb_connect(display.c_str(), nullptr));
    if (xcb_connection_has_error(c.get())) {
        return nullptr;
    }
    return c;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    auto* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return a;
}

std::string stringProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type)
{
    auto* reply = xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, type, 0, 4096), nullptr);
    std::string text;
    if (reply && reply->format == 8) {
        text.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                    static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    }
    std::free(reply);
    return text;
}

std::vector<XWindow> mappedWindows(xcb_connection_t* c)
{
    std::vector<XWindow> windows;
    const auto netWmName = atom(c, "_NET_WM_NAME");
    const auto utf8 = atom(c, "UTF8_STRING");
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    auto* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    if (!tree) {
        return windows;
    }
    const auto* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
        auto* attrs = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr);
        const bool viewable = attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(attrs);
        if (!viewable) {
            continue;
        }
        auto title = stringProperty(c, children[i], netWmName, utf8);
        if (title.empty()) {
            title = stringProperty(c, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_ANY);
        }
        windows.push_back({children[i], title});
    }
    std::free(tree);
    return windows;
}

} // namespace

Xvfb::Xvfb()
{
    // The server writes its display number to the pipe's write end, the only end it inherits.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    ::fcntl(fds[1], F_SETFD, 0);
    m_server = std::make_unique<Process>(Process::Options{
        .argv = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-screen", "0", "1280x1024x24"},
        .output = Process::Output::Discarded});
    ::close(fds[1]);
    std::string number;
    pollfd pfd{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&pfd, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    ::close(fds[0]);
    if (!number.empty()) {
        m_display = ":" + number;
    }
}

Xvfb::~Xvfb()
{
    if (m_server) {
        m_server->terminate(10s);
    }
}

std::vector<XWindow> listWindows(const std::string& display)
{
    auto c = connect(display);
    return c ? mappedWindows(c.get()) : std::vector<XWindow>{};
}

std::optional<XWindow> waitForWindow(const std::string& display,
                                     const std::function<bool(const std::string&)>& match,
                                     std::chrono::milliseconds timeout)
{
    auto c = connect(display);
    if (!c) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        for (const auto& w : mappedWindows(c.get())) {
            if (match(w.title)) {
                return w;
            }
        }
        std::this_thread::sleep_for(2ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

void closeWindow(const std::string& display, unsigned window)
{
    auto c = connect(display);
    if (!c) {
        return;
    }
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom(c.get(), "WM_PROTOCOLS");
    event.data.data32[0] = atom(c.get(), "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c.get(), 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(c.get());
}

} // namespace testsupport

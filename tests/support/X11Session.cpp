#include "tests/support/X11Session.h"

#include "tests/support/TempDir.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <xcb/xcb.h>

extern char** environ;

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
    int fds[2];
    if (::pipe(fds) != 0) {
        return;
    }
    const std::string fdText = std::to_string(fds[1]);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(fds[0]);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDERR_FILENO);
        ::dup2(devnull, STDOUT_FILENO);
        ::execlp("Xvfb",
                 "Xvfb",
                 "-displayfd",
                 fdText.c_str(),
                 "-nolisten",
                 "tcp",
                 "-screen",
                 "0",
                 "1280x1024x24",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
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
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
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

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& dir)
{
    char stderrTemplate[] = "/tmp/quorvex-stderr-XXXXXX";
    const int errFd = ::mkstemp(stderrTemplate);
    m_stderrPath = stderrTemplate;
    char stdoutTemplate[] = "/tmp/quorvex-stdout-XXXXXX";
    const int outFd = ::mkstemp(stdoutTemplate);
    m_stdoutPath = stdoutTemplate;
    m_pid = ::fork();
    if (m_pid == 0) {
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
            ::_exit(126);
        }
        ::dup2(errFd, STDERR_FILENO);
        ::dup2(outFd, STDOUT_FILENO);
        for (const auto& assignment : env) {
            const auto eq = assignment.find('=');
            if (eq == std::string::npos) {
                ::unsetenv(assignment.c_str());
            } else {
                ::setenv(assignment.substr(0, eq).c_str(), assignment.substr(eq + 1).c_str(), 1);
            }
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(errFd);
    ::close(outFd);
}

Process::~Process()
{
    if (running()) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::unlink(m_stderrPath.c_str());
    ::unlink(m_stdoutPath.c_str());
}

bool Process::running()
{
    return !wait(0ms).has_value();
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout)
{
    if (m_exit || m_pid <= 0) {
        return m_exit;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            return m_exit;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(2ms);
    }
}

std::string Process::standardError() const
{
    return readBytes(m_stderrPath);
}

std::string Process::standardOutput() const
{
    return readBytes(m_stdoutPath);
}

} // namespace testsupport

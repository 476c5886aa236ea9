#include "tests/support/ChildWrite.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {
namespace {

// Runs `work` in a child, passing its text back through a pipe. `work` gives nothing when the child cannot do it
// (exit code 77). A child that has not closed the pipe after `bound` is killed: "hangs".
ChildWrite inChild(const std::function<std::optional<std::string>()>& work,
                   std::chrono::milliseconds bound = std::chrono::hours(1))
{
    int ends[2];
    if (::pipe(ends) != 0) {
        return {"no pipe", {}};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        const auto text = work();
        if (!text) {
            ::_exit(77);
        }
        std::size_t done = 0;
        while (done < text->size()) {
            const auto n = ::write(ends[1], text->data() + done, text->size() - done);
            if (n <= 0) {
                ::_exit(2);
            }
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(ends[1]);
    ChildWrite result;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + bound;
    bool hangs = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{ends[0], POLLIN, 0};
        const int polled = left.count() <= 0 ? 0 : ::poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled == 0) {
            hangs = true;
            break;
        }
        const auto n = ::read(ends[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(ends[0]);
    if (hangs && child > 0) {
        ::kill(child, SIGKILL);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) {
        return {"no child", {}};
    }
    if (hangs) {
        return {"hangs", std::move(result.text)};
    }
    result.ended = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                     : "signal " + std::to_string(WTERMSIG(status));
    return result;
}

} // namespace

ChildWrite writeInChildPastSizeLimit(const std::function<std::string()>& write, long limit)
{
    return inChild([&]() -> std::optional<std::string> {
        ::signal(SIGXFSZ, SIG_DFL);
        rlimit current{};
        ::getrlimit(RLIMIT_FSIZE, &current);
        const rlimit small{static_cast<rlim_t>(limit), current.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &small);
        return write();
    });
}

std::optional<ChildWrite> writeInChildOnFullDisk(const std::string& folder,
                                                 const std::function<void()>& prepare,
                                                 const std::function<std::string()>& write)
{
    auto result = inChild([&]() -> std::optional<std::string> {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
            return std::nullopt;
        }
        prepare();
        // Fills what is left.
        const int fill = ::open((folder + "/.voll").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const std::string block(4096, 'x');
        while (fill >= 0 && ::write(fill, block.data(), block.size()) > 0) {
        }
        while (fill >= 0 && ::write(fill, block.data(), 1) > 0) {
        }
        return write();
    });
    if (result.ended == "exit 77") {
        return std::nullopt;
    }
    return result;
}

std::optional<ChildWrite> runInChildWithin(std::chrono::seconds bound, const std::function<std::string()>& work)
{
    auto result = inChild([&]() -> std::optional<std::string> { return work(); }, bound);
    if (result.ended == "hangs") {
        return std::nullopt;
    }
    return result;
}

} // namespace testsupport

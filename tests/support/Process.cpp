#include "tests/support/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {
namespace {

using namespace std::chrono_literals;

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> result;
    for (auto& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// The test's environment with `changes` applied: "NAME=value" sets, "NAME" removes.
std::vector<std::string> environmentWith(const std::vector<std::string>& changes)
{
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        environment.emplace_back(*entry);
    }
    for (const auto& change : changes) {
        const std::string prefix = change.substr(0, change.find('=')) + "=";
        std::erase_if(environment, [&](const std::string& entry) { return entry.starts_with(prefix); });
        if (change.size() >= prefix.size()) {
            environment.push_back(change);
        }
    }
    return environment;
}

int openOrThrow(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot write " + path);
    }
    return fd;
}

int temporaryFile(const char* stem, std::string& path)
{
    path = std::string("/tmp/quorvex-") + stem + "-XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    return fd;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

Process::Process(Options options)
{
    std::vector<char*> argv = pointers(options.argv);
    std::vector<std::string> environment = environmentWith(options.env);
    std::vector<char*> envp = pointers(environment);
    int out = -1;
    int err = -1;
    switch (options.output) {
    case Output::Kept:
        out = temporaryFile("stdout", m_stdoutPath);
        err = temporaryFile("stderr", m_stderrPath);
        break;
    case Output::Appended:
        out = err = openOrThrow(options.logFile, O_CREAT | O_APPEND);
        break;
    case Output::Discarded:
        out = err = openOrThrow("/dev/null", 0);
        break;
    case Output::ErrorsShown:
        out = openOrThrow("/dev/null", 0);
        break;
    }
    sigset_t noSignals;
    sigemptyset(&noSignals);
    const pid_t parent = ::getpid();
    const char* dir = options.workingDir.empty() ? nullptr : options.workingDir.c_str();

    m_pid = ::fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls until exec.
        if (options.endsWithParent) {
            // The signal comes when the thread that forked ends; a parent gone before prctl() is noticed here.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) {
                ::_exit(127);
            }
        }
        if (dir && ::chdir(dir) != 0) {
            ::_exit(126);
        }
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
        }
        if (err >= 0) {
            ::dup2(err, STDERR_FILENO);
        }
        ::signal(SIGPIPE, SIG_DFL);
        ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (m_pid < 0) {
        m_exit = 127;
    }
    if (err >= 0 && err != out) {
        ::close(err);
    }
    if (out >= 0) {
        ::close(out);
    }
}

Process::Process(const std::vector<std::string>& argv,
                 const std::vector<std::string>& env,
                 const std::string& workingDir)
    : Process(Options{.argv = argv, .env = env, .workingDir = workingDir})
{}

Process::~Process()
{
    if (!m_exit) {
        ::kill(m_pid, SIGKILL);
        reap(true);
    }
    for (const auto* path : {&m_stderrPath, &m_stdoutPath}) {
        if (!path->empty()) {
            ::unlink(path->c_str());
        }
    }
}

bool Process::reap(bool block)
{
    if (m_exit) {
        return true;
    }
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(m_pid, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (done == 0) {
        return false;
    }
    // A child someone else has reaped (done < 0) counts as ended by an unknown signal.
    m_exit = done < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return true;
}

bool Process::running() const
{
    if (m_exit) {
        return false;
    }
    // WNOWAIT leaves an ended child to wait(); si_pid stays 0 while it runs.
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reap(false)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(2ms);
    }
    return m_exit;
}

int Process::terminate(std::chrono::milliseconds grace)
{
    if (!m_exit) {
        ::kill(m_pid, SIGTERM);
        if (!wait(grace)) {
            ::kill(m_pid, SIGKILL);
            reap(true);
        }
    }
    return *m_exit;
}

std::string Process::standardError() const
{
    return readAll(m_stderrPath);
}

std::string Process::standardOutput() const
{
    return readAll(m_stdoutPath);
}

} // namespace testsupport

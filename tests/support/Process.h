#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

/**
 * A program run in a child process. Everything the child needs (arguments, environment, output files) is made before
 * fork(), so only async-signal-safe calls run between fork() and exec. The child starts as from a shell: SIGPIPE at
 * its default and no signal blocked; it inherits every descriptor without close-on-exec. A process still running at
 * destruction is killed (SIGKILL) and waited for.
 *
 * An exit is the program's exit code, or -signal when a signal ended it; 127 when it could not be started.
 */
class Process
{
public:
    //! Where the program's standard output and standard error go.
    enum class Output
    {
        Kept,        //!< each into a temporary file of its own, read with standardOutput() and standardError()
        Appended,    //!< both appended to Options::logFile
        Discarded,   //!< both to /dev/null
        ErrorsShown, //!< standard output to /dev/null, standard error the test's own
    };

    struct Options
    {
        std::vector<std::string> argv{}; //!< the program (searched in PATH without a "/") and its arguments
        std::vector<std::string> env{};  //!< changes to the test's environment: "NAME=value" sets, "NAME" removes
        std::string workingDir{};        //!< "" keeps the test's
        Output output = Output::Kept;
        std::string logFile{}; //!< for Output::Appended
        //! SIGTERM to the program when the thread that started it ends, also when the test process is killed.
        bool endsWithParent = false;
    };

    explicit Process(Options options);
    //! The program in `argv` with the changes `env` to the test's environment in `workingDir`, its output kept.
    Process(const std::vector<std::string>& argv,
            const std::vector<std::string>& env,
            const std::string& workingDir = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return m_pid; }
    //! The exit, or nothing when the program did not end within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running() const;
    //! SIGTERM, and SIGKILL when the program has not ended after `grace`; returns its exit (also when it had ended
    //! before).
    int terminate(std::chrono::milliseconds grace);
    //! What the program wrote to standard error (Output::Kept, after it ended).
    std::string standardError() const;
    //! What the program wrote to standard output (Output::Kept, after it ended).
    std::string standardOutput() const;

private:
    //! True once the program has ended and m_exit holds how; `block` waits for that.
    bool reap(bool block);

    pid_t m_pid = -1;
    std::optional<int> m_exit;
    std::string m_stderrPath;
    std::string m_stdoutPath;
};

} // namespace testsupport

#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace base {

/**
 * An unexpected failure of the platform layer (a failed SQL statement, a component that cannot be reached). It is
 * not handled where it happens: it travels to the top level, which logs and reports it. The call stack is taken
 * where the error is raised, so the log shows where it came from.
 */
class PlatformError : public std::runtime_error
{
public:
    explicit PlatformError(const std::string& what);
    const std::string& stack() const { return m_stack; }

private:
    std::string m_stack;
};

//! The current call stack, one frame a line, innermost first, leaving out `skip` frames of the caller.
std::string captureStack(int skip = 0);

//! Name of the error log in the working directory.
inline constexpr const char* ERROR_LOG = "ERROR.LOG";

//! Appends one record (time, message, call stack) to `logPath`. Returns false when the file cannot be written.
[[nodiscard]] bool appendErrorLog(const std::string& logPath, const std::string& message, const std::string& stack);

//! Appends a note without call stack (time and message) to ERROR.LOG in the working directory: something the
//! program found out and went on with, which whoever looks after the installation should know.
bool noteInErrorLog(const std::string& message);

/**
 * The default error handling: appends the failure with its call stack to ERROR.LOG in the working directory and
 * shows it in an error box. For a PlatformError the stack of its origin is logged, otherwise the current one.
 * A failure while a report is being shown is only logged.
 */
void reportUnexpected(const std::exception& error);
void reportUnexpected(const std::string& message);

} // namespace base

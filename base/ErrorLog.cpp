#include "base/ErrorLog.h"

#include "base/Dialogs.h"
#include "base/Files.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace base {
namespace {

// "prog(_ZN3app3fooEv+0x12) [0x55...]" -> "prog(base::foo()+0x12) [0x55...]"
std::string demangleFrame(const std::string& frame)
{
    const auto open = frame.find('(');
    const auto plus = frame.find('+', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || plus == std::string::npos || plus <= open + 1) {
        return frame;
    }
    const auto mangled = frame.substr(open + 1, plus - open - 1);
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status),
                                                     &std::free);
    if (status != 0 || !name) {
        return frame;
    }
    return frame.substr(0, open + 1) + name.get() + frame.substr(plus);
}

std::string timestamp()
{
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%d.%m.%Y %H:%M:%S", &local);
    return text;
}

bool reporting = false;

bool appendRecord(const std::string& logPath, const std::string& record)
{
    // A log past the file-size limit loses the record, not the program.
    ignoreFileSizeSignal();
    const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    // One write with O_APPEND, so records of two processes never interleave.
    const auto written = ::write(fd, record.data(), record.size());
    ::close(fd);
    return written == static_cast<ssize_t>(record.size());
}

} // namespace

PlatformError::PlatformError(const std::string& what)
    : std::runtime_error(what)
    , m_stack(captureStack(1))
{}

std::string captureStack(int skip)
{
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    std::unique_ptr<char*, decltype(&std::free)> symbols(::backtrace_symbols(frames, count), &std::free);
    std::string stack;
    for (int i = 1 + skip; i < count; ++i) {
        stack += "  #" + std::to_string(i - 1 - skip) + " ";
        stack += symbols ? demangleFrame(symbols.get()[i]) : std::string("?");
        stack += '\n';
    }
    return stack;
}

bool appendErrorLog(const std::string& logPath, const std::string& message, const std::string& stack)
{
    return appendRecord(logPath, "[" + timestamp() + "] " + message + "\n" + "Aufrufstapel:\n" + stack + "\n");
}

bool noteInErrorLog(const std::string& message)
{
    return appendRecord(currentDirectory() + ERROR_LOG, "[" + timestamp() + "] " + message + "\n\n");
}

void reportUnexpected(const std::exception& error)
{
    const auto* platform = dynamic_cast<const PlatformError*>(&error);
    const std::string stack = platform ? platform->stack() : captureStack(1);
    const std::string logPath = currentDirectory() + ERROR_LOG;
    const bool logged = appendErrorLog(logPath, error.what(), stack);
    if (reporting) {
        return;
    }
    reporting = true;
    std::string text = std::string("Ein unerwarteter Fehler ist aufgetreten:\n") + error.what() + "\n\n";
    text += logged ? "Die Einzelheiten stehen in " + logPath + "."
                   : "Die Einzelheiten konnten nicht in " + logPath + " geschrieben werden.";
    try {
        dialogs().ErrorBox(text);
    } catch (...) {
        // the report itself failed; the log has it
    }
    reporting = false;
}

void reportUnexpected(const std::string& message)
{
    reportUnexpected(std::runtime_error(message));
}

} // namespace base

#include "base/Files.h"

#include "base/StringUtil.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace base {
namespace {

struct DirCloser
{
    void operator()(DIR* d) const { closedir(d); }
};

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const auto n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Creates the temporary file, owner-only; its name is left in `name`.
int createTemporary(const std::string& path, const FileWriteOptions& options, std::string& name)
{
    if (!options.temporary.empty()) {
        name = options.temporary;
        return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    }
    const auto folder = folderOf(path);
    constexpr std::string_view SUFFIX = ".tmp";
    name = folder + "." + path.substr(folder.size()) + ".XXXXXX" + std::string(SUFFIX);
    return ::mkostemps(name.data(), static_cast<int>(SUFFIX.size()), O_CLOEXEC);
}

} // namespace

std::string fileErrorReason(int error, bool reading)
{
    if (reading && (error == EACCES || error == EPERM)) {
        return "Es fehlt die Berechtigung, sie zu lesen.";
    }
    if (reading && error == ENOENT) {
        return "Sie existiert nicht.";
    }
    switch (error) {
    case ENOSPC:
        return "Auf dem Datenträger ist kein Platz mehr frei.";
    case EDQUOT:
        return "Der Speicherplatz, der diesem Benutzer zusteht, ist aufgebraucht.";
    case EFBIG:
        return "Die Datei würde größer, als das System erlaubt.";
    case EACCES:
    case EPERM:
        return "Es fehlt die Berechtigung, im Ordner zu schreiben.";
    case EROFS:
        return "Der Datenträger ist schreibgeschützt.";
    case ENOENT:
    case ENOTDIR:
        return "Der Ordner existiert nicht.";
    case EISDIR:
        return "An ihrer Stelle steht ein Ordner.";
    case EEXIST:
        return "Eine Datei dieses Namens besteht bereits.";
    case EIO:
        return "Der Datenträger meldet einen Lese- oder Schreibfehler.";
    default:
        return "Systemfehler " + std::to_string(error) + " (" + std::strerror(error) + ").";
    }
}

void ignoreFileSizeSignal()
{
    struct sigaction current
    {
    };
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO)
        && current.sa_handler == SIG_DFL) {
        struct sigaction ignore
        {
        };
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGXFSZ, &ignore, nullptr);
    }
}

FileWriteResult writeFileDurably(const std::string& path, std::string_view bytes, const FileWriteOptions& options)
{
    ignoreFileSizeSignal();
    const auto failed = [&](int error) {
        return FileWriteResult{error,
                               "Die Datei " + path + " konnte nicht gespeichert werden: " + fileErrorReason(error)};
    };
    std::string temporary;
    const int fd = createTemporary(path, options, temporary);
    if (fd < 0) {
        return failed(errno);
    }
    if (options.owner != static_cast<uid_t>(-1) || options.group != static_cast<gid_t>(-1)) {
        [[maybe_unused]] const int ignored = ::fchown(fd, options.owner, options.group);
    }
    // The content is on the disk before the file gets its final permissions and name.
    bool ok = writeAll(fd, bytes) && (!options.durable || ::fsync(fd) == 0) && ::fchmod(fd, options.mode) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok) {
        ok = options.keepExisting ? ::link(temporary.c_str(), path.c_str()) == 0
                                  : ::rename(temporary.c_str(), path.c_str()) == 0;
        error = ok ? 0 : errno;
    }
    if (!ok || options.keepExisting) {
        ::unlink(temporary.c_str());
    }
    if (!ok) {
        return failed(error);
    }
    if (options.durable) {
        // Makes the new name itself durable.
        const auto folder = folderOf(path);
        const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return {};
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string currentDirectory()
{
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    std::string dir = cwd ? cwd.get() : ".";
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

std::optional<std::string> findFileNoCase(const std::string& path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) == 0) {
        return path;
    }
    const auto folder = folderOf(path);
    const auto name = path.substr(folder.size());
    if (name.empty()) {
        return std::nullopt;
    }
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.empty() ? "." : folder.c_str()));
    if (!dir) {
        return std::nullopt;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        if (equalsNoCase(entry->d_name, name)) {
            return folder + entry->d_name;
        }
    }
    return std::nullopt;
}

std::optional<std::string> readWholeFile(const std::string& path)
{
    std::string reason;
    return readRegularFile(path, reason);
}

std::optional<std::string> readRegularFile(const std::string& path, std::string& reason)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = fileErrorReason(errno, true);
        return std::nullopt;
    }
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0) {
        reason = fileErrorReason(errno, true);
        return std::nullopt;
    }
    if (S_ISDIR(status.st_mode)) {
        reason = fileErrorReason(EISDIR, true);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        reason = "An ihrer Stelle steht keine gewöhnliche Datei (etwa eine benannte Pipe oder ein Gerät). Bitte "
                 "entfernen Sie, was dort steht, und holen Sie die Datei aus der Datensicherung zurück.";
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            reason = fileErrorReason(errno, true);
            return std::nullopt;
        }
        if (n == 0) {
            return content;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace base

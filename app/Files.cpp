#include "app/Files.h"

#include "app/StringUtil.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace app {
namespace {

struct DirCloser
{
    void operator()(DIR* d) const { closedir(d); }
};

bool writeAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

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
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        content.append(buffer, n);
    }
    if (std::ferror(file.get())) {
        return std::nullopt;
    }
    return content;
}

bool writeFileAtomically(const std::string& path, const std::string& bytes, mode_t newFileMode)
{
    std::string target = path;
    char resolved[PATH_MAX];
    struct stat linkStat
    {
    };
    if (::lstat(path.c_str(), &linkStat) == 0 && S_ISLNK(linkStat.st_mode) && ::realpath(path.c_str(), resolved)) {
        target = resolved;
    }
    struct stat old
    {
    };
    const bool exists = ::stat(target.c_str(), &old) == 0;

    const auto folder = folderOf(target);
    std::string tempName = folder + "." + target.substr(folder.size()) + ".XXXXXX";
    const int fd = ::mkstemp(tempName.data());
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, exists ? (old.st_mode & 07777) : newFileMode) == 0;
    if (ok && exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
        // Only root can hand the file back to its owner; for everyone else the new file is theirs.
        [[maybe_unused]] const int ignored = ::fchown(fd, old.st_uid, old.st_gid);
    }
    ok = ok && writeAll(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tempName.c_str(), target.c_str()) != 0) {
        ::unlink(tempName.c_str());
        return false;
    }
    // Make the rename itself durable.
    const int dirFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace app

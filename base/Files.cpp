#include "base/Files.h"

#include "base/StringUtil.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace base {
namespace {

struct DirCloser
{
    void operator()(DIR* d) const { closedir(d); }
};

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

} // namespace base

#include "rksv/ImageFolder.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace rksv {
namespace {

std::mutex cleanupMutex;
std::chrono::steady_clock::time_point lastCleanup;
std::filesystem::path lastCleanedFolder;

} // namespace

std::filesystem::path qrImageFolder(std::string& error)
{
    error.clear();
    std::error_code ec;
    auto base = std::filesystem::temp_directory_path(ec);
    if (ec) {
        base = "/tmp";
    }
    const auto folder = base / ("quorvex-" + std::to_string(::geteuid()));
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "Ordner der QR-Bilder nicht angelegt: " + folder.string();
        return {};
    }
    struct stat status
    {
    };
    // lstat: a link under the folder's name is refused, never followed.
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
        error = "Ordner der QR-Bilder gehört nicht dem Benutzer oder ist kein Ordner: " + folder.string();
        return {};
    }
    if ((status.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
        error = "Ordner der QR-Bilder nicht privat: " + folder.string();
        return {};
    }
    const auto moment = std::chrono::steady_clock::now();
    std::lock_guard lock(cleanupMutex);
    if (folder != lastCleanedFolder || moment - lastCleanup > std::chrono::hours(1)) {
        lastCleanup = moment;
        lastCleanedFolder = folder;
        removeOldImages(folder);
    }
    return folder;
}

std::filesystem::path
qrImageFile(const std::filesystem::path& folder, const std::string& kassa, const std::string& receiptId)
{
    std::string name = "~" + kassa + "_" + receiptId + ".BMP";
    std::replace_if(
        name.begin(), name.end(), [](char c) { return c == '/' || c == '\\' || c == '\0'; }, '_');
    return folder / name;
}

int removeOldImages(const std::filesystem::path& folder, std::chrono::hours age)
{
    int removed = 0;
    const auto limit = std::filesystem::file_time_type::clock::now() - age;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const auto name = entry.path().filename().string();
        std::error_code entryError;
        if (name.starts_with("~") && name.ends_with(".BMP") && entry.is_regular_file(entryError)
            && entry.last_write_time(entryError) < limit && !entryError) {
            removed += std::filesystem::remove(entry.path(), entryError) ? 1 : 0;
        }
    }
    return removed;
}

} // namespace rksv

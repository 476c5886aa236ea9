#include "rksv/InstallationSecret.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rksv {
namespace {

constexpr std::size_t SECRET_BYTES = 32;
constexpr std::size_t SECRET_DIGITS = 2 * SECRET_BYTES;

bool isSecret(const std::string& text)
{
    return text.size() == SECRET_DIGITS
           && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

bool writeAll(int fd, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// The secret in the file, tightened to owner-only; nothing when the file is missing. `error` tells a damaged file.
std::optional<std::string> readSecret(const std::string& path, bool& missing, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    missing = fd < 0 && errno == ENOENT;
    if (fd < 0) {
        if (!missing) {
            error = "AES-Geheimnis der Installation nicht lesbar: " + path;
        }
        return std::nullopt;
    }
    struct stat status
    {
    };
    if (::fstat(fd, &status) == 0 && (status.st_mode & 077) != 0) {
        ::fchmod(fd, 0600);
    }
    std::array<char, 128> buffer{};
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    ::close(fd);
    std::string text(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    if (!isSecret(text)) {
        error = "AES-Geheimnis der Installation beschädigt: " + path;
        return std::nullopt;
    }
    return text;
}

} // namespace

std::optional<std::string> installationSecret(const std::string& folder, bool mayCreate, std::string& error)
{
    error.clear();
    const std::string path = folder + SECRET_FILE;
    bool missing = false;
    if (auto secret = readSecret(path, missing, error); secret || !missing) {
        return secret;
    }
    if (!mayCreate) {
        error = "AES-Geheimnis der Installation fehlt: " + path
                + "\r\nOhne diese Datei lassen sich die Umsatzzähler der Kassa nicht fortführen. Bitte die Datei aus "
                  "der Datensicherung zurückholen.";
        return std::nullopt;
    }
    std::array<unsigned char, SECRET_BYTES> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        error = "AES-Geheimnis der Installation nicht erzeugt: kein Zufall verfügbar";
        return std::nullopt;
    }
    std::string secret;
    for (const unsigned char byte : bytes) {
        constexpr char DIGITS[] = "0123456789abcdef";
        secret += DIGITS[byte >> 4];
        secret += DIGITS[byte & 0x0f];
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data()); // 0600
    bool written = fd >= 0 && ::fchmod(fd, 0600) == 0 && writeAll(fd, secret + "\n") && ::fsync(fd) == 0;
    if (fd >= 0) {
        written = ::close(fd) == 0 && written;
    }
    // link() never replaces: when another station was quicker, its secret holds.
    const bool linked = written && ::link(temporary.c_str(), path.c_str()) == 0;
    const bool raced = written && !linked && errno == EEXIST;
    if (fd >= 0) {
        ::unlink(temporary.c_str());
    }
    if (raced) {
        return readSecret(path, missing, error);
    }
    if (!linked) {
        error = "AES-Geheimnis der Installation nicht gespeichert: " + path;
        return std::nullopt;
    }
    return secret;
}

} // namespace rksv

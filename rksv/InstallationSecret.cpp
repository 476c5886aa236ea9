#include "rksv/InstallationSecret.h"

#include "base/Files.h"
#include "rksv/format/TurnoverCounter.h"

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

// The first line of a small regular file (at most 127 bytes are read), opened without waiting: a FIFO or device in
// the file's place is refused, never read. Nothing when the file is missing (`missing`) or cannot be read (`error`,
// which `what` names).
std::optional<std::string> readLine(const std::string& path, const std::string& what, bool& missing, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    missing = fd < 0 && errno == ENOENT;
    if (fd < 0) {
        if (!missing) {
            error = what + " nicht lesbar: " + path;
        }
        return std::nullopt;
    }
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        error = what + " ist keine gewöhnliche Datei: " + path
                + "\r\nBitte entfernen Sie, was an ihrer Stelle steht, und holen Sie die Datei aus der Datensicherung "
                  "zurück.";
        return std::nullopt;
    }
    if ((status.st_mode & 077) != 0) {
        ::fchmod(fd, 0600);
    }
    std::array<char, 128> buffer{};
    ssize_t n = 0;
    do {
        n = ::read(fd, buffer.data(), buffer.size() - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n < 0) {
        error = what + " nicht lesbar: " + path;
        return std::nullopt;
    }
    std::string text(buffer.data(), static_cast<std::size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// The check value of the secret: four characters of its SHA-256, enough to tell another secret, too few to learn it.
std::string checkValueOf(const std::string& secret)
{
    return aesKeyCheckValue(secret);
}

std::string lostMessage(const std::string& path)
{
    return "AES-Geheimnis der Installation fehlt: " + path
           + "\r\nOhne diese Datei lassen sich die Umsatzzähler der Kassa nicht fortführen. Bitte die Datei aus der "
             "Datensicherung zurückholen.";
}

// Creates the file with `text` unless one exists; true when it was created, false with `exists` when another station
// was quicker, false with `error` when it cannot be written.
bool createOnce(const std::string& path, const std::string& text, bool& exists, std::string& error)
{
    base::FileWriteOptions options;
    options.mode = 0600;
    options.keepExisting = true;
    const auto written = base::writeFileDurably(path, text, options);
    exists = written.error == EEXIST;
    if (!written && !exists) {
        error = written.message;
    }
    return static_cast<bool>(written);
}

} // namespace

std::optional<std::string> installationSecret(const std::string& folder, bool mayCreate, std::string& error)
{
    error.clear();
    const std::string path = folder + SECRET_FILE;
    const std::string checkPath = folder + SECRET_CHECK_FILE;
    bool missing = false;
    bool checkMissing = false;
    auto check = readLine(checkPath, "Prüfwert des AES-Geheimnisses", checkMissing, error);
    if (!check && !checkMissing) {
        return std::nullopt;
    }
    auto secret = readLine(path, "AES-Geheimnis der Installation", missing, error);
    if (!secret && !missing) {
        return std::nullopt;
    }
    if (secret && !isSecret(*secret)) {
        error = "AES-Geheimnis der Installation beschädigt: " + path;
        return std::nullopt;
    }
    if (missing) {
        // Once its check value is kept, the secret is never made anew: the counters stored under it would be lost.
        if (!mayCreate || check) {
            error = lostMessage(path);
            return std::nullopt;
        }
        std::array<unsigned char, SECRET_BYTES> bytes{};
        if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
            error = "AES-Geheimnis der Installation nicht erzeugt: kein Zufall verfügbar";
            return std::nullopt;
        }
        std::string made;
        for (const unsigned char byte : bytes) {
            constexpr char DIGITS[] = "0123456789abcdef";
            made += DIGITS[byte >> 4];
            made += DIGITS[byte & 0x0f];
        }
        bool raced = false;
        if (createOnce(path, made + "\n", raced, error)) {
            secret = made;
        } else if (!raced) {
            error = "AES-Geheimnis der Installation nicht gespeichert: " + path + "\r\n" + error;
            return std::nullopt;
        } else if (secret = readLine(path, "AES-Geheimnis der Installation", missing, error);
                   !secret || !isSecret(*secret)) {
            // When another station was quicker, its secret holds.
            error = error.empty() ? "AES-Geheimnis der Installation beschädigt: " + path : error;
            return std::nullopt;
        }
    }
    const auto value = checkValueOf(*secret);
    if (check && *check != value) {
        error = "AES-Geheimnis der Installation passt nicht zum Prüfwert " + *check + " in " + checkPath + ": " + path
                + "\r\nMit einem anderen Geheimnis lassen sich die Umsatzzähler der Kassa nicht fortführen. Bitte die "
                  "Datei aus der Datensicherung zurückholen.";
        return std::nullopt;
    }
    if (!check) {
        // Kept from the first start on (and for a secret from before the check value was kept, from now on).
        bool raced = false;
        if (!createOnce(checkPath, value + "\n", raced, error) && !raced) {
            error = "Prüfwert des AES-Geheimnisses nicht gespeichert: " + checkPath + "\r\n" + error;
            return std::nullopt;
        }
        if (raced) {
            return installationSecret(folder, false, error);
        }
    }
    return secret;
}

} // namespace rksv

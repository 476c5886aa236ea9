#include "rksv/units/SoftwareUnit.h"

#include "base/Files.h"
#include "rksv/format/Encoding.h"
#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/format/QrImage.h"
#include "rksv/format/Receipt.h"
#include "rksv/format/TurnoverCounter.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace rksv {

namespace {

using BioPtr = std::unique_ptr<BIO, OpenSslFree<&BIO_free_all>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OpenSslFree<&X509_NAME_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslFree<&X509_EXTENSION_free>>;
using X509AlgorPtr = std::unique_ptr<X509_ALGOR, OpenSslFree<&X509_ALGOR_free>>;
using X509SigPtr = std::unique_ptr<X509_SIG, OpenSslFree<&X509_SIG_free>>;
using Pkcs8InfoPtr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, OpenSslFree<&PKCS8_PRIV_KEY_INFO_free>>;

constexpr std::string_view CERTIFICATE_FILE = "certificate.pem";
constexpr std::string_view CHAIN_FILE = "chain.pem";
constexpr std::string_view KEY_FILE = "key.pem";
constexpr std::string_view CA_CERTIFICATE_FILE = "ca-certificate.pem";
constexpr std::string_view CA_KEY_FILE = "ca-key.pem";
constexpr std::string_view INTERMEDIATE_CERTIFICATE_FILE = "intermediate-certificate.pem";
constexpr std::string_view INTERMEDIATE_KEY_FILE = "intermediate-key.pem";
constexpr mode_t SECRET_FILE_MODE = S_IRUSR | S_IWUSR;
constexpr mode_t PUBLIC_FILE_MODE = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
// The PIN derivation of the card key (scrypt). OpenSSL reads scrypt-protected keys with at most 32 MiB for the
// derivation (128 * r * N bytes), so N = 2^14 with r = 8 (16 MiB) is the largest memory cost every reader of such a
// key accepts, `openssl pkey` included; p = 4 runs it four times. One PIN then costs about 0.16 s on a current server
// core: all 10^6 six-digit PINs take about 44 hours of one core, against 20 minutes under PBKDF2 with 2 048 rounds.
constexpr std::uint64_t SCRYPT_N = std::uint64_t{1} << 14;
constexpr std::uint64_t SCRYPT_R = 8;
constexpr std::uint64_t SCRYPT_P = 4;
constexpr std::size_t MAX_SERIAL_HEX_DIGITS = 40; // 20 bytes, the longest serial a certificate may carry

std::optional<std::string> readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return text.str();
}

//! Replaces the file with `bytes` through a temporary file in the same folder, so a crash leaves the old or the new
//! file. The file gets `mode` whatever the umask; a symbolic link in its place is replaced, never followed.
[[nodiscard]] base::FileWriteResult replaceFile(const std::filesystem::path& path, std::string_view bytes, mode_t mode)
{
    base::FileWriteOptions options;
    options.mode = mode;
    return base::writeFileDurably(path.string(), bytes, options);
}

//! Removes the file; true when it is gone afterwards.
[[nodiscard]] bool removeFile(const std::filesystem::path& path)
{
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

BioPtr memoryBio(const std::string& text)
{
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string bioText(BIO* bio)
{
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

//! All certificates of a PEM file, in file order.
std::vector<X509Ptr> readCertificates(const std::filesystem::path& path)
{
    std::vector<X509Ptr> certificates;
    const auto text = readFile(path);
    if (!text) {
        return certificates;
    }
    const BioPtr bio = memoryBio(*text);
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        certificates.emplace_back(certificate);
    }
    return certificates;
}

X509Ptr readCertificate(const std::filesystem::path& path)
{
    auto certificates = readCertificates(path);
    return certificates.empty() ? X509Ptr() : std::move(certificates.front());
}

std::string toLower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

//! The key as encrypted PKCS#8 PEM ("ENCRYPTED PRIVATE KEY"): AES-256-CBC under a scrypt derivation of the PIN.
std::optional<std::string> encryptedKeyPem(EVP_PKEY* key, const std::string& pin)
{
    constexpr int SALT_BYTES = 16; // random, drawn by OpenSSL
    X509AlgorPtr algorithm(
        PKCS5_pbe2_set_scrypt(EVP_aes_256_cbc(), nullptr, SALT_BYTES, nullptr, SCRYPT_N, SCRYPT_R, SCRYPT_P));
    const Pkcs8InfoPtr info(EVP_PKEY2PKCS8(key));
    if (!algorithm || !info) {
        return std::nullopt;
    }
    const X509SigPtr sealed(PKCS8_set0_pbe(pin.data(), static_cast<int>(pin.size()), info.get(), algorithm.get()));
    if (!sealed) {
        return std::nullopt;
    }
    static_cast<void>(algorithm.release()); // `sealed` owns it now
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PKCS8(bio.get(), sealed.get()) != 1) {
        return std::nullopt;
    }
    return bioText(bio.get());
}

//! What presenting a PIN to the card's key file came to.
enum class PinCheck
{
    Accepted,    //!< the key decrypted and belongs to the certificate
    Wrong,       //!< the key did not decrypt
    KeyMismatch, //!< the PIN was right, but the key does not belong to the certificate
    NoKey        //!< no encrypted key to present the PIN to
};

/**
 * Decrypts the card key with the PIN into `key`. Keys encrypted under PBKDF2 (older cards) decrypt the same way as
 * those under scrypt. A key file that is no encrypted PKCS#8 key counts as no key: one stored in the clear would
 * accept any PIN.
 */
PinCheck
decryptCardKey(const std::filesystem::path& readerFolder, const std::string& pin, X509* certificate, EvpPkeyPtr& key)
{
    key.reset();
    const auto text = readFile(readerFolder / KEY_FILE);
    if (!text) {
        return PinCheck::NoKey;
    }
    const BioPtr bio = memoryBio(*text);
    const X509SigPtr sealed(PEM_read_bio_PKCS8(bio.get(), nullptr, nullptr, nullptr));
    if (!sealed) {
        return PinCheck::NoKey;
    }
    const Pkcs8InfoPtr info(PKCS8_decrypt(sealed.get(), pin.data(), static_cast<int>(pin.size())));
    if (!info) {
        return PinCheck::Wrong;
    }
    EvpPkeyPtr decrypted(EVP_PKCS82PKEY(info.get()));
    if (!decrypted || certificate == nullptr || X509_check_private_key(certificate, decrypted.get()) != 1
        || !isP256(decrypted.get())) {
        return PinCheck::KeyMismatch;
    }
    key = std::move(decrypted);
    return PinCheck::Accepted;
}

/**
 * The wrong PINs presented to the card in a row: 0 without a counter file. A counter that cannot be read or holds no
 * count gives PIN_TRIES, so damaging the file never gives a card new tries.
 */
int wrongPinCount(const std::filesystem::path& readerFolder)
{
    const std::filesystem::path path = readerFolder / SoftwareUnit::PIN_ERROR_FILE;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? 0 : SoftwareUnit::PIN_TRIES;
    }
    std::array<char, 16> buffer{};
    const ssize_t length = ::read(fd, buffer.data(), buffer.size());
    ::close(fd);
    std::string_view text(buffer.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    int count = 0;
    const auto [end, result] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (text.empty() || result != std::errc() || end != text.data() + text.size() || count < 0) {
        return SoftwareUnit::PIN_TRIES;
    }
    return std::min(count, SoftwareUnit::PIN_TRIES);
}

//! Stores the count of wrong PINs in a row (owner-only); a count of 0 removes the file.
[[nodiscard]] bool storeWrongPinCount(const std::filesystem::path& readerFolder, int count)
{
    const std::filesystem::path path = readerFolder / SoftwareUnit::PIN_ERROR_FILE;
    return count == 0 ? removeFile(path)
                      : static_cast<bool>(replaceFile(path, std::to_string(count) + "\n", SECRET_FILE_MODE));
}

/**
 * Holds the reader folder for one PIN check: stations that share a reader folder present their PINs one after the
 * other, so no two of them read the same count of wrong PINs and each try is counted. The lock goes with the process.
 */
class PinCheckLock
{
public:
    explicit PinCheckLock(const std::filesystem::path& readerFolder)
        : m_fd(::open(readerFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        while (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~PinCheckLock()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    PinCheckLock(const PinCheckLock&) = delete;
    PinCheckLock& operator=(const PinCheckLock&) = delete;

private:
    int m_fd;
};

// The PIN checks made in this process, per reader folder.
std::mutex pinCheckCountMutex;
std::map<std::filesystem::path, long>& pinCheckCounts()
{
    static std::map<std::filesystem::path, long> counts;
    return counts;
}

//! How to unlock the card in the reader folder, as a command line to copy.
std::string unlockCommand(const std::filesystem::path& readerFolder)
{
    return "quorvex-card --readers \"" + readerFolder.parent_path().string() + "\" --reader \""
           + readerFolder.filename().string() + "\" --unlock";
}

std::string lockedMessage(const std::filesystem::path& readerFolder)
{
    return "Die Signaturkarte im Kartenleser \"" + readerFolder.filename().string()
           + "\" ist gesperrt, weil dreimal hintereinander ein falscher PIN eingegeben wurde; sie nimmt auch den "
             "richtigen PIN erst wieder an, wenn sie entsperrt ist. Entsperren mit: "
           + unlockCommand(readerFolder);
}

// Identifies a file's state without reading it: a card replaced in its reader (a new file renamed into place, or the
// old one rewritten) shows in the file number, modification time or size.
std::string stampOf(const std::filesystem::path& path)
{
    struct stat status
    {
    };
    if (::stat(path.c_str(), &status) != 0) {
        return {};
    }
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":"
           + std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec) + ":"
           + std::to_string(status.st_size);
}

bool isPlainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
           && name.find('\0') == std::string::npos;
}

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    const X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

enum class Role
{
    RootCa,
    IntermediateCa,
    Card
};

X509Ptr makeCertificate(
    EVP_PKEY* subjectKey, BIGNUM* serial, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey, Role role)
{
    X509Ptr certificate(X509_new());
    const X509NamePtr name(X509_NAME_new());
    if (!certificate || !name || X509_set_version(certificate.get(), 2) != 1
        || BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate.get())) == nullptr
        || X509_NAME_add_entry_by_txt(
               name.get(), "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("AT"), -1, -1, 0)
               != 1
        || X509_NAME_add_entry_by_txt(
               name.get(), "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0)
               != 1
        || X509_set_subject_name(certificate.get(), name.get()) != 1
        || X509_set_issuer_name(certificate.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name.get()) != 1
        || X509_set_pubkey(certificate.get(), subjectKey) != 1) {
        return {};
    }
    constexpr long DAY_SECONDS = 24 * 60 * 60;
    constexpr int FIVE_YEARS_DAYS = 5 * 365 + 1;
    if (X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -DAY_SECONDS) == nullptr
        || X509_time_adj_ex(X509_getm_notAfter(certificate.get()), FIVE_YEARS_DAYS, -DAY_SECONDS, nullptr) == nullptr) {
        return {};
    }
    X509* issuerCertificate = issuer != nullptr ? issuer : certificate.get();
    const char* const constraints = role == Role::RootCa           ? "critical,CA:TRUE"
                                    : role == Role::IntermediateCa ? "critical,CA:TRUE,pathlen:0"
                                                                   : "critical,CA:FALSE";
    const char* const usage = role == Role::Card ? "critical,digitalSignature" : "critical,keyCertSign,cRLSign";
    const bool extensionsOk = addExtension(certificate.get(), issuerCertificate, NID_basic_constraints, constraints)
                              && addExtension(certificate.get(), issuerCertificate, NID_key_usage, usage);
    if (!extensionsOk || X509_sign(certificate.get(), issuerKey, EVP_sha256()) <= 0) {
        return {};
    }
    return certificate;
}

std::optional<std::string> certificatePem(X509* certificate)
{
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) {
        return std::nullopt;
    }
    return bioText(bio.get());
}

//! A random positive serial of 16 bytes whose first hex digit is not 0, so its text always has 32 digits.
BignumPtr randomSerial()
{
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        return {};
    }
    bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7f) | 0x10);
    return BignumPtr(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

struct Ca
{
    X509Ptr certificate;
    EvpPkeyPtr key;
};

//! Where a test CA is kept, and what it is.
struct CaFiles
{
    std::string_view certificateFile;
    std::string_view keyFile;
    const char* commonName;
    Role role;
};

constexpr CaFiles ROOT_CA{CA_CERTIFICATE_FILE, CA_KEY_FILE, "Vexa-Quorvex Test-CA", Role::RootCa};
constexpr CaFiles INTERMEDIATE_CA{
    INTERMEDIATE_CERTIFICATE_FILE, INTERMEDIATE_KEY_FILE, "Vexa-Quorvex Test-Zwischen-CA", Role::IntermediateCa};

/**
 * The test CA kept in `caDir` (reused when present, created and stored otherwise; only for this call when `caDir` is
 * empty). The root CA signs itself, the intermediate CA is issued by `issuer`; a kept one must still belong to it.
 */
std::optional<Ca>
loadOrCreateCa(const std::filesystem::path& caDir, const CaFiles& files, const Ca* issuer, std::string& error)
{
    Ca ca;
    const bool keep = !caDir.empty();
    const std::filesystem::path certificateFile = caDir / files.certificateFile;
    const std::filesystem::path keyFile = caDir / files.keyFile;
    if (keep && std::filesystem::exists(certificateFile) && std::filesystem::exists(keyFile)) {
        ca.certificate = readCertificate(certificateFile);
        const auto keyText = readFile(keyFile);
        if (keyText) {
            const BioPtr bio = memoryBio(*keyText);
            ca.key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
        }
        const bool issued =
            issuer == nullptr
            || (ca.certificate && X509_verify(ca.certificate.get(), X509_get0_pubkey(issuer->certificate.get())) == 1);
        if (!ca.certificate || !ca.key || X509_check_private_key(ca.certificate.get(), ca.key.get()) != 1 || !issued) {
            error = "Die Test-CA " + certificateFile.string()
                    + " ist unlesbar, passt nicht zu ihrem Schlüssel oder nicht zur Stamm-CA.";
            return std::nullopt;
        }
        return ca;
    }
    ca.key = generateP256Key();
    const BignumPtr serial = randomSerial();
    if (!ca.key || !serial) {
        error = "Der Schlüssel der Test-CA konnte nicht erzeugt werden.";
        return std::nullopt;
    }
    ca.certificate = makeCertificate(ca.key.get(),
                                     serial.get(),
                                     files.commonName,
                                     issuer != nullptr ? issuer->certificate.get() : nullptr,
                                     issuer != nullptr ? issuer->key.get() : ca.key.get(),
                                     files.role);
    if (!ca.certificate) {
        error = "Das Zertifikat der Test-CA konnte nicht erzeugt werden.";
        return std::nullopt;
    }
    if (keep) {
        std::error_code ec;
        std::filesystem::create_directories(caDir, ec);
        const BioPtr keyBio(BIO_new(BIO_s_mem()));
        const auto pem = certificatePem(ca.certificate.get());
        if (!keyBio || !pem
            || PEM_write_bio_PKCS8PrivateKey(keyBio.get(), ca.key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
            error = "Die Test-CA konnte nicht in " + caDir.string() + " gespeichert werden.";
            return std::nullopt;
        }
        auto written = replaceFile(keyFile, bioText(keyBio.get()), SECRET_FILE_MODE);
        if (written) {
            written = replaceFile(certificateFile, *pem, PUBLIC_FILE_MODE);
        }
        if (!written) {
            error = "Die Test-CA konnte nicht in " + caDir.string() + " gespeichert werden. " + written.message;
            return std::nullopt;
        }
    }
    return ca;
}

} // namespace

SoftwareUnit::SoftwareUnit(const std::filesystem::path& folder)
    : CardComponent(std::string(ALGORITHM))
    , m_inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    std::error_code error;
    m_folder = std::filesystem::absolute(folder, error);
    if (error) {
        m_folder = folder;
    }
}

SoftwareUnit::~SoftwareUnit()
{
    if (m_inotify >= 0) {
        ::close(m_inotify);
    }
}

long SoftwareUnit::pinChecks(const std::filesystem::path& readerFolder)
{
    const std::lock_guard lock(pinCheckCountMutex);
    std::error_code error;
    const auto found = pinCheckCounts().find(std::filesystem::absolute(readerFolder, error));
    return found == pinCheckCounts().end() ? 0 : found->second;
}

std::vector<std::string> SoftwareUnit::GetCardReaders()
{
    std::vector<std::string> readers;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder, error)) {
        std::error_code typeError;
        const std::string name = entry.path().filename().string();
        if (entry.is_directory(typeError) && !name.empty() && name.front() != '.') {
            readers.push_back(name);
        }
    }
    std::sort(readers.begin(), readers.end());
    return readers;
}

long SoftwareUnit::GetReadersCount()
{
    return static_cast<long>(GetCardReaders().size());
}

std::string SoftwareUnit::GetReaderAt(long position)
{
    const auto readers = GetCardReaders();
    if (position < 0 || static_cast<std::size_t>(position) >= readers.size()) {
        return {};
    }
    return readers[static_cast<std::size_t>(position)];
}

bool SoftwareUnit::IsCardReaderPresent(const std::string& reader)
{
    return look(reader) != nullptr;
}

std::string SoftwareUnit::GetCardInReader(const std::string& reader)
{
    const Reader* const found = look(reader);
    return found != nullptr && found->certificate ? found->serial : std::string();
}

bool SoftwareUnit::IsCardNumberPresent(const std::string& card)
{
    if (card.empty()) {
        return false;
    }
    const std::string wanted = toLower(card);
    const auto readers = GetCardReaders();
    return std::any_of(
        readers.begin(), readers.end(), [&](const std::string& reader) { return GetCardInReader(reader) == wanted; });
}

bool SoftwareUnit::VerifyPin(const std::string& reader, const std::string& pin)
{
    Reader* const found = look(reader);
    if (found == nullptr) {
        return false;
    }
    std::string refusal;
    const bool accepted = found->certificate && cardKey(*found, pin, refusal) != nullptr;
    // A wrong PIN is told as such by the caller; anything else (a locked card, a key that cannot be used) says why.
    m_pinProblem = accepted || refusal.starts_with("Falscher PIN") ? std::string() : refusal;
    return accepted;
}

void SoftwareUnit::readWatchEvents()
{
    if (m_inotify < 0) {
        return;
    }
    alignas(inotify_event) std::array<char, 4096> buffer{};
    while (true) {
        const ssize_t length = ::read(m_inotify, buffer.data(), buffer.size());
        if (length <= 0) {
            return; // EAGAIN: nothing has changed since the last read
        }
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + offset, sizeof(event));
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            for (auto& [name, reader] : m_readers) {
                // After an overflow every folder may have changed.
                if ((event.mask & IN_Q_OVERFLOW) != 0 || reader.watch == event.wd) {
                    reader.fresh = false;
                    if ((event.mask & IN_IGNORED) != 0 && reader.watch == event.wd) {
                        reader.watch = -1;
                    }
                }
            }
        }
    }
}

void SoftwareUnit::dropWatch(Reader& reader)
{
    if (reader.watch >= 0) {
        ::inotify_rm_watch(m_inotify, reader.watch);
        reader.watch = -1;
    }
    reader.fresh = false;
}

// A look reads four stamps and the folder's entries: more than the signature itself costs. So the folder is watched
// from before the look on, and a look stays valid until the watch reports a change.
SoftwareUnit::Reader* SoftwareUnit::look(const std::string& name, bool readWatch)
{
    if (!isPlainName(name) || name.front() == '.') {
        return nullptr;
    }
    if (readWatch) {
        readWatchEvents();
    }
    const auto known = m_readers.find(name);
    if (known != m_readers.end() && known->second.fresh) {
        return &known->second;
    }
    Reader& reader = m_readers[name];
    dropWatch(reader);
    reader.folder = m_folder / name;
    std::error_code error;
    if (!std::filesystem::is_directory(reader.folder, error)) {
        // A card taken out with its reader needs its PIN again when it comes back.
        std::erase_if(m_sessions, [&](const auto& session) { return session.second.folder == reader.folder; });
        m_readers.erase(name);
        return nullptr;
    }
    constexpr std::uint32_t CHANGES = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB
                                      | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    reader.watch = m_inotify < 0 ? -1 : ::inotify_add_watch(m_inotify, reader.folder.c_str(), CHANGES);
    reader.fresh = reader.watch >= 0;

    const auto certificateStamp = stampOf(reader.folder / CERTIFICATE_FILE);
    if (!reader.certificate || reader.certificateStamp != certificateStamp) {
        X509Ptr read = readCertificate(reader.folder / CERTIFICATE_FILE);
        reader.serial = read ? serialOf(read.get()) : std::string();
        reader.certificate = read ? std::shared_ptr<X509>(read.release(), &X509_free) : nullptr;
        reader.certificateStamp = certificateStamp;
    }
    reader.keyStamp = stampOf(reader.folder / KEY_FILE);
    bool counted = false;
    reader.failed = false;
    for (const auto& entry : std::filesystem::directory_iterator(reader.folder, error)) {
        const std::string& path = entry.path().native();
        const std::string_view file = std::string_view(path).substr(path.rfind('/') + 1);
        reader.failed = reader.failed || equalsNoCase(file, FAILED_MARKER);
        counted = counted || file == PIN_ERROR_FILE;
    }
    reader.locked = counted && wrongPinCount(reader.folder) >= PIN_TRIES;

    // A card's session ends when it leaves the reader, gets another key or is locked; a wrong PIN presented elsewhere
    // that leaves the card unlocked, or a right one, ends nothing.
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        const bool here = it->second.folder == reader.folder;
        const bool ends = here
                          && (it->first != reader.serial || !reader.certificate
                              || it->second.keyStamp != reader.keyStamp || reader.locked);
        it = ends ? m_sessions.erase(it) : std::next(it);
    }
    return &reader;
}

// The PIN is presented to the card once per session: while the key stays decrypted, neither the derivation nor the
// counter of wrong PINs is touched again.
const Es256Signer* SoftwareUnit::cardKey(Reader& reader, const std::string& pin, std::string& refusal)
{
    const auto session = m_sessions.find(reader.serial);
    if (session != m_sessions.end() && session->second.folder == reader.folder && session->second.pin == pin
        && session->second.keyStamp == reader.keyStamp && !reader.locked) {
        return session->second.signer.get();
    }
    const std::filesystem::path& folder = reader.folder;
    const std::string inReader = "im Kartenleser \"" + folder.filename().string() + "\"";
    const auto refuse = [&refusal](std::string message) -> const Es256Signer* {
        refusal = std::move(message);
        return nullptr;
    };
    if (pin.empty()) {
        return refuse("Für die Signaturkarte " + inReader + " fehlt der PIN.");
    }
    // What this check writes, and what others write meanwhile, is looked at again at the next use.
    reader.fresh = false;
    const PinCheckLock pinCheck(folder);
    const int wrong = wrongPinCount(folder);
    if (wrong >= PIN_TRIES) {
        m_sessions.erase(reader.serial);
        return refuse(lockedMessage(folder));
    }
    // As a card does, the try is counted before the PIN is checked: a check broken off half-way (the program killed
    // during the derivation) still counts.
    if (!storeWrongPinCount(folder, wrong + 1)) {
        return refuse("Der Zähler falscher PINs der Signaturkarte " + inReader
                      + " kann nicht gespeichert werden (ist der Ordner schreibgeschützt?); ohne ihn wird kein PIN "
                        "geprüft.");
    }
    {
        const std::lock_guard lock(pinCheckCountMutex);
        ++pinCheckCounts()[folder];
    }
    EvpPkeyPtr key;
    const PinCheck check = decryptCardKey(folder, pin, reader.certificate.get(), key);
    if (check == PinCheck::Wrong) {
        const int left = PIN_TRIES - (wrong + 1);
        if (left == 0) {
            m_sessions.erase(reader.serial);
            return refuse("Falscher PIN für die Signaturkarte " + inReader + ". " + lockedMessage(folder));
        }
        return refuse("Falscher PIN für die Signaturkarte " + inReader + " (noch " + std::to_string(left)
                      + (left == 1 ? " Versuch" : " Versuche") + ", dann ist die Karte gesperrt).");
    }
    // Without a key to check it against, the PIN was neither right nor wrong: the count stays as it was.
    if (!storeWrongPinCount(folder, check == PinCheck::NoKey ? wrong : 0)) {
        return refuse("Der Zähler falscher PINs der Signaturkarte " + inReader + " kann nicht gespeichert werden.");
    }
    if (check != PinCheck::Accepted) {
        return refuse("Der Schlüssel der Signaturkarte " + inReader
                      + " fehlt, ist unverschlüsselt, unlesbar oder gehört nicht zu ihrem Zertifikat.");
    }
    auto signer = std::make_shared<Es256Signer>(key.get());
    if (!signer->ok()) {
        return refuse("Mit dem Schlüssel der Signaturkarte " + inReader + " kann nicht signiert werden.");
    }
    m_sessions[reader.serial] =
        Session{folder, pin, reader.keyStamp, std::shared_ptr<EVP_PKEY>(key.release(), &EVP_PKEY_free), signer};
    return signer.get();
}

bool SoftwareUnit::GetCardCertificate(const std::string& reader, std::string& certificate, std::string& chain)
{
    certificate.clear();
    chain.clear();
    const Reader* const found = look(reader);
    if (found == nullptr) {
        return false;
    }
    const X509Ptr card = readCertificate(found->folder / CERTIFICATE_FILE);
    const auto cardText = card ? derBase64(card.get()) : std::nullopt;
    if (!cardText) {
        return false;
    }
    std::string chainText;
    for (const auto& issuer : readCertificates(found->folder / CHAIN_FILE)) {
        const auto text = derBase64(issuer.get());
        if (!text) {
            return false;
        }
        chainText += (chainText.empty() ? "" : ";") + *text;
    }
    certificate = *cardText;
    chain = chainText;
    return true;
}

std::optional<std::string> SoftwareUnit::cardSerial(const std::string& reader, std::string& refusal)
{
    const Reader* const found = look(reader);
    if (found == nullptr) {
        refusal = "Kartenleser \"" + reader + "\" nicht gefunden.";
        return std::nullopt;
    }
    if (!found->certificate) {
        refusal = "Im Kartenleser \"" + reader + "\" steckt keine Signaturkarte.";
        return std::nullopt;
    }
    return found->serial;
}

SoftwareUnit::CardSignature
SoftwareUnit::signWithCard(const std::string& reader, const std::string& pin, std::string_view input)
{
    CardSignature result;
    // cardSerial has just read the watch for this receipt.
    Reader* const found = look(reader, false);
    if (found == nullptr || !found->certificate) {
        result.refusal = "Im Kartenleser \"" + reader + "\" steckt keine Signaturkarte.";
        return result;
    }
    if (found->failed) {
        result.outcome = CardSignature::Outcome::DeviceFailed;
        return result;
    }
    std::string reason;
    const Es256Signer* const signer = cardKey(*found, pin, reason);
    if (signer == nullptr) {
        result.refusal = reason;
        return result;
    }
    auto signature = signer->sign(input, &reason);
    if (!signature) {
        found->fresh = false; // the next signature looks at the reader again
        result.refusal = "Die Signatur ist fehlgeschlagen: " + reason;
        return result;
    }
    result.outcome = CardSignature::Outcome::Signed;
    result.signature = std::move(*signature);
    return result;
}

bool createTestCard(const std::filesystem::path& readers,
                    const std::string& reader,
                    const std::string& pin,
                    const std::string& serialHex,
                    const std::filesystem::path& caDir,
                    std::string& serial,
                    std::string& error,
                    TestCardIssuer issuer)
{
    serial.clear();
    error.clear();
    if (!isPlainName(reader) || reader.front() == '.') {
        error = "Ungültiger Name des Kartenlesers \"" + reader + "\".";
        return false;
    }
    if (pin.empty()) {
        error = "Der PIN der Karte darf nicht leer sein.";
        return false;
    }
    BignumPtr serialNumber;
    if (serialHex.empty()) {
        serialNumber = randomSerial();
    } else {
        const bool hex =
            std::all_of(serialHex.begin(), serialHex.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
        BIGNUM* parsed = nullptr;
        if (!hex || serialHex.size() > MAX_SERIAL_HEX_DIGITS || BN_hex2bn(&parsed, serialHex.c_str()) == 0) {
            error = "Ungültige Seriennummer \"" + serialHex + "\" (erwartet 1 bis 40 Hexadezimalziffern).";
            return false;
        }
        serialNumber.reset(parsed);
        if (BN_is_zero(serialNumber.get())) {
            error = "Die Seriennummer darf nicht 0 sein.";
            return false;
        }
    }
    if (!serialNumber) {
        error = "Die Seriennummer konnte nicht erzeugt werden.";
        return false;
    }

    const auto root = loadOrCreateCa(caDir, ROOT_CA, nullptr, error);
    if (!root) {
        return false;
    }
    std::optional<Ca> intermediate;
    if (issuer == TestCardIssuer::IntermediateCa) {
        intermediate = loadOrCreateCa(caDir, INTERMEDIATE_CA, &*root, error);
        if (!intermediate) {
            return false;
        }
    }
    const Ca& ca = intermediate ? *intermediate : *root;
    const EvpPkeyPtr cardKey = generateP256Key();
    if (!cardKey) {
        error = "Der Kartenschlüssel konnte nicht erzeugt werden.";
        return false;
    }
    const X509Ptr card = makeCertificate(cardKey.get(),
                                         serialNumber.get(),
                                         "Vexa-Quorvex Testkarte " + reader,
                                         ca.certificate.get(),
                                         ca.key.get(),
                                         Role::Card);
    const auto cardPem = card ? certificatePem(card.get()) : std::nullopt;
    // The issuing certificates from the card's issuer up to the root.
    auto chainPem = certificatePem(ca.certificate.get());
    if (chainPem && intermediate) {
        const auto rootPem = certificatePem(root->certificate.get());
        chainPem = rootPem ? std::optional(*chainPem + *rootPem) : std::nullopt;
    }
    const auto keyPem = encryptedKeyPem(cardKey.get(), pin);
    if (!cardPem || !chainPem || !keyPem) {
        error = "Das Kartenzertifikat oder der verschlüsselte Schlüssel konnte nicht erzeugt werden.";
        return false;
    }

    // A new card starts without wrong PINs.
    const std::filesystem::path folder = readers / reader;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    base::FileWriteResult written{ec.value(), ec ? base::fileErrorReason(ec.value()) : std::string()};
    using Part = std::tuple<std::string_view, std::string_view, mode_t>;
    for (const auto& [name, text, mode] : {Part{CERTIFICATE_FILE, *cardPem, PUBLIC_FILE_MODE},
                                           Part{CHAIN_FILE, *chainPem, PUBLIC_FILE_MODE},
                                           Part{KEY_FILE, *keyPem, SECRET_FILE_MODE}}) {
        if (written) {
            written = replaceFile(folder / name, text, mode);
        }
    }
    if (!written || !storeWrongPinCount(folder, 0)) {
        error = "Die Kartendateien konnten nicht in " + folder.string() + " geschrieben werden."
                + (written ? std::string() : " " + written.message);
        return false;
    }
    serial = serialOf(card.get());
    return true;
}

bool unlockCard(const std::filesystem::path& readers, const std::string& reader, std::string& error)
{
    error.clear();
    std::error_code ec;
    const std::filesystem::path folder = readers / reader;
    if (!isPlainName(reader) || reader.front() == '.' || !std::filesystem::is_directory(folder, ec)) {
        error = "Kartenleser \"" + reader + "\" in " + readers.string() + " nicht gefunden.";
        return false;
    }
    if (!storeWrongPinCount(folder, 0)) {
        error = "Die Sperre der Signaturkarte im Kartenleser \"" + reader + "\" kann nicht aufgehoben werden: "
                + (folder / SoftwareUnit::PIN_ERROR_FILE).string() + " lässt sich nicht löschen.";
        return false;
    }
    return true;
}

} // namespace rksv

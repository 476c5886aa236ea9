#include "rksv/depcheck/DepVerifier.h"

#include "rksv/depcheck/DepReceiptIds.h"
#include "rksv/depcheck/DepSignatures.h"
#include "rksv/format/Encoding.h"
#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/format/Receipt.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <queue>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

namespace rksv {

namespace {

using depcheck::Batch;
using depcheck::FilePtr;
using depcheck::GroupKey;
using depcheck::RawSignature;
using depcheck::ReceiptIds;
using depcheck::SignaturePool;
using Clock = std::chrono::steady_clock;
using BioPtr = std::unique_ptr<BIO, OpenSslFree<&BIO_free>>;

constexpr auto PROGRESS_INTERVAL = std::chrono::milliseconds(50);
constexpr std::size_t READ_BUFFER_BYTES = std::size_t{1} << 16;
// Longer than any receipt (the signed data has at most about 1 000 characters) or card certificate.
constexpr std::size_t MAX_TOKEN_BYTES = std::size_t{1} << 16;

} // namespace

void DepTrustAnchors::add(X509* certificate)
{
    if (certificate != nullptr && X509_up_ref(certificate) == 1) {
        m_certificates.emplace_back(certificate);
    }
}

bool DepTrustAnchors::addBase64(std::string_view text)
{
    X509Ptr read = certificateFromBase64(text);
    if (!read) {
        return false;
    }
    m_certificates.push_back(std::move(read));
    return true;
}

bool DepTrustAnchors::addFromPath(const std::string& path, std::string& error)
{
    std::error_code failed;
    std::vector<std::string> files;
    if (std::filesystem::is_directory(path, failed)) {
        for (const auto& entry : std::filesystem::directory_iterator(path, failed)) {
            if (entry.is_regular_file(failed)) {
                files.push_back(entry.path().string());
            }
        }
        std::sort(files.begin(), files.end());
    } else {
        files.push_back(path);
    }
    const std::size_t before = m_certificates.size();
    for (const auto& file : files) {
        // A certificate file, even a bundle of many CAs, is far smaller: anything larger is something else.
        constexpr std::uintmax_t MAX_CERTIFICATE_FILE = std::uintmax_t{4} << 20;
        if (const auto size = std::filesystem::file_size(file, failed); !failed && size > MAX_CERTIFICATE_FILE) {
            if (files.size() == 1) {
                error = "Datei " + file + " ist zu groß für eine Zertifikatsdatei";
                return false;
            }
            continue;
        }
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in && !in.eof()) {
            error = "Datei " + file + " nicht lesbar";
            return false;
        }
        // PEM, as many certificates as the file holds; otherwise one DER certificate.
        const BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        bool anyPem = false;
        while (bio) {
            X509* read = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
            if (read == nullptr) {
                break;
            }
            m_certificates.emplace_back(read);
            anyPem = true;
        }
        if (!anyPem) {
            const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
            if (X509* read = d2i_X509(nullptr, &data, static_cast<long>(bytes.size())); read != nullptr) {
                m_certificates.emplace_back(read);
            }
        }
    }
    // What did not parse leaves its reasons in the thread's OpenSSL error queue.
    ERR_clear_error();
    if (failed) {
        error = "Ordner " + path + " nicht lesbar";
        return false;
    }
    if (m_certificates.size() == before) {
        error = path + " enthält kein Zertifikat (PEM oder DER)";
        return false;
    }
    return true;
}

bool DepPublicKeys::add(const std::string& name, EVP_PKEY* key)
{
    if (!isP256(key) || EVP_PKEY_up_ref(key) != 1) {
        return false;
    }
    m_keys.insert_or_assign(name, EvpPkeyPtr(key));
    return true;
}

bool DepPublicKeys::addFromFile(const std::string& path, std::string& error)
{
    std::error_code failed;
    constexpr std::uintmax_t MAX_KEY_FILE = std::uintmax_t{4} << 20;
    if (std::filesystem::is_directory(path, failed)) {
        error = "Datei " + path + " nicht lesbar (ein Ordner)";
        return false;
    }
    if (const auto size = std::filesystem::file_size(path, failed); !failed && size > MAX_KEY_FILE) {
        error = "Datei " + path + " ist zu groß für eine Schlüsseldatei";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "Datei " + path + " nicht lesbar";
        return false;
    }
    std::string line;
    long number = 0;
    const std::size_t before = m_keys.size();
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        // The name may hold blanks (a till id); the Base64 key holds none, so it is the last word.
        const auto last = line.find_last_not_of(" \t");
        const auto gap = line.find_last_of(" \t", last);
        const std::string where = "Datei " + path + ", Zeile " + std::to_string(number);
        if (gap == std::string::npos || gap < first) {
            error = where + ": erwartet „<Kassen-ID> <öffentlicher Schlüssel>“";
            return false;
        }
        const std::string name = line.substr(first, line.find_last_not_of(" \t", gap) - first + 1);
        const std::string keyText = line.substr(gap + 1, last - gap);
        EvpPkeyPtr key;
        if (const auto der = base64Decode(keyText)) {
            const auto* data = der->data();
            key.reset(d2i_PUBKEY(nullptr, &data, static_cast<long>(der->size())));
            if (!key) {
                const X509Ptr certificate = certificateFromBase64(keyText);
                EVP_PKEY* inside = certificate ? X509_get0_pubkey(certificate.get()) : nullptr;
                if (inside != nullptr && EVP_PKEY_up_ref(inside) == 1) {
                    key.reset(inside);
                }
            }
        }
        ERR_clear_error();
        if (!key) {
            error = where + ": kein öffentlicher Schlüssel (Base64 DER) für " + name;
            return false;
        }
        if (!isP256(key.get())) {
            error = where + ": der Schlüssel für " + name + " ist kein P-256-Schlüssel";
            return false;
        }
        m_keys.insert_or_assign(name, std::move(key));
    }
    if (in.bad()) {
        error = "Datei " + path + " nicht lesbar";
        return false;
    }
    if (m_keys.size() == before) {
        error = path + " enthält keinen Schlüssel";
        return false;
    }
    return true;
}

EVP_PKEY* DepPublicKeys::find(std::string_view kassenId, std::string_view keyName) const
{
    if (const auto found = m_keys.find(kassenId); found != m_keys.end()) {
        return found->second.get();
    }
    const auto found = m_keys.find(keyName);
    return found != m_keys.end() ? found->second.get() : nullptr;
}

std::string grouped(long number)
{
    const std::string digits = std::to_string(number < 0 ? -static_cast<long long>(number) : number);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ' ';
        }
        text += digits[i];
    }
    return number < 0 ? "-" + text : text;
}

namespace {

std::string counted(long number, const char* one, const char* many)
{
    return grouped(number) + " " + (number == 1 ? one : many);
}

// Euro with decimal comma; also for the values a wrong key makes out of a counter.
std::string euro(std::int64_t cents)
{
    return cents == std::numeric_limits<std::int64_t>::min() ? "-92233720368547758,08" : formatAmount(cents);
}

constexpr std::string_view CLOSED_SYSTEM = "R1-AT0";

// Serials are hexadecimal numbers: "3C00D1F1" and "3c00d1f1", "0abcdef1" and "abcdef1" are the same. Anything else
// (a closed system's "U:ATU…-K1") must be spelled the same.
bool sameSerial(std::string_view a, std::string_view b)
{
    const auto hex = [](std::string_view text) {
        return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
    };
    if (!hex(a) || !hex(b)) {
        return a == b;
    }
    const auto digits = [](std::string_view text) {
        const auto first = text.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view() : text.substr(first);
    };
    a = digits(a);
    b = digits(b);
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// A hexadecimal serial in decimal digits ("0abcdef1" → "180150001"); "" for no hex number.
std::string decimalOfHex(std::string_view hex)
{
    std::vector<int> digits; // decimal, most significant first
    for (const char c : hex) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            return {};
        }
        int carry = std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0' : std::tolower(c) - 'a' + 10;
        for (auto digit = digits.rbegin(); digit != digits.rend(); ++digit) {
            const int value = *digit * 16 + carry;
            *digit = value % 10;
            carry = value / 10;
        }
        for (; carry > 0; carry /= 10) {
            digits.insert(digits.begin(), carry % 10);
        }
    }
    std::string text;
    for (const int digit : digits) {
        text += static_cast<char>('0' + digit);
    }
    return text.empty() ? std::string(hex.empty() ? "" : "0") : text;
}

// An amount field "-0,00" read as "0,00", so that signed data the regulation has no rule for can still be checked.
// Nothing when no amount field is "-0,00".
std::optional<std::string> withoutNegativeZero(std::string_view signedData)
{
    auto parts = splitUnderscore(signedData);
    bool changed = false;
    for (std::size_t i = 5; i < 10 && i < parts.size(); ++i) {
        if (parts[i] == "-0,00") {
            parts[i] = "0,00";
            changed = true;
        }
    }
    if (!changed) {
        return std::nullopt;
    }
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        text += i == 0 ? "" : "_";
        text += parts[i];
    }
    return text;
}

// ---- Faults ----------------------------------------------------------------------------------------------------

// The faults found, all counted, the first `max` in file order kept. Faults come out of file order (signatures come
// back from the threads, receipt ids are compared at the end), so each carries its place: 2p for receipt p, 2k+1
// for a group whose first receipt follows receipt k.
class FaultList
{
public:
    explicit FaultList(std::size_t max)
        : m_max(max)
    {}

    void add(std::uint64_t order, DepFault fault)
    {
        ++m_count;
        if (m_max == 0) {
            return;
        }
        Entry entry{order, m_sequence++, std::move(fault)};
        if (m_kept.size() < m_max) {
            m_kept.push(std::move(entry));
        } else if (entry < m_kept.top()) {
            m_kept.pop();
            m_kept.push(std::move(entry));
        }
    }

    long count() const { return m_count; }

    std::vector<DepFault> sorted()
    {
        std::vector<Entry> entries;
        while (!m_kept.empty()) {
            entries.push_back(m_kept.top());
            m_kept.pop();
        }
        std::sort(entries.begin(), entries.end());
        std::vector<DepFault> faults;
        for (auto& entry : entries) {
            faults.push_back(std::move(entry.fault));
        }
        return faults;
    }

private:
    struct Entry
    {
        std::uint64_t order = 0;
        std::uint64_t sequence = 0;
        DepFault fault;
        bool operator<(const Entry& other) const
        {
            return order != other.order ? order < other.order : sequence < other.sequence;
        }
    };
    std::size_t m_max;
    long m_count = 0;
    std::uint64_t m_sequence = 0;
    std::priority_queue<Entry> m_kept;
};

std::uint64_t receiptOrder(long position)
{
    return 2 * static_cast<std::uint64_t>(position);
}

// ---- Reading -----------------------------------------------------------------------------------------------------

// Reads the source in large blocks and counts the bytes handed on, for the progress. The parser keeps a whole text
// (or a run of blanks, a number) in memory: the input ends before one longer than MAX_TOKEN_BYTES, and tooLong() says
// so, so memory stays bounded whatever the file holds.
class CountingBuffer : public std::streambuf
{
public:
    explicit CountingBuffer(std::streambuf* source)
        : m_source(source)
        , m_buffer(READ_BUFFER_BYTES)
    {}
    std::uint64_t consumed() const { return m_total - static_cast<std::uint64_t>(egptr() - gptr()); }
    bool tooLong() const { return m_tooLong; }

protected:
    int_type underflow() override
    {
        if (gptr() < egptr()) {
            return traits_type::to_int_type(*gptr());
        }
        const std::streamsize read =
            m_source != nullptr ? m_source->sgetn(m_buffer.data(), static_cast<std::streamsize>(m_buffer.size())) : 0;
        if (read <= 0 || m_tooLong) {
            return traits_type::eof();
        }
        const std::size_t usable = scan(static_cast<std::size_t>(read));
        m_total += usable;
        if (usable == 0) {
            return traits_type::eof();
        }
        setg(m_buffer.data(), m_buffer.data(), m_buffer.data() + usable);
        return traits_type::to_int_type(*gptr());
    }

private:
    // The bytes of the block up to the one that makes a token too long (all of them when none does).
    std::size_t scan(std::size_t size)
    {
        const char* bytes = m_buffer.data();
        for (std::size_t i = 0; i < size; ++i) {
            const char c = bytes[i];
            if (m_inString) {
                if (m_escape) {
                    m_escape = false;
                } else if (c == '\\') {
                    m_escape = true;
                } else if (c == '"') {
                    m_inString = false;
                    m_run = 0;
                    continue;
                }
            } else if (c == '"') {
                m_inString = true;
                m_run = 0;
                continue;
            } else if (c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':') {
                m_run = 0;
                continue;
            }
            if (++m_run > MAX_TOKEN_BYTES) {
                m_tooLong = true;
                return i;
            }
        }
        return size;
    }

    std::streambuf* m_source;
    std::vector<char> m_buffer;
    std::uint64_t m_total = 0;
    std::size_t m_run = 0;
    bool m_inString = false;
    bool m_escape = false;
    bool m_tooLong = false;
};

// What the reading thread knows of a till: the chain, the counter, the date.
struct Till
{
    std::string startChain;
    std::string previousChain;
    bool seen = false;
    bool failureRun = false; //!< the last receipts were failure-marked: a collective null receipt is due
    std::int64_t running = 0;
    std::size_t counterBytes = 0;
    std::string lastDateTime;
};

// A receipt read before its group's certificate: checked once the certificate comes.
struct Pending
{
    long position = 0;
    std::string id;
    std::string serial;
    std::string input;
    RawSignature raw{};
    bool closedSystem = false;
};

class Checker : public nlohmann::json_sax<nlohmann::json>
{
public:
    Checker(const DepCheckOptions& options, std::uint64_t bytesTotal)
        : m_options(options)
        , m_faults(options.maxFaults)
        , m_warnings(options.maxFaults)
        , m_ids(options.idsInMemory)
        , m_bytesTotal(bytesTotal)
    {}

    DepCheckResult run(std::istream& in)
    {
        CountingBuffer counting(in.rdbuf());
        m_counting = &counting;
        std::istream stream(&counting);
        unsigned threads = m_options.threads != 0 ? m_options.threads : std::thread::hardware_concurrency();
        {
            SignaturePool pool(std::max(threads, 1u), m_options.stop);
            m_pool = &pool;
            m_lastProgress = Clock::now();
            const bool parsed = nlohmann::json::sax_parse(stream, this);
            if (parsed && m_error.empty() && !stopped()) {
                if (!m_sawGroups) {
                    m_error = "Kein DEP: das Element „Belege-Gruppe“ fehlt";
                }
            }
            if (m_error.empty() && !stopped()) {
                submitBatch();
            }
            pool.collect([this](const Batch& batch) { recordSignatures(batch); }, true);
            m_pool = nullptr;
        }
        DepCheckResult result;
        if (!m_error.empty()) {
            result.error = m_error;
            return result;
        }
        result.receipts = m_receipts;
        result.groups = m_groups;
        if (stopped()) {
            result.cancelled = true;
            reportProgress(true);
            return result;
        }
        const bool idsRead = m_ids.findRepeats([this](long position, long group, const std::string& id, long first) {
            fault(receiptOrder(position),
                  {position, id, "Belegnummer " + id + " kommt schon bei Beleg " + grouped(first) + " vor", group});
        });
        if (!idsRead) {
            result.error = "Prüfung nicht möglich: " + depcheck::temporaryFailure("Belegnummern");
            return result;
        }
        result.faultCount = m_faults.count();
        result.faults = m_faults.sorted();
        result.warningCount = m_warnings.count();
        result.warnings = m_warnings.sorted();
        reportProgress(true);
        return result;
    }

    // ---- SAX events ----

    bool null() override { return scalar(); }
    bool boolean(bool /*value*/) override { return scalar(); }
    bool number_integer(number_integer_t /*value*/) override { return scalar(); }
    bool number_unsigned(number_unsigned_t /*value*/) override { return scalar(); }
    bool number_float(number_float_t /*value*/, const string_t& /*text*/) override { return scalar(); }
    bool binary(binary_t& /*value*/) override { return scalar(); }

    bool string(string_t& value) override
    {
        if (m_skip > 0) {
            return true;
        }
        switch (m_where) {
        case Where::Group:
            if (m_key == "Signaturzertifikat") {
                certificate(value);
                return m_error.empty() && !stopped();
            }
            return m_key == "Zertifizierungsstellen" || m_key == "Belege-kompakt"
                       ? notDep("„" + m_key + "“ ist keine Liste")
                       : true;
        case Where::Issuers:
            issuer(value);
            return true;
        case Where::Receipts:
            receipt(value);
            return m_error.empty() && !stopped();
        default:
            return scalar();
        }
    }

    bool key(string_t& value) override
    {
        if (m_skip == 0) {
            m_key = value;
        }
        return true;
    }

    bool start_object(std::size_t /*elements*/) override
    {
        if (m_skip > 0) {
            ++m_skip;
            return true;
        }
        switch (m_where) {
        case Where::Start:
            m_where = Where::Top;
            return true;
        case Where::Groups:
            beginGroup();
            m_where = Where::Group;
            return true;
        case Where::Top:
            return m_key == "Belege-Gruppe" ? notDep("„Belege-Gruppe“ ist keine Liste") : skipValue();
        case Where::Group:
            return knownGroupMember() ? notDep("„" + m_key + "“ hat die falsche Form") : skipValue();
        default:
            return notDep(m_where == Where::Receipts ? "ein Beleg ist kein Text" : "ein Zertifikat ist kein Text");
        }
    }

    bool end_object() override
    {
        if (m_skip > 0) {
            --m_skip;
            return true;
        }
        if (m_where == Where::Group) {
            endGroup();
            m_where = Where::Groups;
        } else if (m_where == Where::Top) {
            m_where = Where::Done;
        }
        return m_error.empty() && !stopped();
    }

    bool start_array(std::size_t /*elements*/) override
    {
        if (m_skip > 0) {
            ++m_skip;
            return true;
        }
        switch (m_where) {
        case Where::Start:
            return notDep("die Datei ist kein JSON-Objekt");
        case Where::Top:
            if (m_key == "Belege-Gruppe") {
                m_sawGroups = true;
                m_where = Where::Groups;
                return true;
            }
            return skipValue();
        case Where::Group:
            if (m_key == "Zertifizierungsstellen") {
                m_group.issuersSeen = true;
                m_where = Where::Issuers;
                return true;
            }
            if (m_key == "Belege-kompakt") {
                m_group.receiptsSeen = true;
                m_where = Where::Receipts;
                return true;
            }
            return m_key == "Signaturzertifikat" ? notDep("„Signaturzertifikat“ ist kein Text") : skipValue();
        case Where::Groups:
            return notDep("ein Eintrag in „Belege-Gruppe“ ist kein Objekt");
        default:
            return notDep(m_where == Where::Receipts ? "ein Beleg ist kein Text" : "ein Zertifikat ist kein Text");
        }
    }

    bool end_array() override
    {
        if (m_skip > 0) {
            --m_skip;
            return true;
        }
        if (m_where == Where::Groups) {
            m_where = Where::Top;
        } else if (m_where == Where::Issuers || m_where == Where::Receipts) {
            m_where = Where::Group;
        }
        return true;
    }

    bool
    parse_error(std::size_t position, const std::string& /*token*/, const nlohmann::detail::exception& /*e*/) override
    {
        if (m_counting != nullptr && m_counting->tooLong() && m_where == Where::Receipts) {
            // Reported as the next receipt's fault; nothing after it can be read.
            const long position = m_receipts + 1;
            fault(receiptOrder(position),
                  {position,
                   "",
                   "Beleg länger als " + grouped(static_cast<long>(MAX_TOKEN_BYTES))
                       + " Zeichen, kein gültiger Beleg: die Prüfung endet hier",
                   m_group.index});
            return false;
        }
        if (m_error.empty() && m_counting != nullptr && m_counting->tooLong()) {
            m_error = "Kein DEP: ein Wert ist länger als " + grouped(static_cast<long>(MAX_TOKEN_BYTES))
                      + " Zeichen (bei Byte " + grouped(static_cast<long>(m_counting->consumed())) + ")";
        } else if (m_error.empty()) {
            // The parser counts the end of the input as one more character.
            m_error =
                m_counting != nullptr && position > m_counting->consumed()
                    ? "Kein DEP: kein gültiges JSON (die Datei endet vorzeitig)"
                    : "Kein DEP: kein gültiges JSON (Fehler bei Zeichen " + grouped(static_cast<long>(position)) + ")";
        }
        return false;
    }

private:
    enum class Where
    {
        Start,
        Top,
        Groups,
        Group,
        Issuers,
        Receipts,
        Done,
    };

    struct Group
    {
        long index = 0;
        std::uint64_t order = 0;
        bool certificateSeen = false;
        bool issuersSeen = false;
        bool receiptsSeen = false;
        long issuers = 0;
        std::vector<X509Ptr> issuerCertificates; //!< in list order; empty when one of them is unusable
        bool issuersUsable = true;
        std::shared_ptr<const GroupKey> key; //!< null while unknown or unusable
        std::string serial;
        std::string serialDecimal; //!< the serial in decimal digits, to tell a serial written so
        bool closed = false;       //!< the certificate is "": a closed system's group
        bool openReceipts = false; //!< receipts without R1-AT0 in a group without a certificate
        bool closedReceipts = false;
        std::set<std::string, std::less<>> keylessTills; //!< tills of a closed group reported without a key
        FilePtr pending{nullptr, &std::fclose};          //!< receipts read before the certificate
        long pendingCount = 0;
    };

    bool stopped()
    {
        if (!m_cancelled && m_options.stop != nullptr && m_options.stop->load(std::memory_order_relaxed)) {
            m_cancelled = true;
        }
        return m_cancelled;
    }

    bool notDep(const std::string& why)
    {
        m_error = "Kein DEP: " + why;
        return false;
    }

    bool scalar()
    {
        if (m_skip > 0) {
            return true;
        }
        switch (m_where) {
        case Where::Start:
            return notDep("die Datei ist kein JSON-Objekt");
        case Where::Top:
            return m_key == "Belege-Gruppe" ? notDep("„Belege-Gruppe“ ist keine Liste") : true;
        case Where::Group:
            return knownGroupMember() ? notDep("„" + m_key + "“ hat die falsche Form") : true;
        case Where::Groups:
            return notDep("ein Eintrag in „Belege-Gruppe“ ist kein Objekt");
        case Where::Receipts:
            return notDep("ein Beleg ist kein Text");
        case Where::Issuers:
            return notDep("ein Zertifikat ist kein Text");
        default:
            return true;
        }
    }

    bool knownGroupMember() const
    {
        return m_key == "Signaturzertifikat" || m_key == "Zertifizierungsstellen" || m_key == "Belege-kompakt";
    }

    bool skipValue()
    {
        m_skip = 1;
        return true;
    }

    void fault(std::uint64_t order, DepFault fault)
    {
        if (m_options.eachFault) {
            m_options.eachFault(fault);
        }
        m_faults.add(order, std::move(fault));
    }

    void groupFault(const std::string& text)
    {
        fault(m_group.order, {0, "", "Gruppe " + grouped(m_group.index) + ": " + text, m_group.index});
    }

    void receiptFault(long position, std::string_view id, std::string text)
    {
        fault(receiptOrder(position), {position, std::string(id), std::move(text), m_group.index});
    }

    // Something the regulation gives no rule for: shown, counted apart, and the DEP still passes.
    void receiptWarning(long position, std::string_view id, const std::string& text)
    {
        DepFault warning{position, std::string(id), "Warnung: " + text, m_group.index};
        if (m_options.eachFault) {
            m_options.eachFault(warning);
        }
        m_warnings.add(receiptOrder(position), std::move(warning));
    }

    // ---- Groups ----

    void beginGroup()
    {
        submitBatch();
        m_group = Group{};
        m_group.index = ++m_groups;
        m_group.order = 2 * static_cast<std::uint64_t>(m_receipts) + 1;
    }

    void endGroup()
    {
        if (!m_group.certificateSeen) {
            groupFault("Signaturzertifikat fehlt, die Signaturen sind nicht prüfbar");
        }
        if (m_group.closed && (m_group.openReceipts || !m_group.closedReceipts)) {
            groupFault("kein Signaturzertifikat, die Signaturen sind nicht prüfbar");
        }
        if (!m_group.issuersSeen) {
            groupFault("Zertifizierungsstellen fehlen");
        }
        if (!m_group.receiptsSeen) {
            groupFault("Belege-kompakt fehlt");
        }
        if (m_group.key && m_group.issuersUsable) {
            checkIssuers();
        }
        submitBatch();
        m_group.key.reset();
    }

    void certificate(std::string_view text)
    {
        if (m_group.certificateSeen) {
            groupFault("Signaturzertifikat steht zweimal in der Gruppe");
            return;
        }
        m_group.certificateSeen = true;
        if (text.empty()) {
            // A closed system's receipts are checked with the keys the auditor gives; any other receipt here is
            // reported at the group's end.
            m_group.closed = true;
        } else if (X509Ptr read = certificateFromBase64(text); !read) {
            groupFault("Signaturzertifikat ist kein Base64-DER-Zertifikat");
        } else if (EVP_PKEY* key = X509_get0_pubkey(read.get()); !isP256(key)) {
            groupFault("Signaturzertifikat trägt keinen P-256-Schlüssel");
        } else {
            auto groupKey = std::make_shared<GroupKey>();
            groupKey->key = key;
            m_group.serial = serialOf(read.get());
            m_group.serialDecimal = decimalOfHex(m_group.serial);
            groupKey->certificate = std::move(read);
            m_group.key = std::move(groupKey);
        }
        replayPending();
    }

    void issuer(std::string_view text)
    {
        ++m_group.issuers;
        X509Ptr read = certificateFromBase64(text);
        if (!read) {
            groupFault("Zertifizierungsstelle " + grouped(m_group.issuers) + " ist kein Base64-DER-Zertifikat");
            m_group.issuersUsable = false;
            m_group.issuerCertificates.clear();
        } else if (m_group.issuersUsable) {
            m_group.issuerCertificates.push_back(std::move(read));
        }
    }

    // Once per group: the issuing certificates form the chain (each signed by the next), and the chain leads to a
    // trust anchor.
    void checkIssuers()
    {
        // A link that does not verify leaves its reason in the thread's OpenSSL error queue.
        struct ClearErrors
        {
            ClearErrors() = default;
            ClearErrors(const ClearErrors&) = delete;
            ClearErrors& operator=(const ClearErrors&) = delete;
            ~ClearErrors() { ERR_clear_error(); }
        } clearErrors;
        X509* subject = m_group.key->certificate.get();
        const auto& issuers = m_group.issuerCertificates;
        for (std::size_t i = 0; i < issuers.size(); ++i) {
            if (!issued(issuers[i].get(), subject)) {
                groupFault("Zertifizierungsstelle " + grouped(static_cast<long>(i + 1)) + " hat "
                           + (i == 0 ? std::string("das Signaturzertifikat")
                                     : "Zertifizierungsstelle " + grouped(static_cast<long>(i)))
                           + " nicht ausgestellt (Signatur oder Aussteller passt nicht)");
                return;
            }
            subject = issuers[i].get();
        }
        if (m_options.trust != nullptr && !trusted()) {
            X509* certificate = m_group.key->certificate.get();
            groupFault("Signaturzertifikat nicht vertrauenswürdig: " + subjectOf(certificate) + ", Seriennummer "
                       + m_group.serial + " (weder registriert noch von einer bekannten Zertifizierungsstelle)");
        }
    }

    static bool issued(X509* issuer, X509* subject)
    {
        EVP_PKEY* key = X509_get0_pubkey(issuer);
        return key != nullptr && X509_check_issued(issuer, subject) == X509_V_OK && X509_verify(subject, key) == 1;
    }

    // The certificate or one of its issuers is an anchor, or the last of them was issued by one.
    bool trusted() const
    {
        const auto& anchors = m_options.trust->certificates();
        const auto isAnchor = [&anchors](X509* certificate) {
            return std::any_of(anchors.begin(), anchors.end(), [certificate](const X509Ptr& anchor) {
                return X509_cmp(anchor.get(), certificate) == 0;
            });
        };
        X509* last = m_group.key->certificate.get();
        if (isAnchor(last)) {
            return true;
        }
        for (const auto& issuer : m_group.issuerCertificates) {
            if (isAnchor(issuer.get())) {
                return true;
            }
            last = issuer.get();
        }
        return std::any_of(
            anchors.begin(), anchors.end(), [last](const X509Ptr& anchor) { return issued(anchor.get(), last); });
    }

    static std::string subjectOf(X509* certificate)
    {
        const BioPtr bio(BIO_new(BIO_s_mem()));
        if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253) < 0) {
            return "?";
        }
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio.get(), &data);
        return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string("(ohne Inhaber)");
    }

    // ---- Receipts ----

    void receipt(std::string_view jws)
    {
        const long position = ++m_receipts;
        if ((position & 0x3ff) == 0) {
            reportProgress(false);
        }
        const std::size_t firstDot = jws.find('.');
        const std::size_t secondDot = firstDot == std::string_view::npos ? firstDot : jws.find('.', firstDot + 1);
        if (secondDot == std::string_view::npos || jws.find('.', secondDot + 1) != std::string_view::npos) {
            receiptFault(position, "", "Kein kompaktes JWS (nicht drei mit Punkt getrennte Teile)");
            return;
        }
        const std::string_view header = jws.substr(0, firstDot);
        const std::string_view payload = jws.substr(firstDot + 1, secondDot - firstDot - 1);
        const std::string_view signature = jws.substr(secondDot + 1);
        const std::optional<Bytes> payloadBytes = base64UrlDecode(payload);
        if (!payloadBytes) {
            receiptFault(position, "", "Signierte Daten sind kein Base64URL-Text");
            return;
        }
        const std::string_view signedData(reinterpret_cast<const char*>(payloadBytes->data()), payloadBytes->size());
        std::string why;
        std::optional<ReceiptData> data = parseSignedData(signedData, &why);
        if (!data) {
            if (const auto readable = withoutNegativeZero(signedData)) {
                data = parseSignedData(*readable);
                if (data) {
                    receiptWarning(position, data->belegnummer, "Betrag -0,00 (negative Null), als 0,00 gelesen");
                }
            }
        }
        if (!data) {
            // The till's chain goes on from this receipt, so only this one is reported.
            const auto parts = splitUnderscore(signedData);
            const std::string_view id = parts.size() > 3 ? parts[3] : std::string_view();
            receiptFault(position, id, "Signierte Daten ungültig: " + why);
            if (parts.size() > 2) {
                Till& till = m_tills[std::string(parts[2])];
                till.seen = true;
                till.previousChain = chainValue(jws);
            }
            return;
        }
        const std::string& id = data->belegnummer;
        if (header != ES256_HEADER) {
            receiptFault(position, id, "JWS-Header ist nicht {\"alg\":\"ES256\"}");
        }
        const bool failed = signature == FAILED_SIGNATURE_JWS;
        RawSignature raw{};
        const bool hasSignature = !failed && depcheck::decodeRawSignature(signature, raw);
        if (!failed && !hasSignature) {
            receiptFault(position, id, "Signatur ist keine ES256-Signatur (64 Bytes Base64URL)");
        }
        const std::string_view input = jws.substr(0, secondDot);
        const bool closed = data->kassenAlgorithmus == CLOSED_SYSTEM;
        if (m_group.key) {
            checkSerial(position, id, data->zertifikatSeriennummer, closed);
            if (hasSignature) {
                queueSignature(position, input, id, raw, m_group.key);
            }
        } else if (m_group.closed) {
            closedSystemReceipt({position,
                                 std::string(id),
                                 data->zertifikatSeriennummer,
                                 hasSignature ? std::string(input) : std::string(),
                                 raw,
                                 closed},
                                data->kassenId);
        } else if (!m_group.certificateSeen) {
            keepPending(position, id, data->kassenId, data->zertifikatSeriennummer, input, raw, !hasSignature, closed);
        }
        checkOrder(position, jws, *data, failed);
    }

    void checkSerial(long position, std::string_view id, std::string_view serial, bool closedSystem)
    {
        if (closedSystem) {
            receiptFault(
                position, id, "Anbieterkennung R1-AT0 (geschlossenes System) in einer Gruppe mit Signaturzertifikat");
        }
        if (sameSerial(serial, m_group.serial)) {
            return;
        }
        if (!m_group.serialDecimal.empty()
            && std::all_of(serial.begin(), serial.end(), [](unsigned char c) { return std::isdigit(c); })
            && serial.substr(std::min(serial.find_first_not_of('0'), serial.size())) == m_group.serialDecimal) {
            receiptWarning(position,
                           id,
                           "Zertifikat-Seriennummer " + std::string(serial) + " ist dezimal geschrieben (hexadezimal "
                               + m_group.serial + ")");
        } else {
            receiptFault(position,
                         id,
                         "Zertifikat-Seriennummer " + std::string(serial) + " ist nicht die des Signaturzertifikats ("
                             + m_group.serial + ")");
        }
    }

    // A receipt in a group without a certificate: a closed system's is verified with its till's key.
    void closedSystemReceipt(const Pending& receipt, std::string_view kassenId)
    {
        if (!receipt.closedSystem) {
            m_group.openReceipts = true;
            return;
        }
        m_group.closedReceipts = true;
        if (receipt.input.empty()) {
            return; // failure-marked: nothing to verify
        }
        EVP_PKEY* key =
            m_options.publicKeys != nullptr ? m_options.publicKeys->find(kassenId, receipt.serial) : nullptr;
        if (key == nullptr) {
            if (m_group.keylessTills.emplace(kassenId).second) {
                receiptFault(receipt.position,
                             receipt.id,
                             "Kein öffentlicher Schlüssel für die Kassa " + std::string(kassenId)
                                 + " (geschlossenes System, R1-AT0): ihre Signaturen sind nicht prüfbar");
            }
            return;
        }
        auto& groupKey = m_closedKeys[key];
        if (!groupKey) {
            auto made = std::make_shared<GroupKey>();
            made->key = key;
            groupKey = std::move(made);
        }
        queueSignature(receipt.position, receipt.input, receipt.id, receipt.raw, groupKey);
    }

    void checkOrder(long position, std::string_view jws, const ReceiptData& data, bool failed)
    {
        const std::string& id = data.belegnummer;
        Till& till = m_tills[data.kassenId];
        if (till.startChain.empty()) {
            till.startChain = startChainValue(data.kassenId);
        }
        const bool start = data.sigVorigerBeleg == till.startChain;
        const std::int64_t amounts = data.betragSumme();
        if (!till.seen && !start) {
            receiptFault(position,
                         id,
                         "Erster Beleg der Kassa " + data.kassenId
                             + " ist kein Startbeleg (nicht mit der Kassen-ID "
                               "verkettet)");
        } else if (till.seen && start) {
            // Only a till's first receipt chains to its id; the sum still starts anew, so this is one fault.
            receiptFault(position,
                         id,
                         "Verkettung unterbrochen: zweiter Startbeleg der Kassa " + data.kassenId
                             + " (mit der Kassen-ID verkettet)");
        } else if (till.seen && !start && data.sigVorigerBeleg != till.previousChain) {
            receiptFault(position, id, "Verkettung unterbrochen: Sig-Voriger-Beleg passt nicht zum vorigen Beleg");
        }
        if (start) {
            if (failed) {
                receiptFault(position, id, "Startbeleg nicht signiert (Sicherheitseinrichtung ausgefallen)");
            }
            if (amounts != 0) {
                receiptFault(position, id, "Startbeleg mit Beträgen (Summe " + euro(amounts) + ")");
            }
            till.running = 0;
        }
        const bool training = data.standUmsatzZaehler == TRAINING_MARKER;
        const bool storno = data.standUmsatzZaehler == STORNO_MARKER;
        if (failed) {
            // A failure-marked start receipt is its own fault.
            till.failureRun = till.failureRun || !start;
        } else if (till.failureRun) {
            till.failureRun = false;
            if (amounts != 0 || training || storno) {
                receiptFault(
                    position,
                    id,
                    "Kein Sammelbeleg nach Ausfall der Sicherheitseinrichtung: der erste signierte Beleg danach "
                    "ist kein Nullbeleg");
            }
        }
        if (start && (training || storno)) {
            receiptFault(position, id, "Startbeleg ohne verschlüsselten Umsatzzähler");
        } else if (!training) {
            // Wrapping: after a wrong key the sum goes on from whatever a counter decrypts to.
            till.running = static_cast<std::int64_t>(static_cast<std::uint64_t>(till.running)
                                                     + static_cast<std::uint64_t>(start ? 0 : amounts));
            if (!storno) {
                checkCounter(position, data, till, start, !till.seen && !start);
            }
        }
        if (!till.lastDateTime.empty() && data.belegDatumUhrzeit < till.lastDateTime) {
            receiptFault(position,
                         id,
                         "Datum-Uhrzeit " + data.belegDatumUhrzeit + " liegt vor der des vorigen Belegs ("
                             + till.lastDateTime + ")");
        }
        till.lastDateTime = data.belegDatumUhrzeit;
        if (!m_ids.add(data.kassenId, id, position, m_group.index) && m_error.empty()) {
            m_error = "Prüfung nicht möglich: " + depcheck::temporaryFailure("Belegnummern");
        }
        till.seen = true;
        till.previousChain = chainValue(jws);
    }

    // With `unknownSum` (a till whose first receipt is no start receipt) the sum is taken from the counter.
    void checkCounter(long position, const ReceiptData& data, Till& till, bool start, bool unknownSum)
    {
        const std::string& id = data.belegnummer;
        const std::optional<Bytes> encrypted = base64Decode(data.standUmsatzZaehler);
        if (!encrypted || encrypted->size() < MIN_COUNTER_BYTES || encrypted->size() > MAX_COUNTER_BYTES) {
            receiptFault(position, id, "Umsatzzähler ist kein Base64-Text von 5 bis 16 Bytes");
            return;
        }
        if (till.counterBytes == 0) {
            till.counterBytes = encrypted->size();
        } else if (encrypted->size() != till.counterBytes) {
            receiptWarning(position,
                           id,
                           "Umsatzzähler hat " + std::to_string(encrypted->size()) + " Bytes statt "
                               + std::to_string(till.counterBytes) + " wie bisher in dieser Kassa");
            till.counterBytes = encrypted->size();
        }
        const std::optional<std::int64_t> counter =
            decryptTurnoverCounter(m_options.key, data.kassenId, id, data.standUmsatzZaehler);
        if (!counter) {
            receiptFault(position, id, "Umsatzzähler nicht entschlüsselbar");
        } else if (unknownSum) {
            till.running = *counter;
        } else if (*counter != till.running) {
            if (start) {
                receiptFault(position,
                             id,
                             "Umsatzzähler des Startbelegs " + euro(*counter)
                                 + " statt 0,00 – ist der AES-Schlüssel falsch?");
            } else {
                receiptFault(position, id, "Umsatzzähler " + euro(*counter) + " statt " + euro(till.running));
                // One wrong counter is one fault: the next receipts are compared with what this one says.
                till.running = *counter;
            }
        }
    }

    void queueSignature(long position,
                        std::string_view input,
                        std::string_view id,
                        const RawSignature& raw,
                        const std::shared_ptr<const GroupKey>& key)
    {
        if (m_batch && m_batch->key != key) {
            submitBatch();
        }
        if (!m_batch) {
            m_batch = m_pool->emptyBatch();
            m_batch->key = key;
        }
        m_batch->add(position, m_group.index, input, id, raw);
        if (m_batch->jobs.size() >= depcheck::BATCH_RECEIPTS) {
            submitBatch();
        }
    }

    void submitBatch()
    {
        if (m_batch && !m_batch->jobs.empty() && !stopped()) {
            m_pool->submit(std::move(m_batch));
        }
        m_batch.reset();
        m_pool->collect([this](const Batch& batch) { recordSignatures(batch); }, false);
    }

    void recordSignatures(const Batch& batch)
    {
        for (const std::size_t index : batch.failed) {
            const Batch::Job& job = batch.jobs[index];
            fault(receiptOrder(job.position),
                  {job.position, batch.text.substr(job.idOffset, job.idLength), "Signatur ungültig", job.group});
        }
    }

    void keepPending(long position,
                     std::string_view id,
                     std::string_view kassenId,
                     std::string_view serial,
                     std::string_view input,
                     const RawSignature& raw,
                     bool noSignature,
                     bool closedSystem)
    {
        if (!m_group.pending) {
            m_group.pending = depcheck::temporaryFile();
            if (!m_group.pending) {
                m_error = "Prüfung nicht möglich: " + depcheck::temporaryFailure("Belege vor dem Signaturzertifikat");
                return;
            }
        }
        std::FILE* file = m_group.pending.get();
        depcheck::writeNumber(file, static_cast<std::uint64_t>(position) * 2 + (closedSystem ? 1 : 0));
        depcheck::writeText(file, id);
        depcheck::writeText(file, kassenId);
        depcheck::writeText(file, serial);
        depcheck::writeText(file, noSignature ? std::string_view() : input);
        std::fwrite(raw.data(), 1, raw.size(), file);
        ++m_group.pendingCount;
    }

    void replayPending()
    {
        if (!m_group.pending) {
            return;
        }
        const FilePtr file = std::move(m_group.pending);
        std::rewind(file.get());
        Pending receipt;
        std::string kassenId;
        for (long i = 0; i < m_group.pendingCount && (m_group.key || m_group.closed) && !stopped(); ++i) {
            std::uint64_t position = 0;
            if (!depcheck::readNumber(file.get(), position) || !depcheck::readText(file.get(), receipt.id)
                || !depcheck::readText(file.get(), kassenId) || !depcheck::readText(file.get(), receipt.serial)
                || !depcheck::readText(file.get(), receipt.input)
                || std::fread(receipt.raw.data(), 1, receipt.raw.size(), file.get()) != receipt.raw.size()) {
                m_error = "Prüfung nicht möglich: " + depcheck::temporaryFailure("Belege vor dem Signaturzertifikat");
                return;
            }
            receipt.position = static_cast<long>(position / 2);
            receipt.closedSystem = (position & 1) != 0;
            if (m_group.closed) {
                closedSystemReceipt(receipt, kassenId);
                continue;
            }
            checkSerial(receipt.position, receipt.id, receipt.serial, receipt.closedSystem);
            if (!receipt.input.empty()) {
                queueSignature(receipt.position, receipt.input, receipt.id, receipt.raw, m_group.key);
            }
        }
    }

    void reportProgress(bool last)
    {
        if (!m_options.progress) {
            return;
        }
        const auto now = Clock::now();
        if (!last && now - m_lastProgress < PROGRESS_INTERVAL) {
            return;
        }
        m_lastProgress = now;
        m_options.progress({m_receipts, m_counting != nullptr ? m_counting->consumed() : 0, m_bytesTotal});
    }

    const DepCheckOptions& m_options;
    FaultList m_faults;
    FaultList m_warnings;
    ReceiptIds m_ids;
    //! Closed systems' keys as the signature batches take them, one per key.
    std::map<const EVP_PKEY*, std::shared_ptr<const GroupKey>> m_closedKeys;
    std::uint64_t m_bytesTotal;
    CountingBuffer* m_counting = nullptr;
    SignaturePool* m_pool = nullptr;
    std::unique_ptr<Batch> m_batch;
    Clock::time_point m_lastProgress;

    Where m_where = Where::Start;
    std::string m_key;
    int m_skip = 0;
    bool m_sawGroups = false;
    bool m_cancelled = false;
    std::string m_error;

    Group m_group;
    long m_groups = 0;
    long m_receipts = 0;
    std::map<std::string, Till> m_tills;
};

} // namespace

std::string DepCheckResult::summary() const
{
    if (!error.empty()) {
        return error;
    }
    if (cancelled) {
        return "Prüfung abgebrochen nach " + counted(receipts, "Beleg", "Belegen");
    }
    if (receipts == 0 && faultCount == 0) {
        return "Das DEP enthält keine Belege, es ist nichts geprüft";
    }
    return counted(receipts, "Beleg", "Belege") + " in " + counted(groups, "Gruppe", "Gruppen")
           + " geprüft: " + (faultCount == 0 ? std::string("in Ordnung") : grouped(faultCount) + " Fehler")
           + (warningCount == 0 ? std::string() : ", " + counted(warningCount, "Warnung", "Warnungen"));
}

namespace {

//! The check verifies signatures and certificates with libcrypto: without it, nothing is checked.
bool cannotCheck(DepCheckResult& result)
{
    std::string why;
    if (cryptoLibraryReady(why)) {
        return false;
    }
    result.error = "Das DEP kann nicht geprüft werden: " + why;
    return true;
}

} // namespace

DepCheckResult checkDep(std::istream& in, const DepCheckOptions& options)
{
    if (DepCheckResult refused; cannotCheck(refused)) {
        return refused;
    }
    return Checker(options, 0).run(in);
}

DepCheckResult checkDepFile(const std::string& path, const DepCheckOptions& options)
{
    if (DepCheckResult refused; cannotCheck(refused)) {
        return refused;
    }
    std::error_code error;
    std::ifstream file;
    // A folder opens as a stream on some systems and reads as nothing: it is no readable file.
    if (!std::filesystem::is_directory(path, error)) {
        file.open(path, std::ios::binary);
    }
    if (!file.is_open() || !file) {
        DepCheckResult result;
        result.error = "Datei " + path + " nicht lesbar";
        return result;
    }
    const auto size = std::filesystem::file_size(path, error);
    return Checker(options, error ? 0 : static_cast<std::uint64_t>(size)).run(file);
}

} // namespace rksv

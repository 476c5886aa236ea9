#include "rksv/format/OpenSsl.h"

#include "base/LateLibrary.h"
#include "rksv/format/Encoding.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>

namespace rksv {

bool cryptoLibraryReady(std::string& why)
{
    // 0 only from the program's forwarder when libcrypto cannot be opened.
    if (OpenSSL_version_num() != 0) {
        return true;
    }
    why = base::lateLibraryProblem();
    if (why.empty()) {
        why = "Die Bibliothek OpenSSL (libcrypto) kann nicht geladen werden.";
    }
    return false;
}

Sha256Digest sha256(std::span<const std::uint8_t> bytes)
{
    // Fetched once: SHA256() looks the digest up by name at every call.
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    Sha256Digest digest{};
    if (algorithm == nullptr
        || EVP_Digest(bytes.data(), bytes.size(), digest.data(), nullptr, algorithm, nullptr) != 1) {
        SHA256(bytes.data(), bytes.size(), digest.data());
    }
    return digest;
}

EvpPkeyPtr generateP256Key()
{
    const EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1
        || EVP_PKEY_CTX_set_group_name(context.get(), "P-256") != 1) {
        return nullptr;
    }
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_generate(context.get(), &key) != 1) {
        return nullptr;
    }
    return EvpPkeyPtr(key);
}

X509Ptr certificateFromBase64(std::string_view base64)
{
    const auto der = base64Decode(base64);
    if (!der || der->empty()) {
        return {};
    }
    const unsigned char* data = der->data();
    X509Ptr certificate(d2i_X509(nullptr, &data, static_cast<long>(der->size())));
    // Trailing bytes after the certificate mean the text is not one DER certificate.
    if (certificate && data != der->data() + der->size()) {
        return {};
    }
    return certificate;
}

std::string serialOf(X509* certificate)
{
    const BignumPtr number(ASN1_INTEGER_to_BN(X509_get_serialNumber(certificate), nullptr));
    if (!number) {
        return {};
    }
    char* hex = BN_bn2hex(number.get());
    if (hex == nullptr) {
        return {};
    }
    std::string result = hex;
    OPENSSL_free(hex);
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) { return std::tolower(c); });
    return result;
}

std::optional<std::string> derBase64(X509* certificate)
{
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length <= 0) {
        return std::nullopt;
    }
    std::string result = base64Encode(std::span<const std::uint8_t>(der, static_cast<std::size_t>(length)));
    OPENSSL_free(der);
    return result;
}

bool isP256(EVP_PKEY* key)
{
    if (key == nullptr || EVP_PKEY_is_a(key, "EC") != 1) {
        return false;
    }
    std::array<char, 64> group{};
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(key, group.data(), group.size(), &length) != 1) {
        return false;
    }
    const std::string_view name(group.data(), length);
    return name == "prime256v1" || name == "P-256";
}

} // namespace rksv

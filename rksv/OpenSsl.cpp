#include "rksv/OpenSsl.h"

#include "rksv/Encoding.h"

#include <openssl/sha.h>

namespace rksv {

Sha256Digest sha256(std::span<const std::uint8_t> bytes)
{
    Sha256Digest digest{};
    SHA256(bytes.data(), bytes.size(), digest.data());
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

} // namespace rksv

#include "rksv/OpenSsl.h"

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

} // namespace rksv

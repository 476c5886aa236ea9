#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace rksv {

//! Deleter that calls the OpenSSL free function `Free`; the one place each object type is released.
template <auto Free> struct OpenSslFree
{
    template <typename T> void operator()(T* object) const noexcept { Free(object); }
};

//! Owning pointers for the OpenSSL objects this library hands out or uses.
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<&EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<&EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslFree<&EVP_MD_CTX_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OpenSslFree<&EVP_CIPHER_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<&X509_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, OpenSslFree<&ECDSA_SIG_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslFree<&BN_free>>;

using Sha256Digest = std::array<std::uint8_t, 32>;

//! Whether libcrypto can be used. The program opens it on first use (base/LateLibrary.h); where the installation
//! lacks it, `why` says so in German, and the feature that needs it refuses with that reason before it begins.
[[nodiscard]] bool cryptoLibraryReady(std::string& why);

//! SHA-256 of the bytes.
Sha256Digest sha256(std::span<const std::uint8_t> bytes);

//! A certificate from the standard Base64 of its DER form; null unless the text is exactly one certificate.
[[nodiscard]] X509Ptr certificateFromBase64(std::string_view base64);

//! The certificate's serial number in lower-case hex, two digits per byte, as the card register and FinanzOnline
//! know a card; "" when OpenSSL fails.
[[nodiscard]] std::string serialOf(X509* certificate);

//! The certificate as standard Base64 of its DER form; nothing when OpenSSL fails.
[[nodiscard]] std::optional<std::string> derBase64(X509* certificate);

//! True for an EC key on P-256 (prime256v1).
[[nodiscard]] bool isP256(EVP_PKEY* key);

//! A fresh ECDSA key on P-256 (prime256v1); null if OpenSSL fails.
[[nodiscard]] EvpPkeyPtr generateP256Key();

} // namespace rksv

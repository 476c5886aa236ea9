#pragma once

#include "rksv/format/Encoding.h"
#include "rksv/format/OpenSsl.h"

#include <openssl/types.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace rksv {

//! Base64URL of `{"alg":"ES256"}`, the only header a receipt's JWS may carry.
inline constexpr std::string_view ES256_HEADER = "eyJhbGciOiJFUzI1NiJ9";
//! What stands in place of the signature when the signature unit failed.
inline constexpr std::string_view FAILED_SIGNATURE_TEXT = "Sicherheitseinrichtung ausgefallen";
//! FAILED_SIGNATURE_TEXT as the JWS's third part (Base64URL, no padding) ...
inline constexpr std::string_view FAILED_SIGNATURE_JWS = "U2ljaGVyaGVpdHNlaW5yaWNodHVuZyBhdXNnZWZhbGxlbg";
//! ... and as the last field of the machine-readable code (standard Base64).
inline constexpr std::string_view FAILED_SIGNATURE_CODE = "U2ljaGVyaGVpdHNlaW5yaWNodHVuZyBhdXNnZWZhbGxlbg==";

//! Length of a raw ES256 signature R‖S in bytes.
inline constexpr std::size_t ES256_SIGNATURE_BYTES = 64;

//! The three parts of a compact JWS, still encoded.
struct CompactJws
{
    std::string header;
    std::string payload;
    std::string signature;
};

//! Splits `header.payload.signature`. Nothing unless there are exactly three non-empty parts, each valid Base64URL
//! without padding, and the header is ES256_HEADER.
[[nodiscard]] std::optional<CompactJws> parseCompactJws(std::string_view jws);

//! The signed data (the `_R1-AT…` text) inside a compact JWS; nothing if parseCompactJws fails.
[[nodiscard]] std::optional<std::string> signedDataOfJws(std::string_view jws);

//! The ASCII text that is signed: `ES256_HEADER.Base64URL(signedData)`.
std::string signingInput(std::string_view signedData);

//! True when the JWS's third part is the failure marker.
[[nodiscard]] bool isFailedSignature(std::string_view jws);

//! The compact JWS of a receipt whose signature unit failed.
std::string failedCompactJws(std::string_view signedData);

//! ECDSA P-256 with SHA-256 over `input`, as raw R‖S (64 bytes). Nothing, with a German reason, unless `key` is a
//! P-256 private key and OpenSSL signs. The key is not taken over.
[[nodiscard]] std::optional<Bytes> signEs256(EVP_PKEY* key, std::string_view input, std::string* fehler = nullptr);
/**
 * ES256 signatures with one key again and again: the key's curve is checked and the signing set up once, each
 * signature starts from a copy of that set-up. As signEs256 otherwise.
 */
class Es256Signer
{
public:
    //! Not ok() unless `key` is a P-256 private key; the key is not taken over (the signer keeps a reference).
    explicit Es256Signer(EVP_PKEY* key);
    [[nodiscard]] bool ok() const { return m_prepared != nullptr; }
    [[nodiscard]] std::optional<Bytes> sign(std::string_view input, std::string* fehler = nullptr) const;

private:
    EvpMdCtxPtr m_prepared;
};

//! Checks a raw R‖S signature over `input` with the public part of `key` (P-256). False for any other length.
[[nodiscard]] bool verifyEs256(EVP_PKEY* key, std::string_view input, std::span<const std::uint8_t> rawSignature);

//! Signs the receipt's signed data and returns the complete compact JWS.
[[nodiscard]] std::optional<std::string>
signCompactJws(EVP_PKEY* key, std::string_view signedData, std::string* fehler = nullptr);

//! Checks a compact JWS against a public (or private) P-256 key. False, with a German reason, for a malformed JWS,
//! a failure-marked one, or a signature that does not match.
[[nodiscard]] bool verifyCompactJws(std::string_view jws, EVP_PKEY* key, std::string* fehler = nullptr);

//! Same with the public key of the signing certificate. The certificate is not taken over; its validity dates and
//! chain are not checked here.
[[nodiscard]] bool
verifyCompactJwsWithCertificate(std::string_view jws, X509* certificate, std::string* fehler = nullptr);

//! DER (ASN.1 SEQUENCE of two INTEGERs) to raw R‖S with each half left-padded to 32 bytes, and back.
[[nodiscard]] std::optional<Bytes> derToRawSignature(std::span<const std::uint8_t> der);
[[nodiscard]] std::optional<Bytes> rawToDerSignature(std::span<const std::uint8_t> raw);

//! The machine-readable code (QR content) of a compact JWS: signed data, `_`, and the signature in standard Base64
//! with padding. Nothing unless the JWS is well-formed, carries valid signed data and a 64-byte signature or the
//! failure marker.
[[nodiscard]] std::optional<std::string> jwsToMachineCode(std::string_view jws);

//! The compact JWS of a machine-readable code; the reverse of jwsToMachineCode, with the same checks. Nothing for a
//! code that does not begin with `_R1-AT`, has not 14 segments, or is outside 100..1000 characters.
[[nodiscard]] std::optional<std::string> machineCodeToJws(std::string_view code);

//! Chaining value for the next receipt: Base64 of the first 8 bytes of SHA-256 over the previous receipt's complete
//! compact JWS as stored.
std::string chainValue(std::string_view previousJws);

//! Chaining value of the start receipt: the same over the Kassen-ID.
std::string startChainValue(std::string_view kassenId);

} // namespace rksv

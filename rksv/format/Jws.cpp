#include "rksv/format/Jws.h"

#include "rksv/format/OpenSsl.h"
#include "rksv/format/Receipt.h"

#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>

namespace rksv {

namespace {

constexpr std::size_t COORDINATE_BYTES = 32;
constexpr std::size_t CHAIN_BYTES = 8;
constexpr std::size_t MACHINE_CODE_SEGMENTS = 14;
constexpr std::size_t MACHINE_CODE_MIN_LENGTH = 100;
constexpr std::size_t MACHINE_CODE_MAX_LENGTH = 1000;

void setError(std::string* fehler, std::string text)
{
    if (fehler != nullptr) {
        *fehler = std::move(text);
    }
}

// The signature bytes a receipt may carry: a raw ES256 signature or the failure text.
bool isAcceptedSignature(const Bytes& signature)
{
    return signature.size() == ES256_SIGNATURE_BYTES || toText(signature) == FAILED_SIGNATURE_TEXT;
}

std::string chainOver(std::string_view text)
{
    const Sha256Digest digest = sha256(asBytes(text));
    return base64Encode(std::span(digest).first(CHAIN_BYTES));
}

} // namespace

std::optional<CompactJws> parseCompactJws(std::string_view jws)
{
    const std::size_t firstDot = jws.find('.');
    if (firstDot == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t secondDot = jws.find('.', firstDot + 1);
    if (secondDot == std::string_view::npos || jws.find('.', secondDot + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    CompactJws parts{std::string(jws.substr(0, firstDot)),
                     std::string(jws.substr(firstDot + 1, secondDot - firstDot - 1)),
                     std::string(jws.substr(secondDot + 1))};
    if (parts.header != ES256_HEADER || parts.payload.empty() || parts.signature.empty()
        || !base64UrlDecode(parts.payload) || !base64UrlDecode(parts.signature)) {
        return std::nullopt;
    }
    return parts;
}

std::optional<std::string> signedDataOfJws(std::string_view jws)
{
    const std::optional<CompactJws> parts = parseCompactJws(jws);
    if (!parts) {
        return std::nullopt;
    }
    return toText(*base64UrlDecode(parts->payload));
}

std::string signingInput(std::string_view signedData)
{
    return std::string(ES256_HEADER) + "." + base64UrlEncode(asBytes(signedData));
}

bool isFailedSignature(std::string_view jws)
{
    const std::optional<CompactJws> parts = parseCompactJws(jws);
    return parts && parts->signature == FAILED_SIGNATURE_JWS;
}

std::string failedCompactJws(std::string_view signedData)
{
    return signingInput(signedData) + "." + std::string(FAILED_SIGNATURE_JWS);
}

namespace {

//! The DER signature's R‖S, with the German reason when it has an unexpected form.
std::optional<Bytes> rawOf(Bytes der, std::size_t derLength, std::string* fehler)
{
    der.resize(derLength);
    std::optional<Bytes> raw = derToRawSignature(der);
    if (!raw) {
        setError(fehler, "Die erstellte Signatur hat ein unerwartetes Format.");
    }
    return raw;
}

// The longest DER ECDSA signature on P-256: a sequence of two 33-byte integers.
constexpr std::size_t MAX_P256_DER_BYTES = 72;

//! SHA-256, fetched once: the implicit fetch behind EVP_sha256() looks the digest up by name at every signature.
const EVP_MD* sha256Algorithm()
{
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return algorithm;
}

} // namespace

std::optional<Bytes> signEs256(EVP_PKEY* key, std::string_view input, std::string* fehler)
{
    if (!isP256(key)) {
        setError(fehler, "Der Signaturschlüssel ist kein ECDSA-Schlüssel auf der Kurve P-256.");
        return std::nullopt;
    }
    return Es256Signer(key).sign(input, fehler);
}

Es256Signer::Es256Signer(EVP_PKEY* key)
{
    if (!isP256(key) || sha256Algorithm() == nullptr) {
        return;
    }
    EvpMdCtxPtr prepared(EVP_MD_CTX_new());
    if (prepared && EVP_DigestSignInit(prepared.get(), nullptr, sha256Algorithm(), nullptr, key) == 1) {
        m_prepared = std::move(prepared);
    }
}

std::optional<Bytes> Es256Signer::sign(std::string_view input, std::string* fehler) const
{
    const EvpMdCtxPtr context(EVP_MD_CTX_new());
    if (!m_prepared || !context || EVP_MD_CTX_copy_ex(context.get(), m_prepared.get()) != 1) {
        setError(fehler, "Die Signatur konnte nicht erstellt werden (kein privater Schlüssel?).");
        return std::nullopt;
    }
    Bytes der(MAX_P256_DER_BYTES);
    std::size_t derLength = der.size();
    if (EVP_DigestSign(context.get(), der.data(), &derLength, asBytes(input).data(), input.size()) != 1) {
        setError(fehler, "Die Signatur konnte nicht erstellt werden.");
        return std::nullopt;
    }
    return rawOf(std::move(der), derLength, fehler);
}

bool verifyEs256(EVP_PKEY* key, std::string_view input, std::span<const std::uint8_t> rawSignature)
{
    if (!isP256(key) || rawSignature.size() != ES256_SIGNATURE_BYTES) {
        return false;
    }
    const std::optional<Bytes> der = rawToDerSignature(rawSignature);
    const EvpMdCtxPtr context(EVP_MD_CTX_new());
    return der && context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1
           && EVP_DigestVerify(context.get(), der->data(), der->size(), asBytes(input).data(), input.size()) == 1;
}

std::optional<std::string> signCompactJws(EVP_PKEY* key, std::string_view signedData, std::string* fehler)
{
    const std::string input = signingInput(signedData);
    const std::optional<Bytes> signature = signEs256(key, input, fehler);
    if (!signature) {
        return std::nullopt;
    }
    return input + "." + base64UrlEncode(*signature);
}

bool verifyCompactJws(std::string_view jws, EVP_PKEY* key, std::string* fehler)
{
    const std::optional<CompactJws> parts = parseCompactJws(jws);
    if (!parts) {
        setError(fehler, "Der Beleg ist kein gültiges kompaktes JWS.");
        return false;
    }
    if (parts->signature == FAILED_SIGNATURE_JWS) {
        setError(fehler, "Der Beleg trägt keine Signatur (Sicherheitseinrichtung ausgefallen).");
        return false;
    }
    const Bytes signature = *base64UrlDecode(parts->signature);
    if (!verifyEs256(key, parts->header + "." + parts->payload, signature)) {
        setError(fehler, "Die Signatur des Belegs ist ungültig.");
        return false;
    }
    return true;
}

bool verifyCompactJwsWithCertificate(std::string_view jws, X509* certificate, std::string* fehler)
{
    EVP_PKEY* key = certificate != nullptr ? X509_get0_pubkey(certificate) : nullptr;
    if (key == nullptr) {
        setError(fehler, "Das Zertifikat enthält keinen lesbaren öffentlichen Schlüssel.");
        return false;
    }
    return verifyCompactJws(jws, key, fehler);
}

std::optional<Bytes> derToRawSignature(std::span<const std::uint8_t> der)
{
    const unsigned char* cursor = der.data();
    const EcdsaSigPtr signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
    // Trailing bytes after the SEQUENCE would make two DER texts mean the same signature.
    if (!signature || cursor != der.data() + der.size()) {
        return std::nullopt;
    }
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(signature.get(), &r, &s);
    Bytes raw(ES256_SIGNATURE_BYTES);
    if (BN_bn2binpad(r, raw.data(), COORDINATE_BYTES) != static_cast<int>(COORDINATE_BYTES)
        || BN_bn2binpad(s, raw.data() + COORDINATE_BYTES, COORDINATE_BYTES) != static_cast<int>(COORDINATE_BYTES)) {
        return std::nullopt;
    }
    return raw;
}

std::optional<Bytes> rawToDerSignature(std::span<const std::uint8_t> raw)
{
    if (raw.size() != ES256_SIGNATURE_BYTES) {
        return std::nullopt;
    }
    BignumPtr r(BN_bin2bn(raw.data(), COORDINATE_BYTES, nullptr));
    BignumPtr s(BN_bin2bn(raw.data() + COORDINATE_BYTES, COORDINATE_BYTES, nullptr));
    EcdsaSigPtr signature(ECDSA_SIG_new());
    if (!r || !s || !signature || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) {
        return std::nullopt;
    }
    // The signature object owns both numbers now.
    static_cast<void>(r.release());
    static_cast<void>(s.release());
    const int length = i2d_ECDSA_SIG(signature.get(), nullptr);
    if (length <= 0) {
        return std::nullopt;
    }
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    if (i2d_ECDSA_SIG(signature.get(), &cursor) != length) {
        return std::nullopt;
    }
    return der;
}

std::optional<std::string> jwsToMachineCode(std::string_view jws)
{
    const std::optional<CompactJws> parts = parseCompactJws(jws);
    if (!parts) {
        return std::nullopt;
    }
    const std::string signedData = toText(*base64UrlDecode(parts->payload));
    const Bytes signature = *base64UrlDecode(parts->signature);
    if (!parseSignedData(signedData) || !isAcceptedSignature(signature)) {
        return std::nullopt;
    }
    std::string code = signedData + "_" + base64Encode(signature);
    if (code.size() < MACHINE_CODE_MIN_LENGTH || code.size() > MACHINE_CODE_MAX_LENGTH) {
        return std::nullopt;
    }
    return code;
}

std::optional<std::string> machineCodeToJws(std::string_view code)
{
    if (!code.starts_with("_R1-AT") || code.size() < MACHINE_CODE_MIN_LENGTH || code.size() > MACHINE_CODE_MAX_LENGTH) {
        return std::nullopt;
    }
    const std::size_t lastSeparator = code.rfind('_');
    if (splitUnderscore(code).size() != MACHINE_CODE_SEGMENTS) {
        return std::nullopt;
    }
    const std::string_view signedData = code.substr(0, lastSeparator);
    const std::optional<Bytes> signature = base64Decode(code.substr(lastSeparator + 1));
    if (!signature || !isAcceptedSignature(*signature) || !parseSignedData(signedData)) {
        return std::nullopt;
    }
    return signingInput(signedData) + "." + base64UrlEncode(*signature);
}

std::string chainValue(std::string_view previousJws)
{
    return chainOver(previousJws);
}

std::string startChainValue(std::string_view kassenId)
{
    return chainOver(kassenId);
}

} // namespace rksv

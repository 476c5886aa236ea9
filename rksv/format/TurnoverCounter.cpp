#include "rksv/format/TurnoverCounter.h"

#include "rksv/format/Encoding.h"
#include "rksv/format/OpenSsl.h"

#include <openssl/evp.h>

#include <algorithm>

namespace rksv {

namespace {

// AES-CTR is its own inverse: the same keystream XOR encrypts and decrypts.
std::optional<Bytes> aesCtr(const AesKey& key, const std::array<std::uint8_t, 16>& iv, const Bytes& input)
{
    // Fetched once: the implicit fetch behind EVP_aes_256_ctr() looks the cipher up by name at every receipt.
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr);
    const EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
    if (!context || cipher == nullptr
        || EVP_EncryptInit_ex(context.get(), cipher, nullptr, key.data(), iv.data()) != 1) {
        return std::nullopt;
    }
    Bytes output(input.size() + 16);
    int written = 0;
    if (EVP_EncryptUpdate(context.get(), output.data(), &written, input.data(), static_cast<int>(input.size())) != 1) {
        return std::nullopt;
    }
    int finalWritten = 0;
    if (EVP_EncryptFinal_ex(context.get(), output.data() + written, &finalWritten) != 1) {
        return std::nullopt;
    }
    output.resize(static_cast<std::size_t>(written + finalWritten));
    if (output.size() != input.size()) {
        return std::nullopt;
    }
    return output;
}

bool fitsInBytes(std::int64_t value, std::size_t sizeBytes)
{
    if (sizeBytes >= 8) {
        return true;
    }
    const std::int64_t limit = std::int64_t{1} << (8 * sizeBytes - 1);
    return value >= -limit && value < limit;
}

} // namespace

std::optional<AesKey> parseAesKey(std::string_view base64Text)
{
    const std::optional<Bytes> bytes = base64Decode(base64Text);
    if (!bytes || bytes->size() != AesKey().size()) {
        return std::nullopt;
    }
    AesKey key{};
    std::copy(bytes->begin(), bytes->end(), key.begin());
    return key;
}

std::string aesKeyCheckValue(std::string_view base64Text)
{
    const Sha256Digest digest = sha256(asBytes(base64Text));
    std::string value = base64Encode(std::span(digest).first(3));
    value.erase(std::remove(value.begin(), value.end(), '='), value.end());
    return value;
}

std::array<std::uint8_t, 16> turnoverCounterIv(std::string_view kassenId, std::string_view belegnummer)
{
    const std::string input = std::string(kassenId) + std::string(belegnummer);
    const Sha256Digest digest = sha256(asBytes(input));
    std::array<std::uint8_t, 16> iv{};
    std::copy_n(digest.begin(), iv.size(), iv.begin());
    return iv;
}

std::optional<std::string> encryptTurnoverCounter(const AesKey& key,
                                                  std::string_view kassenId,
                                                  std::string_view belegnummer,
                                                  std::int64_t cents,
                                                  std::size_t sizeBytes)
{
    if (sizeBytes < MIN_COUNTER_BYTES || sizeBytes > MAX_COUNTER_BYTES || !fitsInBytes(cents, sizeBytes)) {
        return std::nullopt;
    }
    // Two's complement, sign-extended to the full width: the top bytes are 0xFF for negative values.
    Bytes plain(sizeBytes, cents < 0 ? 0xFF : 0x00);
    auto bits = static_cast<std::uint64_t>(cents);
    for (std::size_t i = 0; i < std::min<std::size_t>(sizeBytes, 8); ++i) {
        plain[sizeBytes - 1 - i] = static_cast<std::uint8_t>(bits & 0xFF);
        bits >>= 8;
    }
    const std::optional<Bytes> encrypted = aesCtr(key, turnoverCounterIv(kassenId, belegnummer), plain);
    if (!encrypted) {
        return std::nullopt;
    }
    return base64Encode(*encrypted);
}

std::optional<std::int64_t> decryptTurnoverCounter(const AesKey& key,
                                                   std::string_view kassenId,
                                                   std::string_view belegnummer,
                                                   std::string_view base64Text)
{
    const std::optional<Bytes> encrypted = base64Decode(base64Text);
    if (!encrypted || encrypted->size() < MIN_COUNTER_BYTES || encrypted->size() > MAX_COUNTER_BYTES) {
        return std::nullopt;
    }
    const std::optional<Bytes> plain = aesCtr(key, turnoverCounterIv(kassenId, belegnummer), *encrypted);
    if (!plain) {
        return std::nullopt;
    }
    const std::size_t size = plain->size();
    const bool negative = (plain->front() & 0x80) != 0;
    // Beyond 8 bytes the extra leading bytes must be pure sign extension, or the value does not fit into int64.
    const std::size_t extra = size > 8 ? size - 8 : 0;
    for (std::size_t i = 0; i < extra; ++i) {
        if ((*plain)[i] != (negative ? 0xFF : 0x00)) {
            return std::nullopt;
        }
    }
    std::uint64_t bits = negative ? ~std::uint64_t{0} : 0;
    for (std::size_t i = extra; i < size; ++i) {
        bits = (bits << 8) | (*plain)[i];
    }
    if (size - extra == 8 && (((bits >> 63) != 0) != negative)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(bits);
}

} // namespace rksv

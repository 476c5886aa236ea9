#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rksv {

//! The AES-256 key of the turnover counter ("Benutzerschlüssel").
using AesKey = std::array<std::uint8_t, 32>;

//! Counter field of a training receipt: Base64 of "TRA".
inline constexpr std::string_view TRAINING_MARKER = "VFJB";
//! Counter field of a storno receipt: Base64 of "STO".
inline constexpr std::string_view STORNO_MARKER = "U1RP";

//! Counter lengths in bytes a till may use; 8 is the usual one.
inline constexpr std::size_t MIN_COUNTER_BYTES = 5;
inline constexpr std::size_t MAX_COUNTER_BYTES = 16;
inline constexpr std::size_t DEFAULT_COUNTER_BYTES = 8;

//! The key from its 44-character standard Base64 text; nothing unless that decodes to exactly 32 bytes.
[[nodiscard]] std::optional<AesKey> parseAesKey(std::string_view base64Text);

//! Check value for typing the key in by hand: SHA-256 of the Base64 text as written, first 3 bytes, Base64
//! (4 characters, no padding). Computed over the text as given; callers pass the 44-character form.
std::string aesKeyCheckValue(std::string_view base64Text);

//! The 16-byte initial counter block: first half of SHA-256 over Kassen-ID directly followed by Belegnummer.
std::array<std::uint8_t, 16> turnoverCounterIv(std::string_view kassenId, std::string_view belegnummer);

//! Encrypts the counter (cents, may be negative) as big-endian two's complement in `sizeBytes` bytes with AES-256 in
//! CTR mode and returns standard Base64. Nothing if `sizeBytes` is outside 5..16, the value does not fit or OpenSSL
//! fails.
[[nodiscard]] std::optional<std::string> encryptTurnoverCounter(const AesKey& key,
                                                                std::string_view kassenId,
                                                                std::string_view belegnummer,
                                                                std::int64_t cents,
                                                                std::size_t sizeBytes = DEFAULT_COUNTER_BYTES);

//! The reverse: the counter in cents. Nothing for bad Base64, a length outside 5..16 bytes (the training and storno
//! markers included) or a value beyond int64.
[[nodiscard]] std::optional<std::int64_t> decryptTurnoverCounter(const AesKey& key,
                                                                 std::string_view kassenId,
                                                                 std::string_view belegnummer,
                                                                 std::string_view base64Text);

} // namespace rksv

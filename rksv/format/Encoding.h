#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rksv {

using Bytes = std::vector<std::uint8_t>;

//! The bytes of a text, unchanged (UTF-8 stays UTF-8).
std::span<const std::uint8_t> asBytes(std::string_view text);
//! The bytes as a text, unchanged.
std::string toText(std::span<const std::uint8_t> bytes);

//! Standard Base64 (RFC 4648 section 4) with `=` padding.
std::string base64Encode(std::span<const std::uint8_t> bytes);
//! Decodes standard Base64 with padding. Nothing for any other input: wrong length, a character outside the
//! alphabet (line breaks and blanks included), misplaced or missing padding, or unused bits that are not zero.
[[nodiscard]] std::optional<Bytes> base64Decode(std::string_view text);

//! Base64URL (RFC 4648 section 5) without padding.
std::string base64UrlEncode(std::span<const std::uint8_t> bytes);
//! Decodes Base64URL without padding; nothing for `=`, a length of 4k+1, a foreign character or non-zero unused bits.
[[nodiscard]] std::optional<Bytes> base64UrlDecode(std::string_view text);

//! Base32 (RFC 4648 section 6) with `=` padding, as the OCR form of a receipt uses it.
std::string base32Encode(std::span<const std::uint8_t> bytes);

//! Lower-case hexadecimal, two digits per byte.
std::string hexEncode(std::span<const std::uint8_t> bytes);

} // namespace rksv

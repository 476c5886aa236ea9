#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace base {

//! Windows-1252 bytes to UTF-8. The five bytes the code page leaves undefined become the C1 controls of the same
//! value, as Windows converts them, so every byte survives a round trip.
std::string cp1252ToUtf8(std::string_view bytes);

//! UTF-8 to Windows-1252. A character the code page cannot hold, and a byte that is not valid UTF-8, become "?".
std::string utf8ToCp1252(std::string_view text);

//! The first character of a UTF-8 text that Windows-1252 cannot hold, as UTF-8 ("" for a byte that is not valid
//! UTF-8); nothing when the whole text fits.
[[nodiscard]] std::optional<std::string> firstOutsideCp1252(std::string_view text);

//! Lower case of Windows-1252 bytes (ASCII and the accented letters), for matching names without regard to case.
std::string cp1252Lower(std::string_view bytes);

//! Appends one code point as UTF-8.
void appendUtf8(std::string& out, char32_t codePoint);

//! Number of characters (code points) of a UTF-8 text.
std::size_t utf8Length(std::string_view text);

//! The first `count` characters of a UTF-8 text.
std::string utf8Left(std::string_view text, std::size_t count);

} // namespace base

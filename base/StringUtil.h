#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace base {

//! Splits `text` at every `separator`. Pieces keep their order and an empty piece between two adjacent separators
//! is part of the list; the rest after the last separator is appended only when it is not empty or blank.
std::vector<std::string> String2Array(std::string_view text, std::string_view separator);

//! Blanks and tabs removed on both sides, on the left, on the right.
std::string trim(std::string_view text);
std::string trimLeft(std::string_view text);
std::string trimRight(std::string_view text);

//! True when the text holds nothing but blanks and tabs.
bool isBlank(std::string_view text);

//! ASCII upper and lower case (German umlauts of UTF-8 text included).
std::string toUpper(std::string_view text);
std::string toLower(std::string_view text);

//! Equality and prefix test without regard to ASCII case.
bool equalsNoCase(std::string_view a, std::string_view b);
bool startsWithNoCase(std::string_view text, std::string_view prefix);

//! Every occurrence of `from` in `text` replaced by `to`.
std::string replaceAll(std::string text, std::string_view from, std::string_view to);

//! Text with "&", "<" and ">" written as XML references, for element content.
std::string escapeXml(std::string_view text);

//! The text without its NUL characters (programs with fixed-size buffers leave them in stored texts).
std::string withoutNul(std::string text);

} // namespace base

#pragma once

#include <string>
#include <string_view>

namespace fontest {

//! Escapes `text` (UTF-8) for element content and attribute values. With `asciiOnly`, every non-ASCII
//! character becomes a numeric character reference (`&#252;`); malformed UTF-8 bytes become `?`.
std::string escapeXml(std::string_view text, bool asciiOnly);

//! The local time as `YYYY-MM-DDTHH:MM:SS` (xs:dateTime without zone), the form FinanzOnline answers with.
std::string localTimestamp();

//! `text` without leading and trailing XML white space.
std::string trimmed(std::string_view text);

} // namespace fontest

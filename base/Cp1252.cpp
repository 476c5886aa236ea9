#include "base/Cp1252.h"

#include <array>
#include <cstdint>
#include <optional>

namespace base {
namespace {

// Code points of the bytes 0x80 to 0x9F; the rest of the code page equals Latin-1.
constexpr std::array<char32_t, 32> HIGH = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                           0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Decodes one character at `pos`; returns false (and advances one byte) on malformed input.
bool nextCodePoint(std::string_view text, std::size_t& pos, char32_t& cp)
{
    const auto lead = static_cast<std::uint8_t>(text[pos]);
    int extra = 0;
    if (lead < 0x80) {
        cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        cp = lead & 0x1F;
        extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
        cp = lead & 0x0F;
        extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
        cp = lead & 0x07;
        extra = 3;
    } else {
        ++pos;
        return false;
    }
    if (pos + extra >= text.size()) {
        ++pos;
        return false;
    }
    for (int i = 1; i <= extra; ++i) {
        const auto b = static_cast<std::uint8_t>(text[pos + i]);
        if ((b & 0xC0) != 0x80) {
            ++pos;
            return false;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t MIN[] = {0, 0x80, 0x800, 0x10000};
    if (cp < MIN[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return false;
    }
    pos += extra + 1;
    return true;
}

// The code page's byte for a code point, nothing when it has none.
std::optional<char> toCp1252(char32_t cp)
{
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        return static_cast<char>(cp);
    }
    for (std::size_t i = 0; i < HIGH.size(); ++i) {
        if (HIGH[i] == cp) {
            return static_cast<char>(0x80 + i);
        }
    }
    return std::nullopt;
}

} // namespace

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string cp1252ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (const char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        appendUtf8(out, b >= 0x80 && b < 0xA0 ? HIGH[b - 0x80] : char32_t{b});
    }
    return out;
}

std::string utf8ToCp1252(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t cp = 0;
        const bool valid = nextCodePoint(text, pos, cp);
        out += valid ? toCp1252(cp).value_or('?') : '?';
    }
    return out;
}

std::optional<std::string> firstOutsideCp1252(std::string_view text)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto start = pos;
        char32_t cp = 0;
        if (!nextCodePoint(text, pos, cp)) {
            return std::string();
        }
        if (!toCp1252(cp)) {
            return std::string(text.substr(start, pos - start));
        }
    }
    return std::nullopt;
}

std::string cp1252Lower(std::string_view bytes)
{
    std::string out(bytes);
    for (char& c : out) {
        const auto b = static_cast<std::uint8_t>(c);
        if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) {
            c = static_cast<char>(b + 0x20);
        } else if (b == 0x8A || b == 0x8C || b == 0x8E) { // Š Œ Ž
            c = static_cast<char>(b + 0x10);
        } else if (b == 0x9F) { // Ÿ
            c = static_cast<char>(0xFF);
        }
    }
    return out;
}

std::size_t utf8Length(std::string_view text)
{
    std::size_t n = 0;
    for (const char c : text) {
        if ((static_cast<std::uint8_t>(c) & 0xC0) != 0x80) {
            ++n;
        }
    }
    return n;
}

std::string utf8Left(std::string_view text, std::size_t count)
{
    std::size_t pos = 0;
    std::size_t seen = 0;
    while (pos < text.size()) {
        if ((static_cast<std::uint8_t>(text[pos]) & 0xC0) != 0x80) {
            if (seen == count) {
                break;
            }
            ++seen;
        }
        ++pos;
    }
    return std::string(text.substr(0, pos));
}

} // namespace base

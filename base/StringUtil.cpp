#include "base/StringUtil.h"

#include <algorithm>
#include <array>
#include <utility>

namespace base {
namespace {

bool isBlankChar(char c)
{
    return c == ' ' || c == '\t';
}

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// UTF-8 spellings of the umlauts that change with case in German text.
constexpr std::array<std::pair<std::string_view, std::string_view>, 3> UMLAUTS = {{
    {"\xC3\x84", "\xC3\xA4"}, // Ä ä
    {"\xC3\x96", "\xC3\xB6"}, // Ö ö
    {"\xC3\x9C", "\xC3\xBC"}, // Ü ü
}};

} // namespace

std::vector<std::string> String2Array(std::string_view text, std::string_view separator)
{
    std::vector<std::string> parts;
    if (separator.empty()) {
        if (!isBlank(text)) {
            parts.emplace_back(text);
        }
        return parts;
    }
    std::size_t start = 0;
    for (auto at = text.find(separator); at != std::string_view::npos; at = text.find(separator, start)) {
        parts.emplace_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    const auto rest = text.substr(start);
    if (!isBlank(rest)) {
        parts.emplace_back(rest);
    }
    return parts;
}

std::string trimLeft(std::string_view text)
{
    const auto first = std::find_if_not(text.begin(), text.end(), isBlankChar);
    return std::string(first, text.end());
}

std::string trimRight(std::string_view text)
{
    auto end = text.size();
    while (end > 0 && isBlankChar(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(0, end));
}

std::string trim(std::string_view text)
{
    return trimRight(trimLeft(text));
}

bool isBlank(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), isBlankChar);
}

std::string toUpper(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - ('a' - 'A'));
        }
    }
    for (const auto& [upper, lower] : UMLAUTS) {
        out = replaceAll(std::move(out), lower, upper);
    }
    return out;
}

std::string toLower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), asciiLower);
    for (const auto& [upper, lower] : UMLAUTS) {
        out = replaceAll(std::move(out), upper, lower);
    }
    return out;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
           && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to)
{
    if (from.empty()) {
        return text;
    }
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string escapeXml(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string withoutNul(std::string text)
{
    std::erase(text, '\0');
    return text;
}

} // namespace base

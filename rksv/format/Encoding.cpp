#include "rksv/format/Encoding.h"

#include <array>

namespace rksv {

namespace {

constexpr std::string_view BASE64_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view BASE64URL_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::string_view BASE32_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr int INVALID = -1;

std::array<int, 256> reverseTable(std::string_view alphabet)
{
    std::array<int, 256> table{};
    table.fill(INVALID);
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
    }
    return table;
}

std::string encode64(std::span<const std::uint8_t> bytes, std::string_view alphabet, bool pad)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += alphabet[(v >> 18) & 0x3F];
        out += alphabet[(v >> 12) & 0x3F];
        out += alphabet[(v >> 6) & 0x3F];
        out += alphabet[v & 0x3F];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        out += alphabet[(v >> 18) & 0x3F];
        out += alphabet[(v >> 12) & 0x3F];
        if (pad) {
            out += "==";
        }
    } else if (rest == 2) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        out += alphabet[(v >> 18) & 0x3F];
        out += alphabet[(v >> 12) & 0x3F];
        out += alphabet[(v >> 6) & 0x3F];
        if (pad) {
            out += '=';
        }
    }
    return out;
}

// Decodes unpadded symbols; the caller has already removed and checked any padding.
std::optional<Bytes> decode64(std::string_view symbols, const std::array<int, 256>& table)
{
    if (symbols.size() % 4 == 1) {
        return std::nullopt;
    }
    Bytes out;
    out.reserve(symbols.size() * 3 / 4);
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const char c : symbols) {
        const int value = table[static_cast<unsigned char>(c)];
        if (value == INVALID) {
            return std::nullopt;
        }
        buffer = (buffer << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((buffer >> bits) & 0xFF));
        }
    }
    // Unused low bits must be zero, otherwise two different texts would decode to the same bytes.
    if ((buffer & ((1U << bits) - 1U)) != 0) {
        return std::nullopt;
    }
    return out;
}

} // namespace

std::span<const std::uint8_t> asBytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string toText(std::span<const std::uint8_t> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string base64Encode(std::span<const std::uint8_t> bytes)
{
    return encode64(bytes, BASE64_ALPHABET, true);
}

std::optional<Bytes> base64Decode(std::string_view text)
{
    static const std::array<int, 256> table = reverseTable(BASE64_ALPHABET);
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    return decode64(text.substr(0, text.size() - padding), table);
}

std::string base64UrlEncode(std::span<const std::uint8_t> bytes)
{
    return encode64(bytes, BASE64URL_ALPHABET, false);
}

std::optional<Bytes> base64UrlDecode(std::string_view text)
{
    static const std::array<int, 256> table = reverseTable(BASE64URL_ALPHABET);
    return decode64(text, table);
}

std::string base32Encode(std::span<const std::uint8_t> bytes)
{
    std::string out;
    std::uint64_t buffer = 0;
    int bits = 0;
    for (const std::uint8_t b : bytes) {
        buffer = (buffer << 8) | b;
        bits += 8;
        while (bits >= 5) {
            bits -= 5;
            out += BASE32_ALPHABET[(buffer >> bits) & 0x1F];
        }
    }
    if (bits > 0) {
        out += BASE32_ALPHABET[(buffer << (5 - bits)) & 0x1F];
    }
    while (out.size() % 8 != 0) {
        out += '=';
    }
    return out;
}

std::string hexEncode(std::span<const std::uint8_t> bytes)
{
    constexpr std::string_view DIGITS = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out += DIGITS[b >> 4];
        out += DIGITS[b & 0x0F];
    }
    return out;
}

} // namespace rksv

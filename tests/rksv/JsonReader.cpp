#include "tests/rksv/JsonReader.h"

#include "tests/support/TestPaths.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rksv::test {

namespace {

class Parser
{
public:
    explicit Parser(std::string_view text)
        : m_text(text)
    {}

    std::optional<JsonValue> document()
    {
        std::optional<JsonValue> value = parseValue(0);
        skipBlanks();
        if (!value || m_pos != m_text.size()) {
            return std::nullopt;
        }
        return value;
    }

private:
    static constexpr int MAX_DEPTH = 64;

    void skipBlanks()
    {
        while (m_pos < m_text.size()
               && (m_text[m_pos] == ' ' || m_text[m_pos] == '\n' || m_text[m_pos] == '\r' || m_text[m_pos] == '\t')) {
            ++m_pos;
        }
    }

    bool consume(std::string_view word)
    {
        if (m_text.substr(m_pos).starts_with(word)) {
            m_pos += word.size();
            return true;
        }
        return false;
    }

    std::optional<JsonValue> parseValue(int depth)
    {
        skipBlanks();
        if (depth > MAX_DEPTH || m_pos >= m_text.size()) {
            return std::nullopt;
        }
        JsonValue value;
        const char c = m_text[m_pos];
        if (c == '{') {
            return parseObject(depth);
        }
        if (c == '[') {
            return parseArray(depth);
        }
        if (c == '"') {
            std::optional<std::string> text = parseString();
            if (!text) {
                return std::nullopt;
            }
            value.kind = JsonValue::Kind::String;
            value.text = std::move(*text);
            return value;
        }
        if (consume("true") || consume("false")) {
            value.kind = JsonValue::Kind::Bool;
            value.boolean = c == 't';
            return value;
        }
        if (consume("null")) {
            return value;
        }
        const char* begin = m_text.data() + m_pos;
        const char* end = m_text.data() + m_text.size();
        const auto [next, error] = std::from_chars(begin, end, value.integer);
        if (error != std::errc() || (next < end && (*next == '.' || *next == 'e' || *next == 'E'))) {
            return std::nullopt;
        }
        m_pos += static_cast<std::size_t>(next - begin);
        value.kind = JsonValue::Kind::Integer;
        return value;
    }

    std::optional<JsonValue> parseArray(int depth)
    {
        JsonValue value;
        value.kind = JsonValue::Kind::Array;
        ++m_pos;
        skipBlanks();
        if (consume("]")) {
            return value;
        }
        while (true) {
            std::optional<JsonValue> item = parseValue(depth + 1);
            if (!item) {
                return std::nullopt;
            }
            value.items.push_back(std::move(*item));
            skipBlanks();
            if (consume("]")) {
                return value;
            }
            if (!consume(",")) {
                return std::nullopt;
            }
        }
    }

    std::optional<JsonValue> parseObject(int depth)
    {
        JsonValue value;
        value.kind = JsonValue::Kind::Object;
        ++m_pos;
        skipBlanks();
        if (consume("}")) {
            return value;
        }
        while (true) {
            skipBlanks();
            std::optional<std::string> name = parseString();
            skipBlanks();
            if (!name || !consume(":")) {
                return std::nullopt;
            }
            std::optional<JsonValue> member = parseValue(depth + 1);
            if (!member) {
                return std::nullopt;
            }
            value.members.insert_or_assign(std::move(*name), std::move(*member));
            skipBlanks();
            if (consume("}")) {
                return value;
            }
            if (!consume(",")) {
                return std::nullopt;
            }
        }
    }

    std::optional<std::string> parseString()
    {
        if (!consume("\"")) {
            return std::nullopt;
        }
        std::string out;
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '"') {
                return out;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size()) {
                return std::nullopt;
            }
            const char escaped = m_text[m_pos++];
            switch (escaped) {
            case '"':
            case '\\':
            case '/':
                out += escaped;
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'u': {
                // Only the Basic Latin and Latin-1 range; enough for the vector files.
                unsigned code = 0;
                if (m_pos + 4 > m_text.size()
                    || std::from_chars(m_text.data() + m_pos, m_text.data() + m_pos + 4, code, 16).ptr
                           != m_text.data() + m_pos + 4
                    || code > 0xFF) {
                    return std::nullopt;
                }
                m_pos += 4;
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
                break;
            }
            default:
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

} // namespace

const JsonValue& JsonValue::operator[](std::string_view name) const
{
    const auto found = members.find(name);
    if (found == members.end()) {
        throw std::out_of_range("JSON member missing: " + std::string(name));
    }
    return found->second;
}

std::optional<JsonValue> parseJson(std::string_view text)
{
    return Parser(text).document();
}

std::optional<JsonValue> readJsonFile(const std::string& fileName)
{
    std::ifstream file(std::string(test_paths::RKSV_DATA_DIR) + "/" + fileName, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << file.rdbuf();
    return parseJson(content.str());
}

} // namespace rksv::test

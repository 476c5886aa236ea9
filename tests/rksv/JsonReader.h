#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rksv::test {

//! A parsed JSON value, just enough to read the known-answer files: objects, arrays, strings, integers, booleans,
//! null. Numbers with a fraction or exponent are not supported (the files have none).
struct JsonValue
{
    enum class Kind
    {
        Null,
        Bool,
        Integer,
        String,
        Array,
        Object
    };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::int64_t integer = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue, std::less<>> members;

    //! The member `name`; throws std::out_of_range when missing so a renamed key fails the test loudly.
    const JsonValue& operator[](std::string_view name) const;
};

//! Parses a complete JSON text; nothing on any syntax error or trailing content.
std::optional<JsonValue> parseJson(std::string_view text);

//! Reads and parses a file below test_paths::RKSV_DATA_DIR; nothing if it is missing or malformed.
std::optional<JsonValue> readJsonFile(const std::string& fileName);

} // namespace rksv::test

#include "fontest/CommandLine.h"

#include <charconv>
#include <string_view>

namespace fontest {

std::optional<CommandLine> parseCommandLine(int argc, const char* const* argv, std::string& error)
{
    CommandLine options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (i + 1 >= argc) {
            error = "missing value for " + std::string(option);
            return std::nullopt;
        }
        const std::string value = argv[++i];
        if (option == "--state-dir") {
            options.stateDir = value;
        } else if (option == "--schemas") {
            options.schemaDir = value;
        } else if (option == "--host") {
            options.host = value;
        } else if (option == "--accounts") {
            options.accountsFile = value;
        } else if (option == "--port") {
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), options.port);
            if (ec != std::errc() || end != value.data() + value.size() || options.port < 0 || options.port > 65535) {
                error = "invalid port: " + value;
                return std::nullopt;
            }
        } else {
            error = "unknown option: " + std::string(option);
            return std::nullopt;
        }
    }
    if (options.stateDir.empty() || options.schemaDir.empty() || options.host.empty()) {
        error = "--state-dir and --schemas are required";
        return std::nullopt;
    }
    return options;
}

const char* usage()
{
    return "usage: fon-test-service --state-dir DIR --schemas DIR [--host NAME] [--port N] [--accounts FILE]\n";
}

} // namespace fontest

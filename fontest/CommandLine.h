#pragma once

#include <optional>
#include <string>

namespace fontest {

//! The command line of fon-test-service.
struct CommandLine
{
    std::string stateDir;
    std::string schemaDir;
    std::string host = "finanzonline.bmf.gv.at";
    int port = 0;
    std::string accountsFile; //!< "" when there is none (then nobody can log in)
};

//! Parses `--state-dir DIR --schemas DIR [--host NAME] [--port N] [--accounts FILE]`. Returns nothing and sets
//! `error` on an unknown option, a missing value or a missing required option.
[[nodiscard]] std::optional<CommandLine> parseCommandLine(int argc, const char* const* argv, std::string& error);

//! The usage text.
const char* usage();

} // namespace fontest

#include "tests/rksv/KnownAnswers.h"

#include "tests/support/TestPaths.h"

#include <fstream>

namespace rksv::test {

nlohmann::json readKnownAnswers(const std::string& fileName)
{
    std::ifstream file(std::string(test_paths::RKSV_DATA_DIR) + "/" + fileName, std::ios::binary);
    return nlohmann::json::parse(file, nullptr, false);
}

} // namespace rksv::test

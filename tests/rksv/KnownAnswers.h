#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace rksv::test {

//! The known-answer file `fileName` of the test data folder (test_paths::RKSV_DATA_DIR), parsed; a discarded value
//! (is_discarded()) when the file is missing or no JSON.
nlohmann::json readKnownAnswers(const std::string& fileName);

} // namespace rksv::test

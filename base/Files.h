#pragma once

#include <optional>
#include <string>

namespace base {

//! The path of an existing file: `path` itself, or else the entry of its folder whose name equals the last part of
//! `path` without regard to case (installations copied from Windows spell names freely). Nothing when there is none.
[[nodiscard]] std::optional<std::string> findFileNoCase(const std::string& path);

//! Whole content of a file; nothing when it cannot be read.
[[nodiscard]] std::optional<std::string> readWholeFile(const std::string& path);

//! The folder part of a path including its final "/", or "" when the path has none.
std::string folderOf(const std::string& path);

//! The current working directory, absolute, ending with "/".
std::string currentDirectory();

} // namespace base

#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace app {

//! The path of an existing file: `path` itself, or else the entry of its folder whose name equals the last part of
//! `path` without regard to case (installations copied from Windows spell names freely). Nothing when there is none.
std::optional<std::string> findFileNoCase(const std::string& path);

//! Whole content of a file; nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

//! Replaces `path` with `bytes` atomically: a temporary file in the same folder is written, flushed to disk and
//! renamed over the target, so the target is always either the old or the new file. An existing file keeps its
//! permissions and owner; a new one is created with `newFileMode`. A symbolic link is followed, not replaced.
//! Returns false, leaving the target untouched, when any step fails.
bool writeFileAtomically(const std::string& path, const std::string& bytes, mode_t newFileMode);

//! The folder part of a path including its final "/", or "" when the path has none.
std::string folderOf(const std::string& path);

//! The current working directory, absolute, ending with "/".
std::string currentDirectory();

} // namespace app

#pragma once

#include <optional>
#include <string>

namespace rksv {

//! The file in the installation folder that holds the installation's secret for the turnover counter's AES key.
inline constexpr const char* SECRET_FILE = "AES-GEHEIMNIS.KEY";

/**
 * The installation's secret (64 hex digits of 32 random bytes), read from SECRET_FILE in `folder`. The till's AES key
 * is derived from the public AES basis and this secret, so nobody who knows only the product and the company number
 * can compute it, and no two installations share a key.
 *
 * When the file is missing and `mayCreate` is true it is created: readable and writable by its owner only, written
 * completely before it appears under its name, and never over a file another station created at the same moment (that
 * one is read instead). A file that is readable by others is tightened to owner-only. Nothing, with a German reason in
 * `error`, when the file is missing and may not be created, is unreadable or damaged, or cannot be written. The secret
 * is never logged.
 */
[[nodiscard]] std::optional<std::string>
installationSecret(const std::string& folder, bool mayCreate, std::string& error);

} // namespace rksv

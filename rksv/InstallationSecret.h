#pragma once

#include <optional>
#include <string>

namespace rksv {

//! The file in the installation folder that holds the installation's secret for the turnover counter's AES key.
inline constexpr const char* SECRET_FILE = "AES-GEHEIMNIS.KEY";
//! The file beside it that keeps the secret's check value, so that a lost or exchanged secret is told from a first
//! start, whether or not the product's INI file exists.
inline constexpr const char* SECRET_CHECK_FILE = "AES-GEHEIMNIS.PRUEFWERT";

/**
 * The installation's secret (64 hex digits of 32 random bytes), read from SECRET_FILE in `folder`. The till's AES key
 * is derived from the public AES basis and this secret, so nobody who knows only the product and the company number
 * can compute it, and no two installations share a key.
 *
 * When the file is missing, `mayCreate` is true and no check value is kept in SECRET_CHECK_FILE, it is created:
 * readable and writable by its owner only, written completely before it appears under its name, and never over a file
 * another station created at the same moment (that one is read instead); its check value is then kept beside it. A
 * secret that does not match the kept check value is refused, and so is a missing one once the check value is kept.
 * Both files are opened without waiting and must be regular files (a FIFO in their place is refused, never read); one
 * that is readable by others is tightened to owner-only. Nothing, with a German reason in `error`, when the file is
 * missing and may not be created, is unreadable, damaged or exchanged, or cannot be written. The secret is never
 * logged.
 */
[[nodiscard]] std::optional<std::string>
installationSecret(const std::string& folder, bool mayCreate, std::string& error);

} // namespace rksv

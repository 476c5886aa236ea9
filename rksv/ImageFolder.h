#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace rksv {

/**
 * The folder of the receipts' QR images: "quorvex-<user id>" in the system's temporary folder ($TMPDIR, else /tmp),
 * created for the user alone (0700). A folder of that name that is a symbolic link, belongs to another user or cannot
 * be made private is refused, so no image is ever written through a name another user could have prepared. Images
 * older than a day are removed from it, at most once an hour. Empty, with a German reason in `error`, when there is
 * no usable folder.
 */
[[nodiscard]] std::filesystem::path qrImageFolder(std::string& error);

//! The QR image of a signed receipt in that folder: "~" + till id + "_" + receipt id + ".BMP" (separators of the till
//! id replaced), unique per till for ever as the receipt id is.
std::filesystem::path
qrImageFile(const std::filesystem::path& folder, const std::string& kassa, const std::string& receiptId);

//! Removes the images ("~….BMP") older than `age` from the folder; returns how many went.
int removeOldImages(const std::filesystem::path& folder, std::chrono::hours age = std::chrono::hours(24));

} // namespace rksv

#pragma once

#include "rksv/format/Encoding.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace rksv {

//! A QR symbol: `size` × `size` modules, row by row from the top, true = dark.
struct QrMatrix
{
    int size = 0;
    std::vector<bool> dark;

    bool isDark(int x, int y) const;
};

//! Pixels per module and the blank margin (in modules) on every side of the rendered images.
constexpr int QR_MODULE_PIXELS = 4;
constexpr int QR_QUIET_ZONE = 4;

//! The text as a QR symbol: byte mode, error correction level M, smallest version that fits. Nothing for an empty
//! text or one too long for a QR code.
[[nodiscard]] std::optional<QrMatrix> encodeQr(std::string_view text);

//! The symbol as a 1-bit BMP (file header, info header, two-colour palette white/black, bottom-up rows padded to
//! 4 bytes) with the quiet zone and module size above; width = height = (size + 2 × quiet zone) × module pixels.
Bytes renderBmp(const QrMatrix& qr);
//! The same picture as an 8-bit greyscale PNG (0 dark, 255 light). Nothing when libpng fails.
[[nodiscard]] std::optional<Bytes> renderPng(const QrMatrix& qr);

enum class ImageFormat
{
    Unknown,
    Bmp,
    Png
};
//! The format the bytes announce: BMP ("BM" and a file size field equal to the length) or PNG (its 8-byte signature).
[[nodiscard]] ImageFormat imageFormatOf(std::span<const std::uint8_t> bytes);

//! Writes the bytes to `file` through a temporary file in the same folder that is then renamed over it, so the file
//! is either complete or untouched; `durable`: flushed to the disk before the rename. False when the folder cannot
//! take the file; no temporary file is left behind.
[[nodiscard]] bool
writeFileAtomically(const std::filesystem::path& file, std::span<const std::uint8_t> bytes, bool durable = true);

} // namespace rksv

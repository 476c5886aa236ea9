#include "rksv/format/QrImage.h"

#include "base/Files.h"

#include <qrencode.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <limits>
#include <memory>
#include <png.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace rksv {

namespace {

constexpr std::array<std::uint8_t, 8> PNG_SIGNATURE = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::size_t BMP_FILE_HEADER_SIZE = 14;
constexpr std::size_t BMP_INFO_HEADER_SIZE = 40;
constexpr std::size_t BMP_PALETTE_SIZE = 2 * 4;
//! 72 dpi in pixels per metre, so viewers that honour it show the image at its natural size.
constexpr std::uint32_t PIXELS_PER_METRE = 2835;

struct QrCodeFree
{
    void operator()(QRcode* code) const noexcept { QRcode_free(code); }
};

void putU16(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xff));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putU32(Bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xff));
    }
}

std::uint32_t readU32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(bytes[offset]) | (static_cast<std::uint32_t>(bytes[offset + 1]) << 8)
           | (static_cast<std::uint32_t>(bytes[offset + 2]) << 16)
           | (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

int imageSide(const QrMatrix& qr)
{
    return (qr.size + 2 * QR_QUIET_ZONE) * QR_MODULE_PIXELS;
}

//! Whether the pixel (x, y), counted from the top left of the whole image, is dark.
bool pixelDark(const QrMatrix& qr, int x, int y)
{
    const int moduleX = x / QR_MODULE_PIXELS - QR_QUIET_ZONE;
    const int moduleY = y / QR_MODULE_PIXELS - QR_QUIET_ZONE;
    return moduleX >= 0 && moduleY >= 0 && moduleX < qr.size && moduleY < qr.size && qr.isDark(moduleX, moduleY);
}

void appendToBytes(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp /*png*/) {}

//! The libpng part, kept free of objects with destructors between setjmp and any longjmp back to it.
bool writePng(png_structp png, png_infop info, std::uint32_t side, const std::uint8_t* pixels, Bytes* out)
{
    if (setjmp(png_jmpbuf(png)) != 0) {
        return false;
    }
    png_set_write_fn(png, out, &appendToBytes, &flushNothing);
    png_set_IHDR(png,
                 info,
                 side,
                 side,
                 8,
                 PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::uint32_t y = 0; y < side; ++y) {
        png_write_row(png, pixels + static_cast<std::size_t>(y) * side);
    }
    png_write_end(png, nullptr);
    return true;
}

} // namespace

bool QrMatrix::isDark(int x, int y) const
{
    return dark[static_cast<std::size_t>(y) * static_cast<std::size_t>(size) + static_cast<std::size_t>(x)];
}

std::optional<QrMatrix> encodeQr(std::string_view text)
{
    if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    const std::unique_ptr<QRcode, QrCodeFree> code(QRcode_encodeData(
        static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
    if (!code || code->width <= 0) {
        return std::nullopt;
    }
    QrMatrix qr;
    qr.size = code->width;
    const std::size_t count = static_cast<std::size_t>(qr.size) * static_cast<std::size_t>(qr.size);
    qr.dark.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        // libqrencode: bit 0 of each byte is the module's colour, the other bits describe its role.
        qr.dark[i] = (code->data[i] & 1U) != 0;
    }
    return qr;
}

Bytes renderBmp(const QrMatrix& qr)
{
    const int side = imageSide(qr);
    const std::size_t rowBytes = ((static_cast<std::size_t>(side) + 31) / 32) * 4;
    const std::size_t pixelBytes = rowBytes * static_cast<std::size_t>(side);
    const std::size_t offset = BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE + BMP_PALETTE_SIZE;

    Bytes out;
    out.reserve(offset + pixelBytes);
    out.push_back('B');
    out.push_back('M');
    putU32(out, static_cast<std::uint32_t>(offset + pixelBytes));
    putU16(out, 0);
    putU16(out, 0);
    putU32(out, static_cast<std::uint32_t>(offset));

    putU32(out, static_cast<std::uint32_t>(BMP_INFO_HEADER_SIZE));
    putU32(out, static_cast<std::uint32_t>(side));
    putU32(out, static_cast<std::uint32_t>(side)); // positive height: rows stored bottom-up
    putU16(out, 1);                                // planes
    putU16(out, 1);                                // bits per pixel
    putU32(out, 0);                                // BI_RGB, uncompressed
    putU32(out, static_cast<std::uint32_t>(pixelBytes));
    putU32(out, PIXELS_PER_METRE);
    putU32(out, PIXELS_PER_METRE);
    putU32(out, 2); // colours used
    putU32(out, 2); // colours important

    // Palette (blue, green, red, reserved): index 0 white, index 1 black.
    for (const std::uint8_t level : {std::uint8_t{0xff}, std::uint8_t{0x00}}) {
        out.insert(out.end(), {level, level, level, 0});
    }

    // All white, then each module row drawn once and copied to its pixel rows (stored bottom-up).
    out.resize(offset + pixelBytes, 0);
    Bytes row(rowBytes);
    for (int moduleY = 0; moduleY < qr.size; ++moduleY) {
        std::fill(row.begin(), row.end(), std::uint8_t{0});
        for (int moduleX = 0; moduleX < qr.size; ++moduleX) {
            if (qr.isDark(moduleX, moduleY)) {
                const int first = (moduleX + QR_QUIET_ZONE) * QR_MODULE_PIXELS;
                for (int x = first; x < first + QR_MODULE_PIXELS; ++x) {
                    row[static_cast<std::size_t>(x) / 8] |= static_cast<std::uint8_t>(0x80U >> (x % 8));
                }
            }
        }
        const int top = (moduleY + QR_QUIET_ZONE) * QR_MODULE_PIXELS;
        for (int y = top; y < top + QR_MODULE_PIXELS; ++y) {
            std::copy(row.begin(),
                      row.end(),
                      out.begin()
                          + static_cast<std::ptrdiff_t>(offset + static_cast<std::size_t>(side - 1 - y) * rowBytes));
        }
    }
    return out;
}

std::optional<Bytes> renderPng(const QrMatrix& qr)
{
    const int side = imageSide(qr);
    Bytes pixels(static_cast<std::size_t>(side) * static_cast<std::size_t>(side));
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(side) + static_cast<std::size_t>(x)] =
                pixelDark(qr, x, y) ? 0 : 255;
        }
    }

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        return std::nullopt;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return std::nullopt;
    }
    Bytes out;
    const bool ok = writePng(png, info, static_cast<std::uint32_t>(side), pixels.data(), &out);
    png_destroy_write_struct(&png, &info);
    if (!ok) {
        return std::nullopt;
    }
    return out;
}

ImageFormat imageFormatOf(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() >= BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE && bytes[0] == 'B' && bytes[1] == 'M'
        && readU32(bytes, 2) == bytes.size()) {
        return ImageFormat::Bmp;
    }
    if (bytes.size() > PNG_SIGNATURE.size() && std::equal(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end(), bytes.begin())) {
        return ImageFormat::Png;
    }
    return ImageFormat::Unknown;
}

bool writeFileAtomically(const std::filesystem::path& file, std::span<const std::uint8_t> bytes, bool durable)
{
    if (file.empty() || !file.has_filename()) {
        return false;
    }
    // An image is an ordinary document.
    base::FileWriteOptions options;
    options.mode = 0644;
    options.durable = durable;
    return static_cast<bool>(base::writeFileDurably(
        file.string(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), options));
}

} // namespace rksv

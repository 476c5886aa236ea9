#include "rksv/format/QrImage.h"

#include "rksv/format/Encoding.h"
#include "rksv/format/Jws.h"
#include "rksv/units/SoftwareUnit.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char KASSA[] = "KASSE-QR-1";
constexpr char READER[] = "Leser-Q";
constexpr char PIN[] = "2468";

//! Output and exit of `zbarimg --raw -q <file>` (127: zbarimg missing; negative: a signal, or no end in a minute).
struct ScanResult
{
    int status = -1;
    std::string output;
};

ScanResult scanWithZbar(const std::string& file)
{
    testsupport::Process zbar({.argv = {"zbarimg", "--raw", "-q", file}});
    ScanResult result{zbar.wait(std::chrono::seconds(60)).value_or(-1), zbar.standardOutput()};
    if (!result.output.empty() && result.output.back() == '\n') {
        result.output.pop_back();
    }
    return result;
}

std::uint32_t u32le(const rksv::Bytes& b, std::size_t at)
{
    return static_cast<std::uint32_t>(b.at(at)) | (static_cast<std::uint32_t>(b.at(at + 1)) << 8)
           | (static_cast<std::uint32_t>(b.at(at + 2)) << 16) | (static_cast<std::uint32_t>(b.at(at + 3)) << 24);
}

std::uint16_t u16le(const rksv::Bytes& b, std::size_t at)
{
    return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

std::uint32_t u32be(const rksv::Bytes& b, std::size_t at)
{
    return (static_cast<std::uint32_t>(b.at(at)) << 24) | (static_cast<std::uint32_t>(b.at(at + 1)) << 16)
           | (static_cast<std::uint32_t>(b.at(at + 2)) << 8) | static_cast<std::uint32_t>(b.at(at + 3));
}

//! Reads the pixels of an uncompressed 1-bit bottom-up BMP, as the header describes them.
class BmpReader
{
public:
    explicit BmpReader(const rksv::Bytes& bmp)
        : m_bmp(bmp)
        , m_width(static_cast<int>(u32le(bmp, 18)))
        , m_height(static_cast<int>(u32le(bmp, 22)))
        , m_offset(u32le(bmp, 10))
        , m_rowBytes(((static_cast<std::size_t>(m_width) + 31) / 32) * 4)
    {}

    //! Whether the pixel (x, y), counted from the top left, uses a black palette entry.
    bool dark(int x, int y) const
    {
        const std::size_t row = static_cast<std::size_t>(m_height - 1 - y);
        const std::uint8_t byte = m_bmp.at(m_offset + row * m_rowBytes + static_cast<std::size_t>(x) / 8);
        const int index = (byte >> (7 - x % 8)) & 1;
        // Palette entries (B, G, R, 0) follow the 40-byte info header at offset 54.
        return m_bmp.at(54 + static_cast<std::size_t>(index) * 4) == 0;
    }

private:
    const rksv::Bytes& m_bmp;
    int m_width;
    int m_height;
    std::size_t m_offset;
    std::size_t m_rowBytes;
};

class QrImageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_readers = fs::path(m_dir.path()) / "Karten";
        std::string serial;
        std::string error;
        ASSERT_TRUE(rksv::createTestCard(m_readers, READER, PIN, "", "", serial, error)) << error;
        m_unit = std::make_unique<rksv::SoftwareUnit>(m_readers);
        ASSERT_TRUE(m_unit->GenerateAes256Key("Firma QR Kasse 1", m_aesKey, error)) << error;
    }

    //! Signs a receipt over 12,50 chained to the till id.
    std::string signReceipt()
    {
        rksv::Component::Receipt r;
        r.kassa = KASSA;
        r.reader = READER;
        r.pin = PIN;
        r.bonnr = "17";
        r.dateTime = "07.12.2026 10:05:00";
        r.amounts = {"12,50", "0,00", "3,10", "0,00", "-1,00"};
        r.turnoverCounter = "1000";
        r.previous = KASSA;
        r.aesKey = m_aesKey;
        rksv::Component::Signed out;
        EXPECT_TRUE(m_unit->SignReceipt(r, out)) << out.error;
        return out.jws;
    }

    //! Makes both images of the JWS, saves them, and checks that each decodes to exactly the machine-readable code.
    void checkImagesDecode(const std::string& jws)
    {
        const auto code = rksv::jwsToMachineCode(jws);
        ASSERT_TRUE(code.has_value()) << jws;
        std::string image;
        std::string secondImage;
        ASSERT_TRUE(m_unit->RKSVJwsToImage(jws, image, secondImage));
        std::string qrOnly;
        ASSERT_TRUE(m_unit->JwsToQrImage(jws, qrOnly));
        EXPECT_EQ(qrOnly, image) << "the first image alone is the same";

        const std::string bmpFile = m_dir.file("beleg.bmp");
        const std::string pngFile = m_dir.file("beleg.png");
        ASSERT_TRUE(m_unit->SaveImageToFile(image, bmpFile, "mime/bmp"));
        ASSERT_TRUE(m_unit->SaveImageToFile(secondImage, pngFile, "mime/png"));
        EXPECT_EQ(testsupport::readBytes(bmpFile), rksv::toText(rksv::base64Decode(image).value_or(rksv::Bytes())));
        EXPECT_EQ(testsupport::readBytes(pngFile),
                  rksv::toText(rksv::base64Decode(secondImage).value_or(rksv::Bytes())));
        // Saved in one call, as the signing service saves every receipt's image: the same bytes.
        const std::string direct = m_dir.file("direkt.bmp");
        ASSERT_TRUE(m_unit->SaveQrImage(jws, direct));
        EXPECT_EQ(testsupport::readBytes(direct), testsupport::readBytes(bmpFile));

        for (const std::string& file : {bmpFile, pngFile}) {
            const ScanResult scan = scanWithZbar(file);
            EXPECT_EQ(scan.status, 0) << file << " not decoded (127: zbarimg missing)";
            EXPECT_EQ(scan.output, *code) << file;
        }
    }

    testsupport::TempDir m_dir;
    fs::path m_readers;
    std::string m_aesKey;
    std::unique_ptr<rksv::SoftwareUnit> m_unit;
};

TEST_F(QrImageTest, SignedReceiptImagesDecodeToItsMachineCode)
{
    const std::string jws = signReceipt();
    ASSERT_FALSE(jws.empty());
    checkImagesDecode(jws);
}

TEST_F(QrImageTest, FailureMarkedReceiptImagesDecodeToItsMachineCode)
{
    std::ofstream(m_readers / READER / std::string(rksv::SoftwareUnit::FAILED_MARKER)) << "";
    const std::string jws = signReceipt();
    ASSERT_FALSE(jws.empty());
    const auto code = rksv::jwsToMachineCode(jws);
    ASSERT_TRUE(code.has_value());
    ASSERT_TRUE(code->ends_with("_U2ljaGVyaGVpdHNlaW5yaWNodHVuZyBhdXNnZWZhbGxlbg==")) << *code;
    checkImagesDecode(jws);
}

TEST_F(QrImageTest, BmpAndPngHeadersDescribeTheSameSquareImage)
{
    const std::string jws = signReceipt();
    std::string image;
    std::string secondImage;
    ASSERT_TRUE(m_unit->RKSVJwsToImage(jws, image, secondImage));
    const rksv::Bytes bmp = rksv::base64Decode(image).value_or(rksv::Bytes());
    const rksv::Bytes png = rksv::base64Decode(secondImage).value_or(rksv::Bytes());
    ASSERT_GE(bmp.size(), 62U);
    ASSERT_GE(png.size(), 33U);

    // BMP: file header, info header, palette, then the rows, each padded to a multiple of 4 bytes.
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(u32le(bmp, 2), bmp.size());
    const std::uint32_t offset = u32le(bmp, 10);
    EXPECT_EQ(u32le(bmp, 14), 40U);
    const std::uint32_t width = u32le(bmp, 18);
    const std::uint32_t height = u32le(bmp, 22);
    EXPECT_EQ(width, height);
    EXPECT_EQ(u16le(bmp, 26), 1U);
    const std::uint16_t bits = u16le(bmp, 28);
    ASSERT_TRUE(bits == 1 || bits == 24) << bits;
    EXPECT_EQ(u32le(bmp, 30), 0U) << "uncompressed";
    const std::size_t rowBytes = ((static_cast<std::size_t>(width) * bits + 31) / 32) * 4;
    EXPECT_EQ(offset + rowBytes * height, bmp.size());
    EXPECT_EQ(u32le(bmp, 34), rowBytes * height);
    EXPECT_GE(offset, 54U);

    // The symbol plus a 4-module quiet zone, at a whole number of pixels per module.
    const auto qr = rksv::encodeQr(rksv::jwsToMachineCode(jws).value_or(""));
    ASSERT_TRUE(qr.has_value());
    ASSERT_EQ(width % static_cast<std::uint32_t>(qr->size + 8), 0U) << width << " for " << qr->size << " modules";
    const int module = static_cast<int>(width) / (qr->size + 8);
    EXPECT_GE(module, 2);

    // PNG: signature, then IHDR with the same size, 8-bit greyscale.
    const std::array<std::uint8_t, 8> signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    EXPECT_TRUE(std::equal(signature.begin(), signature.end(), png.begin()));
    EXPECT_EQ(rksv::toText(std::span(png).subspan(12, 4)), "IHDR");
    EXPECT_EQ(u32be(png, 16), width);
    EXPECT_EQ(u32be(png, 20), height);
    EXPECT_EQ(png[24], 8) << "bit depth";
    EXPECT_EQ(png[25], 0) << "greyscale";

    if (bits != 1) {
        return;
    }
    // Pixel checks on the 1-bit BMP: a light quiet zone, and the symbol upright (finder pattern in the top-left
    // corner, horizontal timing pattern in module row 6); a bottom-up/top-down mix-up moves both.
    const BmpReader reader(bmp);
    const int side = static_cast<int>(width);
    const int quiet = 4 * module;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            if (x < quiet || y < quiet || x >= side - quiet || y >= side - quiet) {
                ASSERT_FALSE(reader.dark(x, y)) << "quiet zone pixel " << x << "," << y;
            }
        }
    }
    auto moduleDark = [&](int mx, int my) {
        return reader.dark(quiet + mx * module + module / 2, quiet + my * module + module / 2);
    };
    for (int i = 0; i < 7; ++i) {
        EXPECT_TRUE(moduleDark(i, 0)) << "finder top edge " << i;
        EXPECT_TRUE(moduleDark(0, i)) << "finder left edge " << i;
    }
    EXPECT_FALSE(moduleDark(1, 1)) << "finder's light ring";
    EXPECT_TRUE(moduleDark(3, 3)) << "finder's centre";
    EXPECT_FALSE(moduleDark(7, 0)) << "separator";
    for (int i = 8; i < qr->size - 8; ++i) {
        EXPECT_EQ(moduleDark(i, 6), i % 2 == 0) << "timing pattern module " << i;
    }
}

TEST_F(QrImageTest, InvalidJwsGivesNoImages)
{
    const std::string jws = signReceipt();
    std::string tampered = jws;
    tampered.insert(tampered.find('.') + 1, "="); // padding is not allowed in a compact JWS
    for (const std::string& bad : {std::string(), std::string("kein.jws"), jws + ".x", tampered}) {
        std::string image = "alt";
        std::string secondImage = "alt";
        EXPECT_FALSE(m_unit->RKSVJwsToImage(bad, image, secondImage)) << bad;
        EXPECT_EQ(image, "") << bad;
        EXPECT_EQ(secondImage, "") << bad;
    }
}

TEST_F(QrImageTest, SaveRefusesWrongTypesBadImagesAndUnwritablePlaces)
{
    std::string image;
    std::string secondImage;
    ASSERT_TRUE(m_unit->RKSVJwsToImage(signReceipt(), image, secondImage));
    const std::string file = m_dir.file("qr.bin");

    EXPECT_FALSE(m_unit->SaveImageToFile(image, file, "mime/png")) << "a BMP is not a PNG";
    EXPECT_FALSE(m_unit->SaveImageToFile(secondImage, file, "mime/bmp")) << "a PNG is not a BMP";
    EXPECT_FALSE(m_unit->SaveImageToFile(image, file, "mime/gif"));
    EXPECT_FALSE(m_unit->SaveImageToFile(image, file, ""));
    EXPECT_FALSE(m_unit->SaveImageToFile("", file, "mime/bmp"));
    EXPECT_FALSE(m_unit->SaveImageToFile("kein Base64!", file, "mime/bmp"));
    EXPECT_FALSE(m_unit->SaveImageToFile(rksv::base64Encode(rksv::asBytes("BM ist noch kein Bild")), file, "mime/bmp"));
    const rksv::Bytes bmp = rksv::base64Decode(image).value_or(rksv::Bytes());
    ASSERT_GT(bmp.size(), 100U);
    EXPECT_FALSE(m_unit->SaveImageToFile(rksv::base64Encode(std::span(bmp).first(bmp.size() - 1)), file, "mime/bmp"))
        << "a truncated BMP";
    EXPECT_FALSE(testsupport::exists(file)) << "no refused call may leave a file";

    EXPECT_FALSE(m_unit->SaveImageToFile(image, "/proc/self/x.bmp", "mime/bmp"));
    EXPECT_FALSE(m_unit->SaveImageToFile(image, m_dir.file("fehlt/qr.bmp"), "mime/bmp"));
    EXPECT_FALSE(m_unit->SaveImageToFile(image, m_dir.path(), "mime/bmp")) << "a folder is no file name";
    EXPECT_FALSE(m_unit->SaveQrImage("kein.JWS", file)) << "not a compact JWS";
    EXPECT_FALSE(m_unit->SaveQrImage(signReceipt(), m_dir.file("fehlt/qr.bmp")));
    EXPECT_FALSE(m_unit->SaveQrImage(signReceipt(), ""));
    EXPECT_FALSE(testsupport::exists(file));
}

TEST_F(QrImageTest, SaveReplacesAnExistingFileAndLeavesNoTemporaryFile)
{
    std::string image;
    std::string secondImage;
    ASSERT_TRUE(m_unit->RKSVJwsToImage(signReceipt(), image, secondImage));
    const fs::path folder = fs::path(m_dir.path()) / "bilder";
    fs::create_directories(folder);
    const std::string file = (folder / "qr.png").string();
    testsupport::writeBytes(file, "altes Bild, viel länger als nichts");

    ASSERT_TRUE(m_unit->SaveImageToFile(secondImage, file, "MIME/PNG")) << "the type's case does not matter";
    EXPECT_EQ(testsupport::readBytes(file), rksv::toText(rksv::base64Decode(secondImage).value_or(rksv::Bytes())));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"qr.png"});

    // A refused save keeps the old file as it was.
    EXPECT_FALSE(m_unit->SaveImageToFile(image, file, "mime/png"));
    EXPECT_EQ(testsupport::readBytes(file), rksv::toText(rksv::base64Decode(secondImage).value_or(rksv::Bytes())));
}

} // namespace

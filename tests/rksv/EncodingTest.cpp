#include "rksv/format/Encoding.h"

#include "tests/rksv/KnownAnswers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using rksv::asBytes;
using rksv::Bytes;

// RFC 4648 section 10 test vectors.
struct RfcRow
{
    const char* plain;
    const char* base64;
    const char* base32;
};

const RfcRow RFC_ROWS[] = {
    {"", "", ""},
    {"f", "Zg==", "MY======"},
    {"fo", "Zm8=", "MZXQ===="},
    {"foo", "Zm9v", "MZXW6==="},
    {"foob", "Zm9vYg==", "MZXW6YQ="},
    {"fooba", "Zm9vYmE=", "MZXW6YTB"},
    {"foobar", "Zm9vYmFy", "MZXW6YTBOI======"},
};

TEST(EncodingTest, rfc4648VectorsEncodeAndDecode)
{
    for (const RfcRow& row : RFC_ROWS) {
        SCOPED_TRACE(row.plain);
        EXPECT_EQ(rksv::base64Encode(asBytes(row.plain)), row.base64);
        EXPECT_EQ(rksv::base32Encode(asBytes(row.plain)), row.base32);
        const std::optional<Bytes> decoded = rksv::base64Decode(row.base64);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(rksv::toText(*decoded), row.plain);

        std::string unpadded = row.base64;
        unpadded.erase(unpadded.find_last_not_of('=') + 1);
        EXPECT_EQ(rksv::base64UrlEncode(asBytes(row.plain)), unpadded);
        const std::optional<Bytes> urlDecoded = rksv::base64UrlDecode(unpadded);
        ASSERT_TRUE(urlDecoded.has_value());
        EXPECT_EQ(rksv::toText(*urlDecoded), row.plain);
    }
}

TEST(EncodingTest, urlAlphabetDiffersFromStandardOnlyInTwoCharacters)
{
    const Bytes bytes = {0xFB, 0xFF, 0xBF};
    EXPECT_EQ(rksv::base64Encode(bytes), "+/+/");
    EXPECT_EQ(rksv::base64UrlEncode(bytes), "-_-_");
    EXPECT_EQ(rksv::base64UrlDecode("-_-_"), bytes);
    EXPECT_FALSE(rksv::base64UrlDecode("+/+/").has_value());
    EXPECT_FALSE(rksv::base64Decode("-_-_").has_value());
}

TEST(EncodingTest, everyByteValueAndLengthRoundTrips)
{
    Bytes bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(255 - i));
        EXPECT_EQ(rksv::base64Decode(rksv::base64Encode(bytes)), bytes) << "length " << bytes.size();
        EXPECT_EQ(rksv::base64UrlDecode(rksv::base64UrlEncode(bytes)), bytes) << "length " << bytes.size();
    }
}

TEST(EncodingTest, malformedBase64GivesNothing)
{
    for (const char* bad : {"Zg",
                            "Zg=",
                            "Zg===",
                            "Z===",
                            "====",
                            "Zm9v Yg==",
                            "Zm9v\nYg==",
                            "Zm9vYg=A",
                            "Zm=vYg==",
                            "Zh==",
                            "Zm9=",
                            "Zm9vYmF!",
                            "Zm9vYmF\xC3"}) {
        EXPECT_FALSE(rksv::base64Decode(bad).has_value()) << bad;
    }
}

TEST(EncodingTest, malformedBase64UrlGivesNothing)
{
    // Padding is invalid in every JWS part; "Zh" and "Zm9" carry non-zero unused bits.
    for (const char* bad : {"Zg==", "Zm8=", "Z", "Zm9vY", "Zh", "Zm9", "Zm9v.Yg", "Zm9v Yg"}) {
        EXPECT_FALSE(rksv::base64UrlDecode(bad).has_value()) << bad;
    }
}

TEST(EncodingTest, failureMarkerOcrFormMatchesVector)
{
    const nlohmann::json kat = rksv::test::readKnownAnswers("basic-kat.json");
    ASSERT_FALSE(kat.is_discarded());
    EXPECT_EQ(rksv::base32Encode(asBytes("Sicherheitseinrichtung ausgefallen")),
              kat.at("markers").at("failed signature, OCR last field (base32)").get<std::string>());
}

TEST(EncodingTest, hexIsLowerCaseTwoDigitsPerByte)
{
    EXPECT_EQ(rksv::hexEncode(Bytes{0x00, 0x0A, 0xFF, 0x42}), "000aff42");
}

} // namespace

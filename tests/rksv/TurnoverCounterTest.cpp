#include "rksv/format/TurnoverCounter.h"

#include "rksv/format/Encoding.h"
#include "tests/rksv/KnownAnswers.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

class TurnoverCounterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_kat = rksv::test::readKnownAnswers("basic-kat.json");
        ASSERT_FALSE(m_kat.is_discarded());
        const std::optional<rksv::AesKey> key = rksv::parseAesKey(text("aesKeyBase64"));
        ASSERT_TRUE(key.has_value());
        m_key = *key;
    }

    //! The text of a top-level entry of the known answers.
    std::string text(const std::string& name) const { return m_kat.at(name).get<std::string>(); }

    nlohmann::json m_kat;
    rksv::AesKey m_key{};
};

TEST_F(TurnoverCounterTest, ivMatchesVector)
{
    const auto iv = rksv::turnoverCounterIv("CASHBOX-DEMO-1", "CASHBOX-DEMO-1-Receipt-ID-1");
    EXPECT_EQ(rksv::hexEncode(iv), text("ivHex for Kassen-ID+Belegnummer = CASHBOX-DEMO-1CASHBOX-DEMO-1-Receipt-ID-1"));
}

TEST_F(TurnoverCounterTest, encryptAndDecryptMatchEveryVector)
{
    const auto rows = m_kat.at("encryptedCounter").get<std::vector<nlohmann::json>>();
    ASSERT_EQ(rows.size(), 7U);
    for (const nlohmann::json& row : rows) {
        const auto cents = row.at("counterCents").get<std::int64_t>();
        const auto size = row.at("sizeBytes").get<std::size_t>();
        const auto kassenId = row.at("kassenId").get<std::string>();
        const auto belegnummer = row.at("belegnummer").get<std::string>();
        const auto base64 = row.at("base64").get<std::string>();
        SCOPED_TRACE(std::to_string(cents) + " in " + std::to_string(size) + " bytes");
        EXPECT_EQ(rksv::encryptTurnoverCounter(m_key, kassenId, belegnummer, cents, size), base64);
        EXPECT_EQ(rksv::decryptTurnoverCounter(m_key, kassenId, belegnummer, base64), cents);
    }
}

TEST_F(TurnoverCounterTest, keyCheckValueMatchesVector)
{
    const std::string check = rksv::aesKeyCheckValue(text("aesKeyBase64"));
    EXPECT_EQ(check, text("aesKeyPruefwert (SHA-256 of the Base64 text, 3 bytes, Base64, no '=')"));
    EXPECT_EQ(check.size(), 4U);
    // One changed character of the key text must change the check value.
    std::string typo = text("aesKeyBase64");
    typo[0] = 'X';
    EXPECT_NE(rksv::aesKeyCheckValue(typo), check);
}

TEST_F(TurnoverCounterTest, markersAreBase64OfTraAndSto)
{
    EXPECT_EQ(rksv::TRAINING_MARKER, m_kat.at("markers").at("TRA (QR/payload field)").get<std::string>());
    EXPECT_EQ(rksv::STORNO_MARKER, m_kat.at("markers").at("STO (QR/payload field)").get<std::string>());
    EXPECT_EQ(rksv::toText(*rksv::base64Decode(rksv::TRAINING_MARKER)), "TRA");
    EXPECT_EQ(rksv::toText(*rksv::base64Decode(rksv::STORNO_MARKER)), "STO");
    // A marker is not an encrypted counter.
    EXPECT_FALSE(rksv::decryptTurnoverCounter(m_key, "K", "1", rksv::TRAINING_MARKER).has_value());
    EXPECT_FALSE(rksv::decryptTurnoverCounter(m_key, "K", "1", rksv::STORNO_MARKER).has_value());
}

TEST_F(TurnoverCounterTest, extremeValuesRoundTripInEveryWidth)
{
    for (std::size_t size = rksv::MIN_COUNTER_BYTES; size <= rksv::MAX_COUNTER_BYTES; ++size) {
        const std::int64_t limit =
            size >= 8 ? std::numeric_limits<std::int64_t>::max() : (std::int64_t{1} << (8 * size - 1)) - 1;
        for (const std::int64_t cents : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{1}, limit, -limit - 1}) {
            SCOPED_TRACE(std::to_string(cents) + " in " + std::to_string(size) + " bytes");
            const std::optional<std::string> encrypted = rksv::encryptTurnoverCounter(m_key, "K-1", "B-7", cents, size);
            ASSERT_TRUE(encrypted.has_value());
            EXPECT_EQ(rksv::base64Decode(*encrypted)->size(), size);
            EXPECT_EQ(rksv::decryptTurnoverCounter(m_key, "K-1", "B-7", *encrypted), cents);
        }
    }
}

TEST_F(TurnoverCounterTest, valuesOutsideTheWidthOrWidthsOutsideTheRangeAreRefused)
{
    EXPECT_FALSE(rksv::encryptTurnoverCounter(m_key, "K", "1", std::int64_t{1} << 39, 5).has_value());
    EXPECT_FALSE(rksv::encryptTurnoverCounter(m_key, "K", "1", -(std::int64_t{1} << 39) - 1, 5).has_value());
    EXPECT_TRUE(rksv::encryptTurnoverCounter(m_key, "K", "1", -(std::int64_t{1} << 39), 5).has_value());
    EXPECT_FALSE(rksv::encryptTurnoverCounter(m_key, "K", "1", 0, 4).has_value());
    EXPECT_FALSE(rksv::encryptTurnoverCounter(m_key, "K", "1", 0, 17).has_value());
}

TEST_F(TurnoverCounterTest, counterIsBoundToKeyAndReceipt)
{
    const std::string encrypted = *rksv::encryptTurnoverCounter(m_key, "K", "1", 123456);
    rksv::AesKey otherKey = m_key;
    otherKey[31] ^= 0x01;
    EXPECT_NE(rksv::decryptTurnoverCounter(otherKey, "K", "1", encrypted), 123456);
    EXPECT_NE(rksv::decryptTurnoverCounter(m_key, "K", "2", encrypted), 123456);
    EXPECT_NE(rksv::encryptTurnoverCounter(m_key, "K", "2", 123456), encrypted);
}

TEST_F(TurnoverCounterTest, sixteenByteCounterBeyondInt64IsRefused)
{
    // Encrypt a 16-byte plaintext whose upper half is not sign extension by XOR with the keystream of zero.
    const std::string zero = *rksv::encryptTurnoverCounter(m_key, "K", "1", 0, 16);
    rksv::Bytes bytes = *rksv::base64Decode(zero);
    bytes[0] ^= 0x01;
    EXPECT_FALSE(rksv::decryptTurnoverCounter(m_key, "K", "1", rksv::base64Encode(bytes)).has_value());
}

TEST_F(TurnoverCounterTest, malformedInputsGiveNothing)
{
    EXPECT_FALSE(rksv::parseAesKey("").has_value());
    EXPECT_FALSE(rksv::parseAesKey("WQRtiiya3hYh/Uz44Bv3x8ETl1nrH6nCdErn69g5/lU").has_value());
    EXPECT_FALSE(rksv::parseAesKey("WQRtiiya3hYh/Uz44Bv3x8ETl1nrH6nCdErn69g5").has_value());
    EXPECT_FALSE(rksv::parseAesKey("WQRtiiya3hYh/Uz44Bv3x8ETl1nrH6nCdErn69g5/lUA").has_value());
    for (const char* bad : {"", "4r1iIdZGeAQ", "4r1iIdZGeAQ==", "4r1i", "4r1iIdZG eAQ=", "AAAAAAAAAAAAAAAAAAAAAAAA"}) {
        EXPECT_FALSE(rksv::decryptTurnoverCounter(m_key, "K", "1", bad).has_value()) << bad;
    }
}

} // namespace

#include "rksv/format/Receipt.h"

#include "tests/rksv/KnownAnswers.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>

namespace {

rksv::ReceiptData sampleReceipt()
{
    rksv::ReceiptData receipt;
    receipt.kassenAlgorithmus = "R1-AT1";
    receipt.kassenId = "CASHBOX-DEMO-1";
    receipt.belegnummer = "CASHBOX-DEMO-1-Receipt-ID-10";
    receipt.belegDatumUhrzeit = "2016-03-20T13:06:17";
    receipt.betragSatzNormal = 11775;
    receipt.betragSatzErmaessigt1 = -3711;
    receipt.betragSatzErmaessigt2 = 358;
    receipt.betragSatzNull = 2710;
    receipt.betragSatzBesonders = -1390;
    receipt.standUmsatzZaehler = "U1RP";
    receipt.zertifikatSeriennummer = "3D1F8A0C";
    receipt.sigVorigerBeleg = "cg8hNU5ihto=";
    return receipt;
}

const char* const SAMPLE_TEXT = "_R1-AT1_CASHBOX-DEMO-1_CASHBOX-DEMO-1-Receipt-ID-10_2016-03-20T13:06:17_117,75_-37,11_"
                                "3,58_27,10_-13,90_U1RP_3D1F8A0C_cg8hNU5ihto=";

TEST(ReceiptTest, amountsMatchVector)
{
    const nlohmann::json kat = rksv::test::readKnownAnswers("basic-kat.json");
    ASSERT_FALSE(kat.is_discarded());
    const auto amounts = kat.at("amounts").get<std::map<std::string, std::string>>();
    ASSERT_EQ(amounts.size(), 7U);
    for (const auto& [cents, text] : amounts) {
        EXPECT_EQ(rksv::formatAmount(std::stoll(cents)), text);
        EXPECT_EQ(rksv::parseAmount(text), std::stoll(cents)) << text;
    }
}

TEST(ReceiptTest, extremeAmountsRoundTrip)
{
    EXPECT_EQ(rksv::formatAmount(std::numeric_limits<std::int64_t>::min()), "-92233720368547758,08");
    for (const std::int64_t cents : {std::int64_t{-1}, std::int64_t{99}, std::int64_t{-100}, std::int64_t{1} << 50}) {
        EXPECT_EQ(rksv::parseAmount(rksv::formatAmount(cents)), cents);
    }
}

TEST(ReceiptTest, amountsInAnyOtherSpellingAreRefused)
{
    for (const char* bad : {"",
                            ",00",
                            "1",
                            "1,5",
                            "1,500",
                            "1.234,56",
                            "1234.56",
                            "+1,00",
                            "01,00",
                            "-0,00",
                            " 1,00",
                            "1,00 ",
                            "--1,00",
                            "1,-5",
                            "1 234,56",
                            "12345678901234567,00",
                            "1,0a"}) {
        EXPECT_FALSE(rksv::parseAmount(bad).has_value()) << bad;
    }
}

TEST(ReceiptTest, buildWritesFieldsInOrder)
{
    EXPECT_EQ(rksv::buildSignedData(sampleReceipt()), SAMPLE_TEXT);
    EXPECT_EQ(sampleReceipt().betragSumme(), 11775 - 3711 + 358 + 2710 - 1390);
}

TEST(ReceiptTest, parseGivesBackEveryField)
{
    const std::optional<rksv::ReceiptData> parsed = rksv::parseSignedData(SAMPLE_TEXT);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, sampleReceipt());
}

TEST(ReceiptTest, closedSystemSerialRoundTrips)
{
    rksv::ReceiptData receipt = sampleReceipt();
    receipt.kassenAlgorithmus = "R1-AT0";
    receipt.zertifikatSeriennummer = "U:ATU12345678-K0";
    const std::optional<std::string> text = rksv::buildSignedData(receipt);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(rksv::parseSignedData(*text), receipt);
}

TEST(ReceiptTest, buildRefusesFieldsThatBreakTheFormat)
{
    const auto refused = [](void (*change)(rksv::ReceiptData&)) {
        rksv::ReceiptData receipt = sampleReceipt();
        change(receipt);
        std::string fehler;
        const bool built = rksv::buildSignedData(receipt, &fehler).has_value();
        return !built && !fehler.empty();
    };
    EXPECT_TRUE(refused([](rksv::ReceiptData& r) { r.kassenId = "KASSE_1"; }));
    EXPECT_TRUE(refused([](rksv::ReceiptData& r) { r.belegnummer = "7\n"; }));
    EXPECT_TRUE(refused([](rksv::ReceiptData& r) { r.belegnummer.clear(); }));
    EXPECT_TRUE(refused([](rksv::ReceiptData& r) { r.sigVorigerBeleg = "a_b"; }));
    EXPECT_TRUE(refused([](rksv::ReceiptData& r) { r.kassenAlgorithmus = "R2-AT1"; }));
    EXPECT_TRUE(refused([](rksv::ReceiptData& r) { r.kassenAlgorithmus = "R1-AT"; }));
    EXPECT_TRUE(refused([](rksv::ReceiptData& r) { r.belegDatumUhrzeit = "2016-03-20 13:06:17"; }));
    EXPECT_TRUE(refused([](rksv::ReceiptData& r) { r.belegDatumUhrzeit = "2016-13-20T13:06:17"; }));
    EXPECT_TRUE(refused([](rksv::ReceiptData& r) { r.belegDatumUhrzeit = "2016-03-20T13:06:17+01:00"; }));
}

TEST(ReceiptTest, malformedSignedDataGivesNothing)
{
    const std::string good = SAMPLE_TEXT;
    const std::string bad[] = {
        "",
        good.substr(1),                                               // no leading underscore
        good + "_extra",                                              // 14 segments
        good.substr(0, good.rfind('_')),                              // 12 segments
        "_R2" + good.substr(3),                                       // other algorithm suite
        "_R1-ATx" + good.substr(6),                                   // provider not a number
        good.substr(0, 52) + "2016-03-20T13-06-17" + good.substr(71), // time with dashes
        "_R1-AT1__CASHBOX-DEMO-1-Receipt-ID-10_2016-03-20T13:06:17_1,00_0,00_0,00_0,00_0,00_U1RP_3D_cg8hNU5ihto=",
        "_R1-AT1_K_1_2016-03-20T13:06:17_1.00_0,00_0,00_0,00_0,00_U1RP_3D_cg8hNU5ihto=",
        "_R1-AT1_K_1_2016-03-20T13:06:17_1,00_0,00_0,00_0,00_0,00_U1RP_3D_cg8h\nNU5ihto=",
        "_R1-AT1_K_1_2016-03-20T13:06:17_1,00_0,00_0,00_0,00_0,00_U1RP_3D_",
    };
    for (const std::string& text : bad) {
        std::string fehler;
        EXPECT_FALSE(rksv::parseSignedData(text, &fehler).has_value()) << text;
        EXPECT_FALSE(fehler.empty()) << text;
    }
}

} // namespace

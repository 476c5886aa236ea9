#include "base/Cp1252.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"

#include <gtest/gtest.h>

using namespace std::chrono;

namespace {

TEST(String2Array, KeepsEmptyPiecesAndDropsABlankRest)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(base::String2Array("a,b,c", ","), (V{"a", "b", "c"}));
    EXPECT_EQ(base::String2Array("a,,c", ","), (V{"a", "", "c"}));
    EXPECT_EQ(base::String2Array("a,b,", ","), (V{"a", "b"}));
    EXPECT_EQ(base::String2Array("a,b,  ", ","), (V{"a", "b"}));
    EXPECT_EQ(base::String2Array(",a", ","), (V{"", "a"}));
    EXPECT_EQ(base::String2Array("", ","), V{});
    EXPECT_EQ(base::String2Array("a::b", "::"), (V{"a", "b"}));
    const std::string block("Tid\0Benid\0", 10);
    EXPECT_EQ(base::String2Array(block, std::string(1, '\0')), (V{"Tid", "Benid"}));
}

TEST(Cp1252, EveryByteSurvivesTheRoundTrip)
{
    std::string all;
    for (int b = 1; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    EXPECT_EQ(base::utf8ToCp1252(base::cp1252ToUtf8(all)), all);
    EXPECT_EQ(base::cp1252ToUtf8("\x80\xE4\xDF"), "€äß");
    EXPECT_EQ(base::utf8ToCp1252("\xC3"), "?") << "a cut UTF-8 sequence";
    EXPECT_EQ(base::utf8ToCp1252("\xE2\x82"), "??");
    EXPECT_EQ(base::utf8ToCp1252("日"), "?");
    EXPECT_EQ(base::cp1252Lower("\xC4\xD6\xDC\x8A"
                                "ABC\xD7"),
              "\xE4\xF6\xFC\x9A"
              "abc\xD7");
}

TEST(StringUtil, CaseAndTrimming)
{
    EXPECT_EQ(base::toUpper("atu straße äöü"), "ATU STRAßE ÄÖÜ");
    EXPECT_TRUE(base::startsWithNoCase("vexa-QUORVEX x", "Vexa-Quorvex"));
    EXPECT_FALSE(base::startsWithNoCase("Vexa-Quorve", "Vexa-Quorvex"));
    EXPECT_EQ(base::trim(" \t a b \t"), "a b");
    EXPECT_EQ(base::utf8Left("äöüx", 2), "äö");
}

TEST(TextFormat, DatesUseDayMonthYearAndTheCenturyFrom1930)
{
    EXPECT_EQ(base::formatDate(year{2017} / January / 23), "23.01.2017");
    EXPECT_EQ(base::parseDate("23.01.2017"), year_month_day(year{2017} / January / 23));
    EXPECT_EQ(base::parseDate("1.2.30"), year_month_day(year{1930} / February / 1));
    EXPECT_EQ(base::parseDate("31.12.99"), year_month_day(year{1999} / December / 31));
    EXPECT_EQ(base::parseDate("01.01.00"), year_month_day(year{2000} / January / 1));
    EXPECT_EQ(base::parseDate("29.02.29"), std::nullopt) << "2029 is no leap year";
    EXPECT_EQ(base::parseDate("29.02.28"), year_month_day(year{2028} / February / 29));
    EXPECT_EQ(base::parseDate("32.01.2017"), std::nullopt);
    EXPECT_EQ(base::parseDate("2017-01-23"), std::nullopt);
    EXPECT_EQ(base::parseDate("23.01.201"), std::nullopt);
}

TEST(TextFormat, AmountsUseCommaAndPoint)
{
    EXPECT_EQ(base::formatAmount(1234567.891), "1.234.567,89");
    EXPECT_EQ(base::formatAmount(-0.5), "-0,50");
    EXPECT_EQ(base::formatAmount(-0.001), "0,00");
    EXPECT_EQ(base::formatAmount(1999.999), "2.000,00");
    EXPECT_EQ(base::formatAmount(12, 0), "12");
    EXPECT_EQ(base::parseAmount("1.234,56"), 1234.56);
    EXPECT_EQ(base::parseAmount("-3,5"), -3.5);
    EXPECT_EQ(base::parseAmount("abc"), std::nullopt);
}

} // namespace

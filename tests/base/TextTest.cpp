#include "base/Cp1252.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"

#include <gtest/gtest.h>

using namespace std::chrono;

namespace {

TEST(String2Array, KeepsEmptyPiecesAndDropsABlankRest)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(app::String2Array("a,b,c", ","), (V{"a", "b", "c"}));
    EXPECT_EQ(app::String2Array("a,,c", ","), (V{"a", "", "c"}));
    EXPECT_EQ(app::String2Array("a,b,", ","), (V{"a", "b"}));
    EXPECT_EQ(app::String2Array("a,b,  ", ","), (V{"a", "b"}));
    EXPECT_EQ(app::String2Array(",a", ","), (V{"", "a"}));
    EXPECT_EQ(app::String2Array("", ","), V{});
    EXPECT_EQ(app::String2Array("a::b", "::"), (V{"a", "b"}));
    const std::string block("Tid\0Benid\0", 10);
    EXPECT_EQ(app::String2Array(block, std::string(1, '\0')), (V{"Tid", "Benid"}));
}

TEST(Cp1252, EveryByteSurvivesTheRoundTrip)
{
    std::string all;
    for (int b = 1; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    EXPECT_EQ(app::utf8ToCp1252(app::cp1252ToUtf8(all)), all);
    EXPECT_EQ(app::cp1252ToUtf8("\x80\xE4\xDF"), "€äß");
    EXPECT_EQ(app::utf8ToCp1252("\xC3"), "?") << "a cut UTF-8 sequence";
    EXPECT_EQ(app::utf8ToCp1252("\xE2\x82"), "??");
    EXPECT_EQ(app::utf8ToCp1252("日"), "?");
    EXPECT_EQ(app::cp1252Lower("\xC4\xD6\xDC\x8A"
                               "ABC\xD7"),
              "\xE4\xF6\xFC\x9A"
              "abc\xD7");
}

TEST(StringUtil, CaseAndTrimming)
{
    EXPECT_EQ(app::toUpper("atu straße äöü"), "ATU STRAßE ÄÖÜ");
    EXPECT_TRUE(app::startsWithNoCase("vexa-QUORVEX x", "Vexa-Quorvex"));
    EXPECT_FALSE(app::startsWithNoCase("Vexa-Quorve", "Vexa-Quorvex"));
    EXPECT_EQ(app::trim(" \t a b \t"), "a b");
    EXPECT_EQ(app::utf8Left("äöüx", 2), "äö");
}

TEST(TextFormat, DatesUseDayMonthYearAndTheCenturyFrom1930)
{
    EXPECT_EQ(app::formatDate(year{2017} / January / 23), "23.01.2017");
    EXPECT_EQ(app::parseDate("23.01.2017"), year_month_day(year{2017} / January / 23));
    EXPECT_EQ(app::parseDate("1.2.30"), year_month_day(year{1930} / February / 1));
    EXPECT_EQ(app::parseDate("31.12.99"), year_month_day(year{1999} / December / 31));
    EXPECT_EQ(app::parseDate("01.01.00"), year_month_day(year{2000} / January / 1));
    EXPECT_EQ(app::parseDate("29.02.29"), std::nullopt) << "2029 is no leap year";
    EXPECT_EQ(app::parseDate("29.02.28"), year_month_day(year{2028} / February / 29));
    EXPECT_EQ(app::parseDate("32.01.2017"), std::nullopt);
    EXPECT_EQ(app::parseDate("2017-01-23"), std::nullopt);
    EXPECT_EQ(app::parseDate("23.01.201"), std::nullopt);
}

TEST(TextFormat, AmountsUseCommaAndPoint)
{
    EXPECT_EQ(app::formatAmount(1234567.891), "1.234.567,89");
    EXPECT_EQ(app::formatAmount(-0.5), "-0,50");
    EXPECT_EQ(app::formatAmount(-0.001), "0,00");
    EXPECT_EQ(app::formatAmount(1999.999), "2.000,00");
    EXPECT_EQ(app::formatAmount(12, 0), "12");
    EXPECT_EQ(app::parseAmount("1.234,56"), 1234.56);
    EXPECT_EQ(app::parseAmount("-3,5"), -3.5);
    EXPECT_EQ(app::parseAmount("abc"), std::nullopt);
}

} // namespace

// Reading FinanzOnline's answer to a status query and the German line the result box shows.
#include "fonws/StatusAnswer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using fonws::Operation;
using fonws::StatusResult;

namespace {

// An RKDB answer in the recent style whose result ends with `query` (abfrage_ergebnis or nothing).
std::string answer(const std::string& query, const std::string& rc = "0")
{
    return "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
           "<ns0:rkdbResponse xmlns:ns0=\"https://finanzonline.bmf.gv.at/rkdb\"><ns0:paket_nr>1</ns0:paket_nr>"
           "<ns0:ts_erstellung>2026-02-03T10:20:00</ns0:ts_erstellung><ns0:result><ns0:satznr>1</ns0:satznr>"
           "<ns0:rkdbMessage><ns0:rc>"
           + rc + "</ns0:rc><ns0:msg>Die Abfrage war erfolgreich.</ns0:msg></ns0:rkdbMessage>" + query
           + "</ns0:result></ns0:rkdbResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string query(const std::string& status, const std::string& since, const std::string& prefix = "ns0:")
{
    return "<" + prefix + "abfrage_ergebnis><ts_registrierung>2025-11-30T09:00:00</ts_registrierung><status>" + status
           + "</status><ts_status>" + since + "</ts_status></" + prefix + "abfrage_ergebnis>";
}

// A complete abfrage_ergebnis in an answer whose closing tags don't match.
std::string malformed()
{
    auto text = answer(query("IN_BETRIEB", "2026-02-03T10:15:00"));
    return text.replace(text.find("</ns0:result>"), 13, "</ns0:resul>");
}

struct ReadCase
{
    const char* name;
    std::string xml;
    std::optional<StatusResult> expected;
};

void PrintTo(const ReadCase& c, std::ostream* out)
{
    *out << c.name;
}

class ReadStatusTest : public ::testing::TestWithParam<ReadCase>
{
};

TEST_P(ReadStatusTest, ReadsAbfrageErgebnis)
{
    EXPECT_EQ(fonws::readStatusResult(GetParam().xml), GetParam().expected);
}

const StatusResult IN_BETRIEB{"IN_BETRIEB", "2025-11-30T09:00:00", "2026-02-03T10:15:00"};

INSTANTIATE_TEST_SUITE_P(
    Answers,
    ReadStatusTest,
    ::testing::Values(
        ReadCase{"RecentStyle", answer(query("IN_BETRIEB", "2026-02-03T10:15:00")), IN_BETRIEB},
        ReadCase{"OlderStylePrefix",
                 "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>"
                 "<ns5:rkdbResponse xmlns=\"\" xmlns:ns5=\"https://finanzonline.bmf.gv.at/rkdb\"><ns5:result>"
                     + query("IN_BETRIEB", "2026-02-03T10:15:00", "ns5:")
                     + "</ns5:result></ns5:rkdbResponse></soapenv:Body></soapenv:Envelope>",
                 IN_BETRIEB},
        ReadCase{"Ausfall",
                 answer(query("AUSFALL", "2026-02-04T07:00:00+01:00")),
                 StatusResult{"AUSFALL", "2025-11-30T09:00:00", "2026-02-04T07:00:00+01:00"}},
        ReadCase{"MissingAbfrageErgebnis", answer("", "B2"), std::nullopt},
        ReadCase{"AbfrageErgebnisWithoutStatus",
                 answer("<ns0:abfrage_ergebnis><ts_registrierung>2025-11-30T09:00:00</ts_registrierung>"
                        "<ts_status>2026-02-03T10:15:00</ts_status></ns0:abfrage_ergebnis>"),
                 std::nullopt},
        ReadCase{"AbfrageErgebnisOutsideTheRkdbNamespace",
                 answer("<abfrage_ergebnis xmlns=\"urn:other\"><ts_registrierung>2025-11-30T09:00:00"
                        "</ts_registrierung><status>IN_BETRIEB</status><ts_status>2026-02-03T10:15:00</ts_status>"
                        "</abfrage_ergebnis>"),
                 std::nullopt},
        ReadCase{"MalformedText", malformed(), std::nullopt},
        ReadCase{"EmptyText", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct DescribeCase
{
    const char* name;
    Operation operation;
    std::string id;
    std::string status;
    std::string expected;
};

void PrintTo(const DescribeCase& c, std::ostream* out)
{
    *out << c.name;
}

class DescribeStatusTest : public ::testing::TestWithParam<DescribeCase>
{
};

TEST_P(DescribeStatusTest, SaysTheStateInGerman)
{
    const auto& c = GetParam();
    const auto result = fonws::readStatusResult(answer(query(c.status, "2026-02-03T10:15:00")));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(fonws::describeStatus(c.operation, c.id, *result), c.expected + " seit 03.02.2026 10:15");
}

INSTANTIATE_TEST_SUITE_P(
    Lines,
    DescribeStatusTest,
    ::testing::Values(
        DescribeCase{
            "Aktiviert", Operation::Status_SE, "3d1f2a", "AKTIVIERT", "Signaturerstellungseinheit 3d1f2a: aktiviert"},
        DescribeCase{"Registriert",
                     Operation::Status_SE,
                     "3d1f2a",
                     "REGISTRIERT",
                     "Signaturerstellungseinheit 3d1f2a: registriert"},
        DescribeCase{
            "InBetrieb", Operation::Status_Kasse, "KASSE-01", "IN_BETRIEB", "Registrierkasse KASSE-01: in Betrieb"},
        DescribeCase{
            "Ausfall", Operation::Status_Kasse, "KASSE-01", "AUSFALL", "Registrierkasse KASSE-01: ausgefallen"},
        DescribeCase{"UnknownStatusAsSent", Operation::Status_Kasse, "K", "GESPERRT", "Registrierkasse K: GESPERRT"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DescribeStatus, ATimeThatIsNoneIsShownAsSent)
{
    EXPECT_EQ(fonws::describeStatus(Operation::Status_Kasse, "K", {"AUSFALL", "", "gestern"}),
              "Registrierkasse K: ausgefallen seit gestern");
}

struct TimeCase
{
    const char* name;
    std::string sent;
    std::string shown;
};

void PrintTo(const TimeCase& c, std::ostream* out)
{
    *out << c.name;
}

class ViennaTimeTest : public ::testing::TestWithParam<TimeCase>
{
};

TEST_P(ViennaTimeTest, ShowsViennasTime)
{
    EXPECT_EQ(fonws::viennaTime(GetParam().sent), GetParam().shown);
}

// A time without zone is Vienna's already; one with a zone is moved to CET or CEST.
INSTANTIATE_TEST_SUITE_P(
    Times,
    ViennaTimeTest,
    ::testing::Values(TimeCase{"WithoutZone", "2026-02-03T10:15:59", "03.02.2026 10:15"},
                      TimeCase{"Fraction", "2026-02-03T10:15:00.250", "03.02.2026 10:15"},
                      TimeCase{"WinterUtc", "2026-02-03T09:15:00Z", "03.02.2026 10:15"},
                      TimeCase{"SummerUtcIntoTheNextDay", "2026-07-31T22:30:00Z", "01.08.2026 00:30"},
                      TimeCase{"OffsetOfAnotherZone", "2026-02-03T05:15:00-04:00", "03.02.2026 10:15"},
                      TimeCase{"LastMinuteBeforeSummerTime", "2026-03-29T00:59:00Z", "29.03.2026 01:59"},
                      TimeCase{"FirstMinuteOfSummerTime", "2026-03-29T01:00:00Z", "29.03.2026 03:00"},
                      TimeCase{"LastMinuteOfSummerTime", "2026-10-25T00:59:00+00:00", "25.10.2026 02:59"},
                      TimeCase{"FirstMinuteOfWinterTime", "2026-10-25T01:00:00+00:00", "25.10.2026 02:00"},
                      TimeCase{"NotADateTime", "gestern", ""},
                      TimeCase{"NoDay", "2026-02-30T10:15:00", ""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

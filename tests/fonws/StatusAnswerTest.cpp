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
    std::string since;
    std::string expected;
};

void PrintTo(const DescribeCase& c, std::ostream* out)
{
    *out << c.name;
}

class DescribeStatusTest : public ::testing::TestWithParam<DescribeCase>
{
};

TEST_P(DescribeStatusTest, SaysTheStateInGermanInViennaTime)
{
    const auto& c = GetParam();
    const auto result = fonws::readStatusResult(answer(query(c.status, c.since)));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(fonws::describeStatus(c.operation, c.id, *result), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines,
    DescribeStatusTest,
    ::testing::Values(DescribeCase{"Aktiviert",
                                   Operation::Status_SE,
                                   "3d1f2a",
                                   "AKTIVIERT",
                                   "2026-02-03T10:15:00",
                                   "Signaturerstellungseinheit 3d1f2a: aktiviert seit 03.02.2026 10:15"},
                      DescribeCase{"Registriert",
                                   Operation::Status_SE,
                                   "3d1f2a",
                                   "REGISTRIERT",
                                   "2026-02-03T10:15:59",
                                   "Signaturerstellungseinheit 3d1f2a: registriert seit 03.02.2026 10:15"},
                      DescribeCase{"InBetrieb",
                                   Operation::Status_Kasse,
                                   "KASSE-01",
                                   "IN_BETRIEB",
                                   "2026-02-03T10:15:00",
                                   "Registrierkasse KASSE-01: in Betrieb seit 03.02.2026 10:15"},
                      DescribeCase{"Ausfall",
                                   Operation::Status_Kasse,
                                   "KASSE-01",
                                   "AUSFALL",
                                   "2026-02-03T10:15:00.250",
                                   "Registrierkasse KASSE-01: ausgefallen seit 03.02.2026 10:15"},
                      DescribeCase{"WinterUtcIsOneHourBehind",
                                   Operation::Status_Kasse,
                                   "K",
                                   "IN_BETRIEB",
                                   "2026-02-03T09:15:00Z",
                                   "Registrierkasse K: in Betrieb seit 03.02.2026 10:15"},
                      DescribeCase{"SummerUtcIsTwoHoursBehind",
                                   Operation::Status_Kasse,
                                   "K",
                                   "IN_BETRIEB",
                                   "2026-07-31T22:30:00Z",
                                   "Registrierkasse K: in Betrieb seit 01.08.2026 00:30"},
                      DescribeCase{"OffsetOfAnotherZone",
                                   Operation::Status_Kasse,
                                   "K",
                                   "IN_BETRIEB",
                                   "2026-02-03T05:15:00-04:00",
                                   "Registrierkasse K: in Betrieb seit 03.02.2026 10:15"},
                      DescribeCase{"LastMinuteBeforeSummerTime",
                                   Operation::Status_Kasse,
                                   "K",
                                   "IN_BETRIEB",
                                   "2026-03-29T00:59:00Z",
                                   "Registrierkasse K: in Betrieb seit 29.03.2026 01:59"},
                      DescribeCase{"FirstMinuteOfSummerTime",
                                   Operation::Status_Kasse,
                                   "K",
                                   "IN_BETRIEB",
                                   "2026-03-29T01:00:00Z",
                                   "Registrierkasse K: in Betrieb seit 29.03.2026 03:00"},
                      DescribeCase{"FirstMinuteOfWinterTime",
                                   Operation::Status_Kasse,
                                   "K",
                                   "IN_BETRIEB",
                                   "2026-10-25T01:00:00+00:00",
                                   "Registrierkasse K: in Betrieb seit 25.10.2026 02:00"},
                      DescribeCase{"UnknownStatusAndTimeAsSent",
                                   Operation::Status_Kasse,
                                   "K",
                                   "GESPERRT",
                                   "gestern",
                                   "Registrierkasse K: GESPERRT seit gestern"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

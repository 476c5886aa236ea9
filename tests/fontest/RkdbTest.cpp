#include "tests/fontest/TestClient.h"
#include "tests/support/FonTestService.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <regex>

using namespace fontesttests;

namespace {

using Texts = std::vector<std::string>;

class RkdbTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_service.running());
        m_alice = login(m_client, ALICE);
        m_bob = login(m_client, BOB);
        ASSERT_FALSE(m_alice.empty());
        ASSERT_FALSE(m_bob.empty());
    }

    // Sends the records and checks what every RKDB answer must satisfy.
    std::unique_ptr<XmlAnswer> send(const testsupport::FonAccount& account, char mode, const std::string& records)
    {
        return post(rkdbBody(account, sessionOf(account), mode, records, 4711));
    }
    // Sends one status query (status_kasse or status_see) with the same checks.
    std::unique_ptr<XmlAnswer>
    query(const testsupport::FonAccount& account, char mode, const std::string& element, const std::string& unit)
    {
        return post(statusQueryBody(account, sessionOf(account), mode, element, unit, 4711));
    }
    const std::string& sessionOf(const testsupport::FonAccount& account) const
    {
        return account.tid == ALICE.tid ? m_alice : m_bob;
    }
    std::unique_ptr<XmlAnswer> post(const std::string& body)
    {
        const Reply reply = m_client.post(RKDB_PATH, body, "rkdb");
        EXPECT_EQ(reply.status, 200) << reply.body;
        auto answer = std::make_unique<XmlAnswer>(reply.body);
        EXPECT_EQ(answer->validateResponse(std::string(test_paths::FON_SCHEMA_DIR) + "/regKasseWs.xsd"), Texts{})
            << reply.body;
        EXPECT_EQ(answer->text(RKDB_NS, "paket_nr"), "4711");
        EXPECT_TRUE(std::regex_match(answer->text(RKDB_NS, "ts_erstellung"),
                                     std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})")));
        return answer;
    }

    testsupport::FonTestService m_service{{ALICE, BOB}};
    TestClient m_client{m_service};
    std::string m_alice;
    std::string m_bob;
};

TEST_F(RkdbTest, ProductionRefusesSecondRegistrationOfTheSameUnit)
{
    auto first = send(ALICE,
                      'P',
                      registerCashRegister(1, "KASSE-01") + registerCashRegister(2, "KASSE-02")
                          + registerCashRegister(3, "KASSE-01"));
    EXPECT_EQ(first->texts(RKDB_NS, "satznr"), (Texts{"1", "2", "3"}));
    EXPECT_EQ(first->texts(RKDB_NS, "rc"), (Texts{"0", "0", "B1"}));
    EXPECT_EQ(send(ALICE, 'P', registerCashRegister(9, "KASSE-02"))->text(RKDB_NS, "rc"), "B1");

    auto units = send(ALICE,
                      'P',
                      registerSignatureUnit(1, "AT1", "1234567")
                          + registerSignatureUnit(2, "AT2", "1234567") // other provider, same serial
                          + registerSignatureUnit(3, "AT1", "0001234567"));
    EXPECT_EQ(units->texts(RKDB_NS, "rc"), (Texts{"0", "0", "B10"}));
    EXPECT_EQ(units->texts(RKDB_NS, "msg")[2],
              "Die Signatur- bzw. Siegelerstellungseinheit ist mit diesem Vertrauensdiensteanbieter und dieser "
              "Seriennummer bereits registriert.");

    // another participant has its own registrations
    EXPECT_EQ(send(BOB, 'P', registerCashRegister(1, "KASSE-01"))->text(RKDB_NS, "rc"), "0");
}

TEST_F(RkdbTest, FailureAndDecommissioningNeedARegisteredCashRegister)
{
    auto unknown =
        send(ALICE, 'P', cashRegisterFailure(1, "KASSE-07", false) + cashRegisterFailure(2, "KASSE-07", true));
    EXPECT_EQ(unknown->texts(RKDB_NS, "rc"), (Texts{"B2", "B2"}));
    EXPECT_EQ(unknown->text(RKDB_NS, "msg"), "Die Registrierkasse ist nicht registriert.");

    send(ALICE, 'P', registerCashRegister(1, "KASSE-07"));
    auto known = send(ALICE,
                      'P',
                      cashRegisterFailure(1, "KASSE-07", false) + cashRegisterFailure(2, "KASSE-07", true)
                          + cashRegisterFailure(3, "KASSE-07", false));
    EXPECT_EQ(known->texts(RKDB_NS, "rc"), (Texts{"0", "0", "B3"}));

    const std::string seFailure = "<ausfall_se><satznr>1</satznr><zertifikatsseriennummer>ABC123"
                                  "</zertifikatsseriennummer><ausfall><begruendung>2</begruendung>"
                                  "<beginn_ausfall>2026-12-07T08:00:00</beginn_ausfall></ausfall></ausfall_se>";
    EXPECT_EQ(send(ALICE, 'P', seFailure)->text(RKDB_NS, "rc"), "B11");
    send(ALICE, 'P', registerSignatureUnit(1, "AT3", "abc123"));
    EXPECT_EQ(send(ALICE, 'P', seFailure)->text(RKDB_NS, "rc"), "0");
}

struct StatusCase
{
    const char* name;
    std::string element;
    std::string unit;         // the query's unit element
    std::string registration; // what ALICE registers in production before, "" for nothing
    std::string failure;      // what ALICE reports after it, "" for nothing
    std::string rc;
    std::string status; // of abfrage_ergebnis, "" when the answer must have none
};

void PrintTo(const StatusCase& c, std::ostream* out)
{
    *out << c.name;
}

const std::string KASSE_STATUS = "<kassenidentifikationsnummer>KASSE-31</kassenidentifikationsnummer>";
const std::string SE_STATUS = "<zertifikatsseriennummer hex=\"true\">3d1f2a</zertifikatsseriennummer>";

class StatusQueryTest : public RkdbTest, public ::testing::WithParamInterface<StatusCase>
{
};

TEST_P(StatusQueryTest, AnswersFromWhatTheParticipantRegistered)
{
    const StatusCase& c = GetParam();
    if (!c.registration.empty()) {
        ASSERT_EQ(send(ALICE, 'P', c.registration)->text(RKDB_NS, "rc"), "0");
    }
    if (!c.failure.empty()) {
        ASSERT_EQ(send(ALICE, 'P', c.failure)->text(RKDB_NS, "rc"), "0");
    }
    for (const char mode : {'P', 'T'}) {
        SCOPED_TRACE(mode);
        auto answer = query(ALICE, mode, c.element, c.unit);
        EXPECT_EQ(answer->text(RKDB_NS, "satznr"), "1");
        EXPECT_EQ(answer->text(RKDB_NS, "rc"), c.rc);
        if (c.status.empty()) {
            EXPECT_EQ(answer->texts("", "status"), Texts{});
            continue;
        }
        EXPECT_EQ(answer->text("", "status"), c.status);
        for (const char* stamp : {"ts_registrierung", "ts_status"}) {
            EXPECT_TRUE(std::regex_match(answer->text("", stamp), std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})")))
                << stamp;
        }
    }
    // another participant has not registered the unit
    EXPECT_EQ(query(BOB, 'P', c.element, c.unit)->text(RKDB_NS, "rc"), c.element == "status_kasse" ? "B2" : "B11");
}

INSTANTIATE_TEST_SUITE_P(
    Queries,
    StatusQueryTest,
    ::testing::Values(StatusCase{"UnknownCashRegister", "status_kasse", KASSE_STATUS, "", "", "B2", ""},
                      StatusCase{"UnknownSignatureUnit", "status_see", SE_STATUS, "", "", "B11", ""},
                      StatusCase{"RegisteredCashRegister",
                                 "status_kasse",
                                 KASSE_STATUS,
                                 registerCashRegister(1, "KASSE-31"),
                                 "",
                                 "0",
                                 "IN_BETRIEB"},
                      StatusCase{"FailedCashRegister",
                                 "status_kasse",
                                 KASSE_STATUS,
                                 registerCashRegister(1, "KASSE-31"),
                                 cashRegisterFailure(1, "KASSE-31", false),
                                 "0",
                                 "AUSFALL"},
                      StatusCase{"DecommissionedCashRegister",
                                 "status_kasse",
                                 KASSE_STATUS,
                                 registerCashRegister(1, "KASSE-31"),
                                 cashRegisterFailure(1, "KASSE-31", true),
                                 "B3",
                                 ""},
                      StatusCase{"RegisteredSignatureUnitBySerial",
                                 "status_see",
                                 SE_STATUS,
                                 registerSignatureUnit(1, "AT1", "3D1F2A"),
                                 "",
                                 "0",
                                 "IN_BETRIEB"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RkdbTest, ReceiptCheckPassesOnlyForRegisteredCashRegister)
{
    const std::string beleg = receipt("KASSE-42");
    auto fail = send(ALICE, 'P', receiptCheck(5, beleg));
    EXPECT_EQ(fail->text(RKDB_NS, "satznr"), "5");
    EXPECT_EQ(fail->text(RKDB_NS, "rc"), "43");
    EXPECT_EQ(fail->text(RKDB_NS, "msg"), "Der übermittelte Beleg ist fehlerhaft.");
    EXPECT_EQ(fail->text(RKDB_NS, "verificationId"), "VERIFICATION_FROM_CASHBOX");
    EXPECT_EQ(fail->text(RKDB_NS, "verificationState"), "FAIL");
    EXPECT_NE(fail->text(RKDB_NS, "verificationResultDetailedMessage").find("KASSE-42"), std::string::npos);
    EXPECT_EQ(fail->text(RKDB_NS, "input"), beleg);

    // a registration of the same id by another participant does not count
    send(BOB, 'P', registerCashRegister(1, "KASSE-42"));
    EXPECT_EQ(send(ALICE, 'P', receiptCheck(1, beleg))->text(RKDB_NS, "verificationState"), "FAIL");

    send(ALICE, 'P', registerCashRegister(1, "KASSE-42"));
    auto pass = send(ALICE, 'P', receiptCheck(6, beleg));
    EXPECT_EQ(pass->text(RKDB_NS, "rc"), "0");
    EXPECT_EQ(pass->text(RKDB_NS, "verificationState"), "PASS");
    EXPECT_EQ(pass->text(RKDB_NS, "input"), beleg);
}

TEST_F(RkdbTest, TestModeAnswersZeroAndStoresNothing)
{
    auto twice = send(ALICE, 'T', registerCashRegister(1, "KASSE-05") + registerCashRegister(2, "KASSE-05"));
    EXPECT_EQ(twice->texts(RKDB_NS, "rc"), (Texts{"0", "0"}));
    EXPECT_EQ(send(ALICE, 'T', cashRegisterFailure(1, "KASSE-99", false))->text(RKDB_NS, "rc"), "0");
    EXPECT_EQ(send(ALICE, 'T', receiptCheck(1, receipt("KASSE-99")))->text(RKDB_NS, "verificationState"), "PASS");

    // nothing of the above was kept
    EXPECT_EQ(send(ALICE, 'P', registerCashRegister(1, "KASSE-05"))->text(RKDB_NS, "rc"), "0");
    EXPECT_EQ(send(ALICE, 'P', receiptCheck(1, receipt("KASSE-99")))->text(RKDB_NS, "rc"), "43");
    // and production registrations don't make a test registration fail
    EXPECT_EQ(send(ALICE, 'T', registerCashRegister(1, "KASSE-05"))->text(RKDB_NS, "rc"), "0");
}

TEST_F(RkdbTest, InvalidRecordIsAClientFault)
{
    std::string records = registerCashRegister(1, "KASSE-01");
    records.replace(records.find("QUI="), 4, "QU="); // benutzerschluessel one character short
    for (const char* style : {"ns0", "ns5"}) {
        SCOPED_TRACE(style);
        m_service.setStyle(style);
        const Reply reply = m_client.post(RKDB_PATH, rkdbBody(ALICE, m_alice, 'P', records), "rkdb");
        EXPECT_EQ(reply.status, 500);
        const XmlAnswer answer(reply.body);
        EXPECT_EQ(answer.text("", "faultcode"), std::string(style) == "ns5" ? "soapenv:Client" : "SOAP-ENV:Client");
        EXPECT_EQ(answer.text("", "faultstring"), "Validation error");
        EXPECT_NE(answer.text("", "detail").find("benutzerschluessel"), std::string::npos);
    }
    // the refused packet registered nothing
    m_service.setStyle("ns0");
    EXPECT_EQ(send(ALICE, 'P', registerCashRegister(1, "KASSE-01"))->text(RKDB_NS, "rc"), "0");
}

TEST_F(RkdbTest, OlderStyleAnswerIsSchemaValidWithCharacterReferences)
{
    m_service.setStyle("ns5");
    const Reply reply =
        m_client.post(RKDB_PATH, rkdbBody(ALICE, m_alice, 'P', receiptCheck(1, receipt("K-X"))), "rkdb");
    EXPECT_NE(reply.body.find("<ns5:rkdbResponse xmlns=\"\" xmlns:ns5=\"https://finanzonline.bmf.gv.at/rkdb\">"),
              std::string::npos);
    EXPECT_NE(reply.body.find("Der &#252;bermittelte Beleg ist fehlerhaft."), std::string::npos);
    const XmlAnswer answer(reply.body);
    EXPECT_EQ(answer.validateResponse(std::string(test_paths::FON_SCHEMA_DIR) + "/regKasseWs.xsd"), Texts{});
    EXPECT_EQ(answer.text(RKDB_NS, "msg"), "Der übermittelte Beleg ist fehlerhaft.");
}

} // namespace

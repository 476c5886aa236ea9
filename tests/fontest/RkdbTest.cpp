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
        const std::string& id = account.tid == ALICE.tid ? m_alice : m_bob;
        const Reply reply = m_client.post(RKDB_PATH, rkdbBody(account, id, mode, records, 4711), "rkdb");
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

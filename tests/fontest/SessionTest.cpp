#include "tests/fontest/TestClient.h"
#include "tests/support/FonTestService.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

using namespace fontesttests;

namespace {

const testsupport::FonAccount LOCKED{"TID000003", "BENLOCK01", "geheim-0003", "-6"};
const testsupport::FonAccount MAINTENANCE{"TID000004", "BENMAINT1", "geheim-0004", "-2"};
const std::string INVALID_SESSION = "Die Session ID ist ungültig oder abgelaufen.";

class SessionTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_service.running()); }

    testsupport::FonTestService m_service{{ALICE, BOB, LOCKED, MAINTENANCE}};
    TestClient m_client{m_service};
};

TEST_F(SessionTest, RightPinOpensANewSessionEachLogin)
{
    std::set<std::string> ids;
    for (int i = 0; i < 2; ++i) {
        const Reply reply = m_client.post(SESSION_PATH, loginBody(ALICE, ALICE.pin), "login");
        ASSERT_EQ(reply.code, CURLE_OK);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.contentType, "text/xml;charset=UTF-8");
        const XmlAnswer answer(reply.body);
        EXPECT_EQ(answer.text(SESSION_NS, "rc"), "0");
        const std::string id = answer.text(SESSION_NS, "id");
        // logoutRequest only accepts [0-9A-Za-z]{10,24}; the service's ids must pass it
        EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-Za-z]{10,24}"))) << id;
        ids.insert(id);
        const std::vector<std::string> expected = {"{http://schemas.xmlsoap.org/soap/envelope/}Envelope",
                                                   "{http://schemas.xmlsoap.org/soap/envelope/}Header",
                                                   "{http://schemas.xmlsoap.org/soap/envelope/}Body",
                                                   "{https://finanzonline.bmf.gv.at/fon/ws/session}loginResponse",
                                                   "{https://finanzonline.bmf.gv.at/fon/ws/session}id"};
        const auto names = answer.elementNames();
        ASSERT_GE(names.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 5), expected);
        EXPECT_TRUE(answer.validateResponse(std::string(test_paths::FON_SCHEMA_DIR) + "/session.xsd").empty());
    }
    EXPECT_EQ(ids.size(), 2U);
}

TEST_F(SessionTest, RefusedLoginIsAnAnswerWithEmptyIdAndNegativeRc)
{
    struct Case
    {
        const char* what;
        testsupport::FonAccount account;
        std::string pin;
        std::string rc;
        std::string msg;
    };
    const Case cases[] = {
        {"wrong PIN",
         ALICE,
         "falsch-1234",
         "-4",
         "Die Teilnehmer-Identifikation, Benutzer-Identifikation oder PIN ist ungültig."},
        {"unknown participant",
         {"TID999999", ALICE.benid, ALICE.pin, ""},
         ALICE.pin,
         "-4",
         "Die Teilnehmer-Identifikation, Benutzer-Identifikation oder PIN ist ungültig."},
        {"another user's PIN",
         BOB,
         ALICE.pin,
         "-4",
         "Die Teilnehmer-Identifikation, Benutzer-Identifikation oder PIN ist ungültig."},
        {"locked user, right PIN", LOCKED, LOCKED.pin, "-6", "Der Benutzer ist gesperrt."},
        {"maintenance",
         MAINTENANCE,
         MAINTENANCE.pin,
         "-2",
         "Die Webservices stehen wegen Wartungsarbeiten derzeit nicht zur Verfügung."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Reply reply = m_client.post(SESSION_PATH, loginBody(c.account, c.pin), "login");
        EXPECT_EQ(reply.status, 200);
        const XmlAnswer answer(reply.body);
        EXPECT_EQ(answer.text(SESSION_NS, "id"), "");
        EXPECT_EQ(answer.text(SESSION_NS, "rc"), c.rc);
        EXPECT_EQ(answer.text(SESSION_NS, "msg"), c.msg);
    }
}

TEST_F(SessionTest, LogoutEndsTheSessionForRkdb)
{
    const std::string id = login(m_client, ALICE);
    ASSERT_FALSE(id.empty());
    const std::string records = registerCashRegister(1, "KASSE-01") + registerCashRegister(2, "KASSE-02");

    XmlAnswer before(m_client.post(RKDB_PATH, rkdbBody(ALICE, id, 'T', records), "rkdb").body);
    EXPECT_EQ(before.texts(RKDB_NS, "rc"), (std::vector<std::string>{"0", "0"}));

    XmlAnswer logout(m_client.post(SESSION_PATH, logoutBody(ALICE, id), "logout").body);
    EXPECT_EQ(logout.text(SESSION_NS, "rc"), "0");
    EXPECT_TRUE(logout.validateResponse(std::string(test_paths::FON_SCHEMA_DIR) + "/session.xsd").empty());

    const Reply after = m_client.post(RKDB_PATH, rkdbBody(ALICE, id, 'T', records), "rkdb");
    EXPECT_EQ(after.status, 200);
    XmlAnswer refused(after.body);
    EXPECT_EQ(refused.texts(RKDB_NS, "satznr"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(refused.texts(RKDB_NS, "rc"), (std::vector<std::string>{"-1", "-1"}));
    EXPECT_EQ(refused.texts(RKDB_NS, "msg"), (std::vector<std::string>{INVALID_SESSION, INVALID_SESSION}));
    EXPECT_TRUE(refused.validateResponse(std::string(test_paths::FON_SCHEMA_DIR) + "/regKasseWs.xsd").empty());

    XmlAnswer again(m_client.post(SESSION_PATH, logoutBody(ALICE, id), "logout").body);
    EXPECT_EQ(again.text(SESSION_NS, "rc"), "-1");
    EXPECT_EQ(again.text(SESSION_NS, "msg"), INVALID_SESSION);
}

TEST_F(SessionTest, SessionOnlyServesItsOwnParticipantAndUser)
{
    const std::string id = login(m_client, ALICE);
    ASSERT_FALSE(id.empty());
    XmlAnswer foreign(m_client.post(RKDB_PATH, rkdbBody(BOB, id, 'T', registerCashRegister(1, "K1")), "rkdb").body);
    EXPECT_EQ(foreign.text(RKDB_NS, "rc"), "-1");
    XmlAnswer own(m_client.post(RKDB_PATH, rkdbBody(ALICE, id, 'T', registerCashRegister(1, "K1")), "rkdb").body);
    EXPECT_EQ(own.text(RKDB_NS, "rc"), "0");
}

TEST_F(SessionTest, SchemaViolationsAreClientFaults)
{
    const std::string envelope = "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\">";
    std::string shortTid = loginBody(ALICE, ALICE.pin);
    shortTid.replace(shortTid.find(ALICE.tid), ALICE.tid.size(), "T1");
    struct Case
    {
        const char* what;
        std::string body;
        std::string detailMentions;
    };
    const Case cases[] = {
        {"tid against its pattern", shortTid, "tid"},
        {"pin too short", loginBody(ALICE, "123"), "pin"},
        {"not well-formed", envelope + "<soapenv:Body><loginRequest>", "line"},
        {"no Body", envelope + "<soapenv:Header/></soapenv:Envelope>", "Body"},
        {"SOAP 1.2 envelope",
         "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body/></e:Envelope>",
         "Envelope"},
        {"RKDB request on the session endpoint",
         rkdbBody(ALICE, "x", 'T', registerCashRegister(1, "K1")),
         "rkdbRequest"},
    };
    for (const char* style : {"ns0", "ns5"}) {
        m_service.setStyle(style);
        const std::string env = style == std::string("ns5") ? "soapenv" : "SOAP-ENV";
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(style) + ": " + c.what);
            const Reply reply = m_client.post(SESSION_PATH, c.body, "login");
            EXPECT_EQ(reply.status, 500);
            EXPECT_EQ(reply.contentType, "text/xml;charset=UTF-8");
            const XmlAnswer answer(reply.body);
            EXPECT_EQ(answer.text("", "faultcode"), env + ":Client");
            EXPECT_EQ(answer.text("", "faultstring"), "Validation error");
            EXPECT_NE(answer.text("", "detail").find(c.detailMentions), std::string::npos) << answer.text("", "detail");
            const auto names = answer.elementNames();
            ASSERT_GE(names.size(), 4U);
            EXPECT_EQ(names[1], "{http://schemas.xmlsoap.org/soap/envelope/}Header");
            EXPECT_EQ(names[3], "{http://schemas.xmlsoap.org/soap/envelope/}Fault");
        }
    }
}

TEST_F(SessionTest, BothEnvelopeStylesCarryTheSameAnswer)
{
    m_service.setStyle("ns5");
    const Reply old = m_client.post(SESSION_PATH, loginBody(ALICE, "falsch-1234"), "login");
    EXPECT_EQ(old.body.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?><soapenv:Envelope "
                             "xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Header/>"
                             "<soapenv:Body><ns5:loginResponse xmlns=\"\" "
                             "xmlns:ns5=\"https://finanzonline.bmf.gv.at/fon/ws/session\"><ns5:id></ns5:id>"
                             "<ns5:rc>-4</ns5:rc><ns5:msg>",
                             0),
              0U)
        << old.body;
    EXPECT_NE(old.body.find("ung&#252;ltig"), std::string::npos);
    EXPECT_TRUE(std::all_of(old.body.begin(), old.body.end(), [](char c) { return (c & 0x80) == 0; }));

    m_service.setStyle("ns0");
    const Reply recent = m_client.post(SESSION_PATH, loginBody(ALICE, "falsch-1234"), "login");
    EXPECT_NE(recent.body.find("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                               "<SOAP-ENV:Header/><SOAP-ENV:Body><ns0:loginResponse "
                               "xmlns:ns0=\"https://finanzonline.bmf.gv.at/fon/ws/session\"><ns0:id></ns0:id>"),
              std::string::npos)
        << recent.body;
    EXPECT_NE(recent.body.find("ungültig"), std::string::npos);

    const XmlAnswer a(old.body);
    const XmlAnswer b(recent.body);
    EXPECT_EQ(a.elementNames(), b.elementNames());
    EXPECT_EQ(a.text(SESSION_NS, "msg"), b.text(SESSION_NS, "msg"));
}

} // namespace

#include "tests/fontest/TestClient.h"
#include "tests/support/FonTestService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

using namespace fontesttests;

namespace {

constexpr std::size_t MIB = 1024 * 1024;

// Waits until the service has logged `count` requests (at most 10 s).
bool waitForRequests(const testsupport::FonTestService& service, std::size_t count)
{
    for (int i = 0; i < 1000; ++i) {
        if (service.requests().size() >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class TransportTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_service.running()); }

    Reply loginReply(TestClient& client) { return client.post(SESSION_PATH, loginBody(ALICE, ALICE.pin), "login"); }

    testsupport::FonTestService m_service{{ALICE}};
    TestClient m_client{m_service};
};

TEST_F(TransportTest, OneConnectionCarriesLoginRkdbAndLogoutAndAllAreLogged)
{
    const std::string loginRequest = loginBody(ALICE, ALICE.pin);
    const Reply first = m_client.post("/fonws/ws/sessionService", loginRequest, "login");
    const std::string id = XmlAnswer(first.body).text(SESSION_NS, "id");
    ASSERT_EQ(XmlAnswer(first.body).text(SESSION_NS, "rc"), "0");
    const std::string rkdbRequest = rkdbBody(ALICE, id, 'T', registerCashRegister(1, "KASSE-01"));
    EXPECT_EQ(XmlAnswer(m_client.post(RKDB_PATH, rkdbRequest, "rkdb").body).text(RKDB_NS, "rc"), "0");
    EXPECT_EQ(XmlAnswer(m_client.post(SESSION_PATH, logoutBody(ALICE, id), "logout").body).text(SESSION_NS, "rc"), "0");
    TestClient other(m_service);
    EXPECT_EQ(loginReply(other).status, 200);

    const auto requests = m_service.requests();
    ASSERT_EQ(requests.size(), 4U);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(requests[static_cast<std::size_t>(i)].seq, i + 1);
        EXPECT_EQ(requests[static_cast<std::size_t>(i)].method, "POST");
    }
    EXPECT_EQ(requests[0].path, "/fonws/ws/sessionService");
    EXPECT_EQ(requests[1].path, RKDB_PATH);
    EXPECT_EQ(requests[2].path, SESSION_PATH);
    EXPECT_EQ(requests[0].body, loginRequest);
    EXPECT_EQ(requests[1].body, rkdbRequest);
    EXPECT_EQ(requests[0].header("soapaction"), "\"login\"");
    EXPECT_EQ(requests[1].header("SOAPAction"), "\"rkdb\"");
    EXPECT_EQ(requests[1].header("content-type"), "text/xml; charset=utf-8");
    EXPECT_EQ(requests[1].header("Content-Length"), std::to_string(rkdbRequest.size()));
    EXPECT_EQ(requests[1].header("X-Not-Sent"), "");
    EXPECT_EQ(requests[0].connection.rfind("127.0.0.1:", 0), 0U);
    EXPECT_EQ(requests[0].connection, requests[1].connection);
    EXPECT_EQ(requests[0].connection, requests[2].connection);
    EXPECT_NE(requests[0].connection, requests[3].connection);
}

TEST_F(TransportTest, UnknownPathsAndMethodsAreNotFound)
{
    EXPECT_EQ(m_client.post("/fonws/ws/other", loginBody(ALICE, ALICE.pin)).status, 404);
    EXPECT_EQ(m_client.get(RKDB_PATH).status, 404);
    EXPECT_EQ(m_client.post("/fonws/ws/session", loginBody(ALICE, ALICE.pin), "login").status, 404);
    const auto requests = m_service.requests();
    ASSERT_EQ(requests.size(), 3U);
    EXPECT_EQ(requests[1].method, "GET");
}

// Told so, the session service answers on the address of FinanzOnline's WSDL only.
TEST_F(TransportTest, TheSessionServiceAnswersOnTheOnePathItIsToldOf)
{
    m_service.setSessionPath("/fonws/ws/session");
    EXPECT_EQ(loginReply(m_client).status, 404);
    const Reply reply = m_client.post("/fonws/ws/session", loginBody(ALICE, ALICE.pin), "login");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(XmlAnswer(reply.body).text(SESSION_NS, "rc"), "0");
}

TEST(TransportCertificateTest, CertificateNamesTheConfiguredHostOnly)
{
    testsupport::FonTestService service({ALICE}, "fon.test.internal");
    ASSERT_TRUE(service.running());
    TestClient right(service);
    EXPECT_EQ(right.post(SESSION_PATH, loginBody(ALICE, ALICE.pin), "login").status, 200);
    TestClient wrong(service, 20, "finanzonline.bmf.gv.at");
    const Reply refused = wrong.post(SESSION_PATH, loginBody(ALICE, ALICE.pin), "login");
    EXPECT_EQ(refused.code, CURLE_PEER_FAILED_VERIFICATION);
}

TEST_F(TransportTest, CloseModeDropsTheConnectionWithoutAnyResponse)
{
    m_service.setMode("close");
    const Reply dropped = loginReply(m_client);
    EXPECT_NE(dropped.code, CURLE_OK);
    EXPECT_EQ(dropped.code == CURLE_GOT_NOTHING || dropped.code == CURLE_RECV_ERROR, true)
        << curl_easy_strerror(dropped.code);
    EXPECT_EQ(dropped.status, 0);
    EXPECT_TRUE(dropped.body.empty());
    EXPECT_EQ(m_service.requests().size(), 1U);

    m_service.setMode("normal");
    EXPECT_EQ(XmlAnswer(loginReply(m_client).body).text(SESSION_NS, "rc"), "0");
}

TEST_F(TransportTest, LateModeDelaysOnlyThatAnswer)
{
    m_service.setMode("late 2");
    auto late = std::async(std::launch::async, [this] {
        TestClient client(m_service);
        return loginReply(client);
    });
    ASSERT_TRUE(waitForRequests(m_service, 1));
    m_service.setMode("normal");
    const Reply prompt = loginReply(m_client);
    EXPECT_LT(prompt.seconds, 1.5);
    EXPECT_EQ(XmlAnswer(prompt.body).text(SESSION_NS, "rc"), "0");

    const Reply delayed = late.get();
    EXPECT_GE(delayed.seconds, 2.0);
    EXPECT_EQ(delayed.status, 200);
    EXPECT_EQ(XmlAnswer(delayed.body).text(SESSION_NS, "rc"), "0");
}

TEST_F(TransportTest, GarbageModeAnswersBytesThatAreNoXml)
{
    m_service.setMode("garbage");
    const Reply reply = loginReply(m_client);
    EXPECT_EQ(reply.status, 200);
    EXPECT_FALSE(reply.body.empty());
    EXPECT_FALSE(XmlAnswer(reply.body).wellFormed());
}

TEST_F(TransportTest, FaultModeAnswersAServerFault)
{
    for (const char* style : {"ns0", "ns5"}) {
        SCOPED_TRACE(style);
        m_service.setStyle(style);
        m_service.setMode("fault");
        const Reply reply = loginReply(m_client);
        EXPECT_EQ(reply.status, 500);
        const XmlAnswer answer(reply.body);
        EXPECT_EQ(answer.text("", "faultcode"), std::string(style) == "ns5" ? "soapenv:Server" : "SOAP-ENV:Server");
        EXPECT_EQ(answer.text("", "faultstring"), "Technischer Fehler");
        ASSERT_GE(answer.elementNames().size(), 4U);
        EXPECT_EQ(answer.elementNames()[3], "{http://schemas.xmlsoap.org/soap/envelope/}Fault");
    }
}

TEST_F(TransportTest, EmptyModeAnswersNothingWithStatus200)
{
    m_service.setMode("empty");
    const Reply reply = loginReply(m_client);
    EXPECT_EQ(reply.code, CURLE_OK);
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.body.empty());
}

TEST_F(TransportTest, HugeModePadsAWellFormedAnswerToTheSize)
{
    m_service.setMode("huge 3");
    const Reply reply = loginReply(m_client);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body.size(), 3 * MIB);
    const XmlAnswer answer(reply.body);
    EXPECT_TRUE(answer.wellFormed());
    EXPECT_EQ(answer.text(SESSION_NS, "rc"), "0");
}

TEST_F(TransportTest, ForeignRcModeBindsRcToAnotherNamespace)
{
    for (const char* style : {"ns0", "ns5"}) {
        SCOPED_TRACE(style);
        m_service.setStyle(style);
        m_service.setMode("foreign-rc");
        const Reply reply = m_client.post(SESSION_PATH, loginBody(ALICE, "falsch-1234"), "login");
        EXPECT_EQ(reply.status, 200);
        const std::string prefix = style;
        EXPECT_NE(
            reply.body.find("<" + prefix + ":rc xmlns:" + prefix + "=\"urn:example:other\">0</" + prefix + ":rc>"),
            std::string::npos)
            << reply.body;
        const XmlAnswer answer(reply.body);
        EXPECT_EQ(answer.texts(SESSION_NS, "rc"), std::vector<std::string>{});
        EXPECT_EQ(answer.texts("urn:example:other", "rc"), std::vector<std::string>{"0"});
        ASSERT_GE(answer.elementNames().size(), 5U);
        EXPECT_EQ(answer.elementNames()[4], "{https://finanzonline.bmf.gv.at/fon/ws/session}id");
    }
}

TEST(TransportStopTest, ServiceStopsPromptlyWhileAnAnswerIsLate)
{
    auto service = std::make_unique<testsupport::FonTestService>(std::vector<testsupport::FonAccount>{ALICE});
    ASSERT_TRUE(service->running());
    service->setMode("late 30");
    auto late = std::async(std::launch::async, [&service] {
        TestClient client(*service, 40);
        return client.post(SESSION_PATH, loginBody(ALICE, ALICE.pin), "login");
    });
    ASSERT_TRUE(waitForRequests(*service, 1));
    const auto start = std::chrono::steady_clock::now();
    service.reset();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0);
    const Reply reply = late.get();
    EXPECT_NE(reply.status, 200);
}

} // namespace

// The service ends with exit code 0 on SIGTERM whatever it is doing: at once after it listens, idle after answers,
// with a connection kept open, and while an answer is held back. A crash or a sanitizer's report at shutdown would
// show as another exit.
TEST(TransportStopTest, SigtermEndsTheServiceCleanlyInEveryState)
{
    for (const char* state : {"just started", "idle", "connection open", "answer held back"}) {
        SCOPED_TRACE(state);
        testsupport::FonTestService service({ALICE});
        ASSERT_TRUE(service.running());
        std::unique_ptr<TestClient> client;
        std::future<Reply> pending;
        if (std::string(state) != "just started") {
            client = std::make_unique<TestClient>(service);
            EXPECT_EQ(client->post(SESSION_PATH, loginBody(ALICE, ALICE.pin), "login").status, 200);
        }
        if (std::string(state) == "idle") {
            client.reset();
        } else if (std::string(state) == "answer held back") {
            service.setMode("late 5");
            pending = std::async(std::launch::async, [&service] {
                TestClient late(service, 20);
                return late.post(SESSION_PATH, loginBody(ALICE, ALICE.pin), "login");
            });
            ASSERT_TRUE(waitForRequests(service, 2));
        }
        EXPECT_EQ(service.stop(), "");
        if (pending.valid()) {
            EXPECT_NE(pending.get().status, 200) << "the held-back answer is not sent after the stop";
        }
    }
}

// The client against the local FinanzOnline test service over real HTTPS: the requests as the service received
// them, byte for byte, and the answers as the client reads them.
#include "fonws/WebRegKasseAT.h"

#include "base/Program.h"
#include "tests/support/FonTestService.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

using namespace std::chrono;
using fonws::AnswerPair;
using fonws::Record;
using fonws::WebRegKasseAT;
using testsupport::FonTestService;

namespace {

const std::string TID = "123456789012";
const std::string BENID = "WEBUSER01";
const std::string PIN = "Pin&<>42";
const std::string UID = "ATU12345678";
const std::string HOST = "finanzonline.bmf.gv.at";
// 44 Base64 characters, as the AES key of a till.
const std::string KEY = "uW4h0LsV7V1mZ9q3bY2cT6xN8pR5kD1fG0jH3sA7eQ8=";

std::string lines(std::initializer_list<std::string> text, bool lastWithBreak = false)
{
    std::string out;
    std::size_t i = 0;
    for (const auto& line : text) {
        out += line;
        if (++i < text.size() || lastWithBreak) {
            out += "\r\n";
        }
    }
    return out;
}

const std::string RKDB_START = lines({"<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                                      "xmlns:rkdb=\"https://finanzonline.bmf.gv.at/rkdb\">",
                                      "<soapenv:Header/>",
                                      "<soapenv:Body>",
                                      "<rkdb:rkdbRequest>",
                                      "<rkdb:tid>123456789012</rkdb:tid>",
                                      "<rkdb:benid>WEBUSER01</rkdb:benid>",
                                      "<rkdb:id>SESSION</rkdb:id>",
                                      "<rkdb:art_uebermittlung>T</rkdb:art_uebermittlung>",
                                      "<rkdb:erzwinge_asynchron>false</rkdb:erzwinge_asynchron>",
                                      "<rkdb:rkdb>",
                                      "<rkdb:paket_nr>1</rkdb:paket_nr>",
                                      "<rkdb:ts_erstellung>2017-01-23T10:48:15</rkdb:ts_erstellung>"},
                                     true);
const std::string RKDB_END = lines({"</rkdb:rkdb>", "</rkdb:rkdbRequest>", "</soapenv:Body>", "</soapenv:Envelope>"});

class WebRegKasseATTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        service = new FonTestService({{TID, BENID, PIN, ""}, {"987654321098", "GESPERRT1", "12345", "-6"}});
    }
    static void TearDownTestSuite()
    {
        delete service;
        service = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(service->running());
        service->setStyle("ns0");
        service->setMode("normal");
        state.startIn(dir.path());
        auto& p = base::program();
        p.TestFlag = "J";
        p.connections.fonHost = HOST;
        p.connections.fonCaFile = service->caFile();
        p.connections.fonConnectTo = service->connectTo();
        state.setClock({year{2017} / January / 23, hh_mm_ss<seconds>(10h + 48min + 15s)});
        fonws::setDebugSink([this](const std::string& line) { debugLines.push_back(line); });
        before = service->requests().size();
    }
    void TearDown() override { fonws::setDebugSink({}); }

    // What the service received since the test began.
    std::vector<testsupport::ReceivedRequest> received() const
    {
        auto all = service->requests();
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }

    // The RKDB body the client must send around the given notification lines, with the session id it got.
    static std::string rkdbBody(const std::string& sessionId, const std::string& notification)
    {
        std::string start = RKDB_START;
        start.replace(start.find("SESSION"), 7, sessionId);
        return start + notification + RKDB_END;
    }

    // Login, the operation, logout: returns the operation's answer and checks the RKDB request's body.
    template <class Operation> AnswerPair submit(Operation operation, const std::string& notification)
    {
        WebRegKasseAT client(TID, BENID, PIN, UID);
        EXPECT_EQ(client.Login().code, "0");
        const auto answer = operation(client);
        lastAnswerXml = client.accXml();
        EXPECT_EQ(client.Logout().code, "0");
        const auto got = received();
        EXPECT_EQ(got.size(), 3u);
        if (got.size() == 3) {
            EXPECT_EQ(got[1].path, "/fonws/ws/rkdb");
            EXPECT_EQ(got[1].body, rkdbBody(client.SessionId(), notification));
            EXPECT_EQ(got[1].header("SOAPAction"), "\"rkdb\"");
            EXPECT_EQ(got[1].header("Content-Length"), std::to_string(got[1].body.size()));
        }
        return answer;
    }

    static FonTestService* service;
    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
    std::vector<std::string> debugLines;
    std::string lastAnswerXml;
    std::size_t before = 0;
};

FonTestService* WebRegKasseATTest::service = nullptr;

TEST_F(WebRegKasseATTest, LoginAndLogoutAreSentByteForByteOverOneConnection)
{
    WebRegKasseAT client(TID, BENID, PIN, UID);
    EXPECT_EQ(client.Uebermittlungsart(), "T");
    EXPECT_EQ(client.Login().code, "0");
    EXPECT_GE(client.SessionId().size(), 8u);
    const std::string loginBody = lines({
        "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:ses=\"https://finanzonline.bmf.gv.at/fon/ws/session\">",
        "   <soapenv:Header/>",
        "   <soapenv:Body>",
        "      <ses:loginRequest>",
        "         <ses:tid>123456789012</ses:tid>",
        "         <ses:benid>WEBUSER01</ses:benid>",
        "         <ses:pin>Pin&amp;&lt;&gt;42</ses:pin>",
        "         <ses:herstellerid>ATU12345678</ses:herstellerid>",
        "      </ses:loginRequest>",
        "   </soapenv:Body>",
        "</soapenv:Envelope>",
    });
    EXPECT_EQ(client.Http().lastRequestHead(),
              "POST /fonws/ws/sessionService HTTP/1.1\r\n"
              "Host: finanzonline.bmf.gv.at:443\r\n" // curl writes Host and the agent first, the rest in order
              "User-Agent: RoDodo\r\n"
              "Accept: */*\r\n"
              "SOAPAction: \"login\"\r\n"
              "Connection: Keep-Alive\r\n"
              "Content-Type: text/xml;charset=UTF-8\r\n"
              "Content-Length: "
                  + std::to_string(loginBody.size()) + "\r\n\r\n");

    EXPECT_EQ(client.Logout().code, "0");
    const auto got = received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].body, loginBody);
    EXPECT_EQ(got[0].path, "/fonws/ws/sessionService");
    EXPECT_EQ(got[0].header("Host"), "finanzonline.bmf.gv.at:443");
    EXPECT_EQ(got[1].body,
              lines({
                  "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                  "xmlns:ses=\"https://finanzonline.bmf.gv.at/fon/ws/session\">",
                  "   <soapenv:Header/>",
                  "   <soapenv:Body>",
                  "      <ses:logoutRequest>",
                  "         <ses:tid>123456789012</ses:tid>",
                  "         <ses:benid>WEBUSER01</ses:benid>",
                  "         <ses:id>" + client.SessionId() + "</ses:id>",
                  "      </ses:logoutRequest>",
                  "   </soapenv:Body>",
                  "</soapenv:Envelope>",
              }));
    EXPECT_EQ(got[1].header("SOAPAction"), "\"logout\"");
    EXPECT_EQ(got[0].connection, got[1].connection) << "login and logout share one TLS connection";
}

TEST_F(WebRegKasseATTest, OlderAnswersWithPrefixNs5AreReadToo)
{
    service->setStyle("ns5");
    WebRegKasseAT client(TID, BENID, PIN, UID);
    EXPECT_EQ(client.Login().code, "0");
    EXPECT_FALSE(client.SessionId().empty());
    EXPECT_EQ(client.Registrierung_Kasse({{"", "KASSE-01", "", KEY}}).code, "0");
    EXPECT_NE(client.accXml().find("ns5:rkdbResponse"), std::string::npos);
    EXPECT_EQ(client.Logout().code, "0");
}

TEST_F(WebRegKasseATTest, RegistrationOfASignatureUnit)
{
    const auto answer = submit(
        [](WebRegKasseAT& c) {
            return c.Registrierung_SE({{"Bäckerei Müller", "SIGNATURKARTE", "AT1", "3d1f2a"}});
        },
        lines({"<rkdb:registrierung_se>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:kundeninfo>Bäckerei Müller</rkdb:kundeninfo>",
               "<rkdb:art_se>SIGNATURKARTE</rkdb:art_se>",
               "<rkdb:vda_id>AT1</rkdb:vda_id>",
               "<rkdb:zertifikatsseriennummer hex=\"true\">3d1f2a</rkdb:zertifikatsseriennummer>",
               "</rkdb:registrierung_se>"},
              true));
    EXPECT_EQ(answer.code, "0");
    EXPECT_EQ(received()[1].header("Content-Length"), std::to_string(received()[1].body.size()))
        << "umlauts travel as UTF-8 and are counted in bytes";
}

// FinanzOnline's schema wants a certificate of at least one character: the empty one is refused, as the service
// refuses it, and the refusal reaches the caller as no return code.
TEST_F(WebRegKasseATTest, RegistrationOfASignatureUnitWithoutSerialSendsTheEmptyCertificate)
{
    const auto answer = submit(
        [](WebRegKasseAT& c) {
            return c.Registrierung_SE({{"", "SIGNATURKARTE", "AT1", "", ""}});
        },
        lines({"<rkdb:registrierung_se>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:art_se>SIGNATURKARTE</rkdb:art_se>",
               "<rkdb:vda_id>AT1</rkdb:vda_id>",
               "<rkdb:zertifikat></rkdb:zertifikat>",
               "</rkdb:registrierung_se>"},
              true));
}

TEST_F(WebRegKasseATTest, RegistrationOfACashRegisterWithAndWithoutRemark)
{
    const auto answer = submit(
        [](WebRegKasseAT& c) {
            return c.Registrierung_Kasse({{"A&B <GmbH>", "KASSE-01", "Theke 1", KEY}});
        },
        lines({"<rkdb:registrierung_kasse>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:kundeninfo>A&amp;B &lt;GmbH&gt;</rkdb:kundeninfo>",
               "<rkdb:kassenidentifikationsnummer>KASSE-01</rkdb:kassenidentifikationsnummer>",
               "<rkdb:anmerkung>Theke 1</rkdb:anmerkung>",
               "<rkdb:benutzerschluessel>" + KEY + "</rkdb:benutzerschluessel>",
               "</rkdb:registrierung_kasse>"},
              true));
    EXPECT_EQ(answer.code, "0") << "escaped values keep the request valid";
    before = service->requests().size();
    submit(
        [](WebRegKasseAT& c) {
            return c.Registrierung_Kasse({{" ", "KASSE-01", "\t", KEY}});
        },
        lines({"<rkdb:registrierung_kasse>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:kassenidentifikationsnummer>KASSE-01</rkdb:kassenidentifikationsnummer>",
               "<rkdb:benutzerschluessel>" + KEY + "</rkdb:benutzerschluessel>",
               "</rkdb:registrierung_kasse>"},
              true));
}

TEST_F(WebRegKasseATTest, FailuresCarryTheirBeginning)
{
    submit(
        [](WebRegKasseAT& c) {
            return c.Ausfall_SE({{"", "3d1f2a", "1", year{2017} / March / 5, std::string("09:30:00")}});
        },
        lines({"<rkdb:ausfall_se>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:zertifikatsseriennummer hex=\"true\">3d1f2a</rkdb:zertifikatsseriennummer>",
               "<rkdb:ausfall>",
               "<rkdb:begruendung>1</rkdb:begruendung>",
               "<rkdb:beginn_ausfall>2017-03-05T09:30:00</rkdb:beginn_ausfall>",
               "</rkdb:ausfall>",
               "</rkdb:ausfall_se>"},
              true));
    before = service->requests().size();
    submit(
        [](WebRegKasseAT& c) {
            return c.Ausfall_Kasse({{"Filiale", "KASSE-01", "2", year{2017} / January / 2, std::string("07:05:00")}});
        },
        lines({"<rkdb:ausfall_kasse>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:kundeninfo>Filiale</rkdb:kundeninfo>",
               "<rkdb:kassenidentifikationsnummer>KASSE-01</rkdb:kassenidentifikationsnummer>",
               "<rkdb:ausfall>",
               "<rkdb:begruendung>2</rkdb:begruendung>",
               "<rkdb:beginn_ausfall>2017-01-02T07:05:00</rkdb:beginn_ausfall>",
               "</rkdb:ausfall>",
               "</rkdb:ausfall_kasse>"},
              true));
}

TEST_F(WebRegKasseATTest, RecommissioningsCarryTheirEnd)
{
    submit(
        [](WebRegKasseAT& c) {
            return c.Wiederinbetriebnahme_SE({{"", "3d1f2a", year{2017} / March / 6, std::string("12:00:00")}});
        },
        lines({"<rkdb:wiederinbetriebnahme_se>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:zertifikatsseriennummer hex=\"true\">3d1f2a</rkdb:zertifikatsseriennummer>",
               "<rkdb:ende_ausfall>2017-03-06T12:00:00</rkdb:ende_ausfall>",
               "</rkdb:wiederinbetriebnahme_se>"},
              true));
    before = service->requests().size();
    submit(
        [](WebRegKasseAT& c) {
            return c.Wiederinbetriebnahme_Kasse(
                {{"Filiale", "KASSE-01", year{2016} / April / 1, std::string("08:05:00")}});
        },
        lines({"<rkdb:wiederinbetriebnahme_kasse>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:kundeninfo>Filiale</rkdb:kundeninfo>",
               "<rkdb:kassenidentifikationsnummer>KASSE-01</rkdb:kassenidentifikationsnummer>",
               "<rkdb:ende_ausfall>2016-04-01T08:05:00</rkdb:ende_ausfall>",
               "</rkdb:wiederinbetriebnahme_kasse>"},
              true));
}

TEST_F(WebRegKasseATTest, DecommissioningsTravelInsideTheFailureElement)
{
    submit(
        [](WebRegKasseAT& c) {
            return c.Ausserbetriebnahme_SE({{"", "3d1f2a", "3"}});
        },
        lines({"<rkdb:ausfall_se>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:zertifikatsseriennummer hex=\"true\">3d1f2a</rkdb:zertifikatsseriennummer>",
               "<rkdb:ausserbetriebnahme>",
               "<rkdb:begruendung>3</rkdb:begruendung>",
               "</rkdb:ausserbetriebnahme>",
               "</rkdb:ausfall_se>"},
              true));
    before = service->requests().size();
    testsupport::writeBytes(dir.file("DODEBUG"), "");
    submit(
        [](WebRegKasseAT& c) {
            return c.Ausserbetriebnahme_Kasse({{"", "KASSE-01", "4"}});
        },
        lines({"<rkdb:ausfall_kasse>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:kassenidentifikationsnummer>KASSE-01</rkdb:kassenidentifikationsnummer>",
               "<rkdb:ausserbetriebnahme>",
               "<rkdb:begruendung>4</rkdb:begruendung>",
               "</rkdb:ausserbetriebnahme>",
               "</rkdb:ausfall_kasse>"},
              true));
    EXPECT_NE(testsupport::readBytes(dir.file("_ausserbetriebnahme_kasse.xml")).find("rkdbResponse"),
              std::string::npos);
    EXPECT_NE(testsupport::readBytes(dir.file("_Login.xml")).find("loginResponse"), std::string::npos);
    EXPECT_NE(testsupport::readBytes(dir.file("_Logout.xml")).find("logoutResponse"), std::string::npos);
    EXPECT_FALSE(testsupport::exists(dir.file("_ausfall_kasse.xml")));
    EXPECT_NE(std::find_if(debugLines.begin(),
                           debugLines.end(),
                           [](const std::string& l) { return l.starts_with("[4,1]: ns0:"); }),
              debugLines.end())
        << "debug mode dumps the flattened answers";
}

// Two receipts stand inside one belegpruefung element; FinanzOnline's schema allows one receipt per element, so the
// service refuses such a request (the program itself always sends one).
// Two receipts stand inside one belegpruefung element. FinanzOnline's schema allows one receipt per element, so the
// service refuses such a request (the program itself always sends one receipt).
TEST_F(WebRegKasseATTest, TwoRecordsAreNumberedAndReceiptsShareOneElement)
{
    const std::string receipt1 = "_R1-AT1_KASSE-01_1_2017-01-23T10:48:15_0,00_0,00_0,00_0,00_0,00_AAAAAAAA=_3d1f2a_"
                                 "AAAAAAAAAAA=_"
                                 + std::string(88, 'A');
    const std::string receipt2 = "_R1-AT1_KASSE-01_2_2017-01-23T10:49:15_1,00_0,00_0,00_0,00_0,00_AAAAAAAA=_3d1f2a_"
                                 "AAAAAAAAAAA=_"
                                 + std::string(88, 'B');
    const auto two = submit(
        [&](WebRegKasseAT& c) {
            return c.Belegpruefung({{"", receipt1}, {"Zweiter", receipt2}});
        },
        lines({"<rkdb:belegpruefung>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:beleg>" + receipt1 + "</rkdb:beleg>",
               "<rkdb:satznr>2</rkdb:satznr>",
               "<rkdb:kundeninfo>Zweiter</rkdb:kundeninfo>",
               "<rkdb:beleg>" + receipt2 + "</rkdb:beleg>",
               "</rkdb:belegpruefung>"},
              true));
    EXPECT_EQ(two, (AnswerPair{"-1", ""}));

    before = service->requests().size();
    const auto one = submit(
        [&](WebRegKasseAT& c) {
            return c.Belegpruefung({{"", receipt1}});
        },
        lines({"<rkdb:belegpruefung>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:beleg>" + receipt1 + "</rkdb:beleg>",
               "</rkdb:belegpruefung>"},
              true));
    EXPECT_EQ(one.code, "0");
    EXPECT_NE(lastAnswerXml.find("PASS"), std::string::npos) << "a test transmission checks the receipt";

    before = service->requests().size();
    const auto records = submit(
        [](WebRegKasseAT& c) {
            return c.Ausserbetriebnahme_Kasse({{"", "K1", "5"}, {"", "K2", "6"}});
        },
        lines({"<rkdb:ausfall_kasse>",
               "<rkdb:satznr>1</rkdb:satznr>",
               "<rkdb:kassenidentifikationsnummer>K1</rkdb:kassenidentifikationsnummer>",
               "<rkdb:ausserbetriebnahme>",
               "<rkdb:begruendung>5</rkdb:begruendung>",
               "</rkdb:ausserbetriebnahme>",
               "</rkdb:ausfall_kasse>",
               "<rkdb:ausfall_kasse>",
               "<rkdb:satznr>2</rkdb:satznr>",
               "<rkdb:kassenidentifikationsnummer>K2</rkdb:kassenidentifikationsnummer>",
               "<rkdb:ausserbetriebnahme>",
               "<rkdb:begruendung>6</rkdb:begruendung>",
               "</rkdb:ausserbetriebnahme>",
               "</rkdb:ausfall_kasse>"},
              true));
    EXPECT_EQ(records.code, "0");
    EXPECT_NE(lastAnswerXml.find("<ns0:satznr>2</ns0:satznr>"), std::string::npos) << "one result per record";
}

TEST_F(WebRegKasseATTest, ProductionRegistrationsAreRememberedAndRefusedTwice)
{
    base::program().TestFlag = "N";
    const std::string till = "PROD-" + std::to_string(::getpid());
    const auto registerTill = [&] {
        WebRegKasseAT client(TID, BENID, PIN, UID);
        EXPECT_EQ(client.Uebermittlungsart(), "P");
        EXPECT_EQ(client.Login().code, "0");
        const auto answer = client.Registrierung_Kasse({{"", till, "", KEY}});
        EXPECT_EQ(client.Logout().code, "0");
        return answer;
    };
    EXPECT_EQ(registerTill().code, "0");
    EXPECT_EQ(registerTill().code, "B1");
}

TEST_F(WebRegKasseATTest, RefusedLoginsPassTheServicesCodeAndTakeNoSession)
{
    WebRegKasseAT wrongPin(TID, BENID, "falsch", UID);
    const auto answer = wrongPin.Login();
    EXPECT_EQ(answer.code, "-4");
    EXPECT_FALSE(answer.message.empty());
    EXPECT_TRUE(wrongPin.SessionId().empty());

    WebRegKasseAT locked("987654321098", "GESPERRT1", "12345", UID);
    EXPECT_EQ(locked.Login().code, "-6");
}

TEST_F(WebRegKasseATTest, AnEndedSessionIsRefused)
{
    WebRegKasseAT client(TID, BENID, PIN, UID);
    EXPECT_EQ(client.Login().code, "0");
    EXPECT_EQ(client.Logout().code, "0");
    const auto answer = client.Registrierung_Kasse({{"", "KASSE-01", "", KEY}});
    EXPECT_EQ(answer, (AnswerPair{"-1", "Die Session ID ist ungültig oder abgelaufen."}));
}

TEST_F(WebRegKasseATTest, MisbehavingServersEndInTheDocumentedPairs)
{
    const auto login = [] {
        WebRegKasseAT client(TID, BENID, PIN, UID);
        const auto pair = client.Login();
        return std::make_pair(pair, client.SessionId());
    };
    const AnswerPair noAnswer{"-1", fonws::NO_ANSWER};
    for (const char* mode : {"close", "empty", "huge 17"}) {
        service->setMode(mode);
        debugLines.clear();
        EXPECT_EQ(login().first, noAnswer) << mode;
        EXPECT_FALSE(debugLines.empty()) << mode;
    }
    for (const char* mode : {"garbage", "fault", "foreign-rc"}) {
        service->setMode(mode);
        EXPECT_EQ(login().first, (AnswerPair{"-1", ""})) << mode;
    }
}

TEST_F(WebRegKasseATTest, ASilentServerCannotHangTheClientPastItsTimeOut)
{
    service->setMode("late 5");
    WebRegKasseAT client(TID, BENID, PIN, UID);
    ASSERT_TRUE(client.Http().InternetSetTimeout(1));
    const auto start = steady_clock::now();
    EXPECT_EQ(client.Login(), (AnswerPair{"-1", fonws::NO_ANSWER}));
    EXPECT_LT(steady_clock::now() - start, 4s);
}

TEST_F(WebRegKasseATTest, AnRkdbRequestWithoutAnswerGivesMinusOneAndAnEmptyAnswer)
{
    WebRegKasseAT client(TID, BENID, PIN, UID);
    ASSERT_EQ(client.Login().code, "0");
    service->setMode("close");
    EXPECT_EQ(client.Belegpruefung({{"", "x"}}), (AnswerPair{"-1", ""}));
    EXPECT_EQ(client.accXml(), "");
}

TEST_F(WebRegKasseATTest, OneSubmissionIsOneConnectionAndTheNextGetsItsOwn)
{
    for (int i = 0; i < 2; ++i) {
        WebRegKasseAT client(TID, BENID, PIN, UID);
        EXPECT_EQ(client.Login().code, "0");
        EXPECT_EQ(client.Registrierung_Kasse({{"", "KASSE-01", "", KEY}}).code, "0");
        EXPECT_EQ(client.Logout().code, "0");
    }
    const auto got = received();
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0].connection, got[1].connection);
    EXPECT_EQ(got[1].connection, got[2].connection);
    EXPECT_EQ(got[3].connection, got[5].connection);
    EXPECT_NE(got[0].connection, got[3].connection);
}

TEST_F(WebRegKasseATTest, WebServiceDateFormat)
{
    EXPECT_EQ(WebRegKasseAT::WebServiceDate(), "2017-01-23T10:48:15");
    EXPECT_EQ(WebRegKasseAT::WebServiceDate(year{2016} / April / 1, "08:05:00"), "2016-04-01T08:05:00");
    EXPECT_EQ(WebRegKasseAT::WebServiceDate(year{999} / December / 31), "999-12-31T10:48:15");
    EXPECT_EQ(WebRegKasseAT::WebServiceDate(std::nullopt, "7:5"), "2017-01-23T7:5") << "a form's time as it comes";
}

struct StatusQueryCase
{
    const char* name;
    AnswerPair (*query)(WebRegKasseAT& client);
    std::string element;
    std::string unitLine;
    std::string debugFile;
    std::string unknownCode; // the service's code for a unit it does not know
};

void PrintTo(const StatusQueryCase& c, std::ostream* out)
{
    *out << c.name;
}

class StatusQueryRequestTest : public WebRegKasseATTest, public ::testing::WithParamInterface<StatusQueryCase>
{
};

// A query stands where the rkdb packet would, with its own packet number and time; the customer information of
// position 1 has no place in it.
TEST_P(StatusQueryRequestTest, StandsInPlaceOfThePacketWithItsUnit)
{
    const auto& c = GetParam();
    testsupport::writeBytes(dir.file("DODEBUG"), "");
    WebRegKasseAT client(TID, BENID, PIN, UID);
    ASSERT_EQ(client.Login().code, "0");
    // nothing is registered, so the service names the unit unknown
    EXPECT_EQ(c.query(client).code, c.unknownCode);
    EXPECT_EQ(client.Logout().code, "0");
    const auto got = received();
    ASSERT_EQ(got.size(), 3u);
    std::string start = RKDB_START.substr(0, RKDB_START.find("<rkdb:rkdb>"));
    start.replace(start.find("SESSION"), 7, client.SessionId());
    EXPECT_EQ(got[1].body,
              start
                  + lines({"<rkdb:" + c.element + ">",
                           "<rkdb:paket_nr>1</rkdb:paket_nr>",
                           "<rkdb:ts_erstellung>2017-01-23T10:48:15</rkdb:ts_erstellung>",
                           "<rkdb:satznr>1</rkdb:satznr>",
                           c.unitLine,
                           "</rkdb:" + c.element + ">",
                           "</rkdb:rkdbRequest>",
                           "</soapenv:Body>",
                           "</soapenv:Envelope>"}));
    EXPECT_EQ(got[1].header("SOAPAction"), "\"rkdb\"");
    EXPECT_NE(testsupport::readBytes(dir.file(c.debugFile)).find("rkdbResponse"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Queries,
    StatusQueryRequestTest,
    ::testing::Values(
        StatusQueryCase{"SignatureUnit",
                        [](WebRegKasseAT& c) {
                            return c.Status_SE({"Bäckerei Müller", "3d1f2a"});
                        },
                        "status_see",
                        "<rkdb:zertifikatsseriennummer hex=\"true\">3d1f2a</rkdb:zertifikatsseriennummer>",
                        "_status_see.xml",
                        "B11"},
        StatusQueryCase{"CashRegister",
                        [](WebRegKasseAT& c) {
                            return c.Status_Kasse({"Bäckerei Müller", "KASSE&01"});
                        },
                        "status_kasse",
                        "<rkdb:kassenidentifikationsnummer>KASSE&amp;01</rkdb:kassenidentifikationsnummer>",
                        "_status_kasse.xml",
                        "B2"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

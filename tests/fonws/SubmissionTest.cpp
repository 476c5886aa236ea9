// The submission step without a window: login, one notification, logout against the local FinanzOnline test
// service, and the answer file.
#include "fonws/Submission.h"

#include "base/Program.h"
#include "fonws/StatusAnswer.h"
#include "tests/support/FonTestService.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unistd.h>

using namespace std::chrono;
using fonws::Operation;
using testsupport::FonTestService;

namespace {

const fonws::Credentials LOGIN{"123456789012", "WEBUSER01", "geheim123", "ATU12345678"};
const fonws::Credentials REFUSED{"987654321098", "GESPERRT1", "12345", "ATU12345678"};
const std::string KEY = "uW4h0LsV7V1mZ9q3bY2cT6xN8pR5kD1fG0jH3sA7eQ8=";
const year_month_day DAY = year{2017} / January / 23;

struct Case
{
    Operation operation;
    fonws::Record record;
    std::string element; // the notification's element in the RKDB request
    // A status query: the unit this production registration makes known first; queries carry no customer
    // information, and their answer holds the unit's state.
    std::optional<std::pair<Operation, fonws::Record>> registration = std::nullopt;
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.element;
}

class SubmissionTest : public ::testing::TestWithParam<Case>
{
protected:
    static void SetUpTestSuite()
    {
        service = new FonTestService(
            {{LOGIN.tid, LOGIN.benid, LOGIN.pin, ""}, {REFUSED.tid, REFUSED.benid, REFUSED.pin, "-6"}});
    }
    static void TearDownTestSuite()
    {
        delete service;
        service = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(service->running());
        service->setMode("normal");
        state.startIn(dir.path());
        auto& p = base::program();
        p.TestFlag = "J";
        p.connections.fonHost = service->host();
        p.connections.fonCaFile = service->caFile();
        p.connections.fonConnectTo = service->connectTo();
        state.setClock({DAY, hh_mm_ss<seconds>(10h + 48min + 15s)});
        before = service->requests().size();
    }
    std::vector<testsupport::ReceivedRequest> received() const
    {
        auto all = service->requests();
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }

    static FonTestService* service;
    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
    std::size_t before = 0;
};

FonTestService* SubmissionTest::service = nullptr;

TEST_P(SubmissionTest, LogsInNotifiesOnceAndLogsOut)
{
    const auto& registration = GetParam().registration;
    if (registration) {
        base::program().TestFlag = "N";
        ASSERT_EQ(fonws::submit(LOGIN, registration->first, registration->second).answer.code, "0");
        before = service->requests().size();
    }
    const auto result = fonws::submit(LOGIN, GetParam().operation, GetParam().record);
    EXPECT_EQ(result.answer, (fonws::AnswerPair{"0", "Aufruf OK"}));
    EXPECT_NE(result.answerXml.find("rkdbResponse"), std::string::npos);
    const auto got = received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].header("SOAPAction"), "\"login\"");
    EXPECT_EQ(got[1].path, "/fonws/ws/rkdb");
    EXPECT_NE(got[1].body.find("<rkdb:" + GetParam().element + ">"), std::string::npos) << got[1].body;
    EXPECT_EQ(got[1].body.find("<rkdb:kundeninfo>Bäckerei Müller</rkdb:kundeninfo>") != std::string::npos,
              !registration);
    const auto status = fonws::readStatusResult(result.answerXml);
    EXPECT_EQ(status ? status->status : "", registration ? "IN_BETRIEB" : "");
    EXPECT_EQ(got[2].header("SOAPAction"), "\"logout\"");
}

INSTANTIATE_TEST_SUITE_P(
    AllOperations,
    SubmissionTest,
    ::testing::Values(
        Case{
            Operation::Registrierung_SE, {"Bäckerei Müller", "SIGNATURKARTE", "AT1", "3d1f2a", ""}, "registrierung_se"},
        Case{Operation::Ausfall_SE, {"Bäckerei Müller", "3d1f2a", "1", DAY, "10:48:15"}, "ausfall_se"},
        Case{Operation::Wiederinbetriebnahme_SE,
             {"Bäckerei Müller", "3d1f2a", DAY, "10:48:15"},
             "wiederinbetriebnahme_se"},
        Case{Operation::Ausserbetriebnahme_SE, {"Bäckerei Müller", "3d1f2a", "7"}, "ausserbetriebnahme"},
        Case{Operation::Registrierung_Kasse, {"Bäckerei Müller", "KASSE-01", "", KEY}, "registrierung_kasse"},
        Case{Operation::Ausfall_Kasse, {"Bäckerei Müller", "KASSE-01", "1", DAY, "10:48:15"}, "ausfall_kasse"},
        Case{Operation::Wiederinbetriebnahme_Kasse,
             {"Bäckerei Müller", "KASSE-01", DAY, "10:48:15"},
             "wiederinbetriebnahme_kasse"},
        Case{Operation::Ausserbetriebnahme_Kasse, {"Bäckerei Müller", "KASSE-01", "7"}, "ausserbetriebnahme"},
        Case{Operation::Belegpruefung,
             {"Bäckerei Müller",
              "_R1-AT1_KASSE-01_1_2017-01-23T10:48:15_0,00_0,00_0,00_0,00_0,00_AAAAAAAA=_3d1f2a_AAAAAAAAAAA=_"
                  + std::string(88, 'A')},
             "belegpruefung"},
        Case{Operation::Status_SE,
             {"Bäckerei Müller", "3d1f2a"},
             "status_see",
             {{Operation::Registrierung_SE, {"", "SIGNATURKARTE", "AT1", "3d1f2a", ""}}}},
        Case{Operation::Status_Kasse,
             {"Bäckerei Müller", "KASSE-01"},
             "status_kasse",
             {{Operation::Registrierung_Kasse, {"", "KASSE-01", "", KEY}}}}),
    [](const auto& info) { return std::to_string(info.index + 1) + "_" + info.param.element; });

TEST_F(SubmissionTest, ARefusedLoginSendsNothingElse)
{
    const auto result = fonws::submit(REFUSED, Operation::Registrierung_Kasse, {"", "KASSE-01", "", KEY});
    EXPECT_EQ(result.answer.code, "-6");
    EXPECT_EQ(result.answerXml, "");
    EXPECT_EQ(received().size(), 1u);
}

TEST_F(SubmissionTest, ANotificationWithoutReturnCodeStillEndsTheSession)
{
    // The schema wants a certificate of at least one character; the service refuses the request with a fault.
    const auto result = fonws::submit(LOGIN, Operation::Registrierung_SE, {"", "SIGNATURKARTE", "AT1", "", ""});
    EXPECT_EQ(result.answer.code, "-1");
    const auto got = received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].header("SOAPAction"), "\"logout\"");
}

TEST_F(SubmissionTest, AFaultsTextComesWithTheUnchangedReturnCode)
{
    // A request the schema refuses (a key of 43 characters), and a server that fails.
    auto result = fonws::submit(LOGIN, Operation::Registrierung_Kasse, {"", "KASSE-01", "", KEY.substr(1)});
    EXPECT_EQ(result.answer, (fonws::AnswerPair{"-1", ""}));
    EXPECT_TRUE(result.fault.starts_with("Validation error\n")) << result.fault;
    EXPECT_NE(result.fault.find("benutzerschluessel"), std::string::npos) << result.fault;
    service->setMode("fault");
    result = fonws::submit(LOGIN, Operation::Registrierung_Kasse, {"", "KASSE-01", "", KEY});
    EXPECT_EQ(result.answer.code, "-1");
    EXPECT_EQ(result.fault, "Technischer Fehler");
    EXPECT_FALSE(result.cancelled);
}

// Cancelled while FinanzOnline is silent: during the login nothing more is sent; during the notification the open
// session is still logged out. Either way the submission ends soon after the flag is set.
TEST_F(SubmissionTest, CancellingEndsTheExchangeAndClosesAnOpenSession)
{
    struct Row
    {
        const char* mode;
        std::size_t seenAtCancel; // requests received when the flag is set
        std::size_t sent;         // requests received in all
    };
    for (const auto& row : {Row{"late 60", 1, 1}, Row{"late-rkdb 60", 2, 3}}) {
        SCOPED_TRACE(row.mode);
        service->setMode(row.mode);
        const auto start = received().size();
        std::atomic<bool> cancel{false};
        std::thread canceller([&] {
            while (received().size() < start + row.seenAtCancel) {
                std::this_thread::sleep_for(milliseconds(20));
            }
            cancel = true;
        });
        const auto result = fonws::submit(LOGIN, Operation::Registrierung_Kasse, {"", "KASSE-01", "", KEY}, &cancel);
        canceller.join();
        EXPECT_TRUE(result.cancelled);
        EXPECT_EQ(result.answer.code, "-1");
        const auto got = received();
        ASSERT_EQ(got.size(), start + row.sent);
        EXPECT_EQ(got.back().header("SOAPAction"), row.sent == 1 ? "\"login\"" : "\"logout\"");
    }
}

// The session service is looked for where the installation says and, after a 404 there, once at the other of that
// path and the address of FinanzOnline's WSDL; ERROR.LOG says which answered, and the run's next logins go there.
TEST(SessionPathTest, ALoginNotFoundGoesOnceToTheOtherAddress)
{
    const std::string USUAL = "/fonws/ws/sessionService", WSDL = "/fonws/ws/session", RKDB = "/fonws/ws/rkdb";
    struct Row
    {
        std::string configured, served;
        std::vector<std::string> paths; // of the requests, in order
        fonws::Answered answered;
        std::string noted; // found in the new note in ERROR.LOG; "" for no note
    };
    const Row rows[] = {
        {USUAL, WSDL, {USUAL, WSDL, RKDB, WSDL}, fonws::Answered::ReturnCode, "hat er geantwortet (HTTP 200)"},
        {USUAL, WSDL, {WSDL, RKDB, WSDL}, fonws::Answered::ReturnCode, ""},
        {USUAL, "/anderswo", {WSDL, USUAL}, fonws::Answered::Unreadable, ", auch nicht unter"},
        {WSDL, USUAL, {WSDL, USUAL, RKDB, USUAL}, fonws::Answered::ReturnCode, "FinanzOnline-Sitzungspfad=" + USUAL},
    };
    FonTestService service({{LOGIN.tid, LOGIN.benid, LOGIN.pin, ""}});
    ASSERT_TRUE(service.running());
    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
    state.startIn(dir.path());
    auto& p = base::program();
    p.TestFlag = "J";
    p.connections.fonHost = service.host();
    p.connections.fonCaFile = service.caFile();
    p.connections.fonConnectTo = service.connectTo();
    std::string log;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.configured + " configured, " + row.served + " served");
        p.connections.fonSessionPath = row.configured;
        service.setSessionPath(row.served);
        const auto before = service.requests().size();
        const auto result = fonws::submit(LOGIN, Operation::Registrierung_Kasse, {"", "KASSE-01", "", KEY});
        EXPECT_EQ(result.answered, row.answered);
        EXPECT_EQ(result.answer.code, row.answered == fonws::Answered::ReturnCode ? "0" : "-1");
        std::vector<std::string> paths;
        const auto got = service.requests();
        for (auto request = got.begin() + static_cast<std::ptrdiff_t>(before); request != got.end(); ++request) {
            paths.push_back(request->path);
        }
        EXPECT_EQ(paths, row.paths);
        const auto grown = testsupport::readBytes(dir.file("ERROR.LOG"));
        const auto note = grown.substr(log.size());
        EXPECT_EQ(note.empty(), row.noted.empty()) << note;
        if (!row.noted.empty()) {
            EXPECT_NE(note.find(row.noted), std::string::npos) << note;
            EXPECT_NE(note.find("\"https://" + service.host() + row.paths[0] + "\" nicht zu finden (HTTP 404)"),
                      std::string::npos)
                << note;
        }
        if (row.answered == fonws::Answered::Unreadable) {
            EXPECT_NE(result.answer.message.find("unter FinanzOnline-Sitzungspfad"), std::string::npos);
        }
        log = grown;
    }
}

TEST_F(SubmissionTest, TheAnswerFileIsWrittenUnderTmpAndAFailureIsReported)
{
    const auto name = fonws::answerFileName();
    EXPECT_EQ(name, dir.file("TMP/~20170123104815.XML"));
    ASSERT_TRUE(fonws::writeAnswerFile(name, "<alt/>"));
    ASSERT_TRUE(fonws::writeAnswerFile(name, "<a/>"));
    EXPECT_EQ(testsupport::readBytes(name), "<a/>");
    fonws::deleteAnswerFiles();
    EXPECT_FALSE(testsupport::exists(name));

    ::rmdir(dir.file("TMP").c_str());
    testsupport::writeBytes(dir.file("TMP"), "a file where the folder belongs");
    EXPECT_FALSE(fonws::writeAnswerFile(name, "<a/>"));
}

} // namespace

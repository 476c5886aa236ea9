// The transport against the local test service over real TLS: ports, header defaults, kept connections, the
// certificate check and failures.
#include "fonws/Http.h"

#include "fonws/Xml.h"
#include "tests/support/FonTestService.h"

#include <gtest/gtest.h>

using fonws::CHttp;
using fonws::INTERNET_FLAG_SECURE;
using testsupport::FonTestService;

namespace {

const std::string HOST = "finanzonline.bmf.gv.at";

class HttpTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        service = new FonTestService({{"123456789012", "WEBUSER01", "12345", ""}});
        second = new FonTestService({}, "fon-test.example");
    }
    static void TearDownTestSuite()
    {
        delete service;
        delete second;
    }
    void SetUp() override
    {
        ASSERT_TRUE(service->running());
        ASSERT_TRUE(second->running());
        service->setMode("normal");
        http.setCaFile(service->caFile());
        http.setConnectTo(service->connectTo());
        fonws::setDebugSink([this](const std::string& line) { debug.push_back(line); });
    }
    void TearDown() override { fonws::setDebugSink({}); }

    static FonTestService* service;
    static FonTestService* second;
    CHttp http{"RoDodo"};
    std::vector<std::string> debug;
};

FonTestService* HttpTest::service = nullptr;
FonTestService* HttpTest::second = nullptr;

TEST_F(HttpTest, TheSecureFlagMeansPort443WhateverPortIsPassed)
{
    const auto answer =
        http.GetDocumentByGetOrPost(HOST, "/fonws/ws/rkdb", "<x/>", "", "POST", 80, INTERNET_FLAG_SECURE);
    EXPECT_EQ(http.port(), 443);
    EXPECT_NE(answer.find("Validation error"), std::string::npos) << "the body of an HTTP 500 answer is the answer";
}

TEST_F(HttpTest, EmptyHeaderBlocksGetTheMethodsDefault)
{
    EXPECT_FALSE(
        http.GetDocumentByGetOrPost(HOST, "/fonws/ws/rkdb", "a=1", " \r\n", "POST", 443, INTERNET_FLAG_SECURE).empty());
    EXPECT_EQ(http.lastRequestHead(),
              "POST /fonws/ws/rkdb HTTP/1.1\r\nHost: finanzonline.bmf.gv.at\r\nUser-Agent: RoDodo\r\n"
              "Content-Type: application/x-www-form-urlencoded\r\nAccept: */*\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ(http.GetDocumentByGetOrPost(HOST, "/fonws/ws/rkdb", "", "", "post", 443, INTERNET_FLAG_SECURE), "")
        << "the service refuses the lower-case method with an empty body";
    EXPECT_EQ(http.ErrorMsg(), "") << "an empty body is still an answer";
    EXPECT_EQ(http.lastRequestHead(),
              "post /fonws/ws/rkdb HTTP/1.1\r\nHost: finanzonline.bmf.gv.at\r\nUser-Agent: RoDodo\r\n"
              "Accept: */*\r\n\r\n")
        << "\"post\" is not \"POST\"";
    const auto got = service->requests();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().body, "a=1") << "the service answers a lower-case method without logging it";
}

TEST_F(HttpTest, ExchangesToOneHostShareAConnectionAndAnotherHostGetsItsOwn)
{
    const auto before = service->requests().size();
    EXPECT_FALSE(
        http.GetDocumentByGetOrPost(HOST, "/fonws/ws/rkdb", "1", "", "POST", 443, INTERNET_FLAG_SECURE).empty());
    EXPECT_FALSE(
        http.GetDocumentByGetOrPost(HOST, "/fonws/ws/rkdb", "2", "", "POST", 443, INTERNET_FLAG_SECURE).empty());
    http.setCaFile(second->caFile());
    http.setConnectTo(second->connectTo());
    EXPECT_FALSE(
        http.GetDocumentByGetOrPost("fon-test.example", "/fonws/ws/rkdb", "3", "", "POST", 443, INTERNET_FLAG_SECURE)
            .empty());
    EXPECT_EQ(http.hostName(), "fon-test.example");
    http.setCaFile(service->caFile());
    http.setConnectTo(service->connectTo());
    EXPECT_FALSE(
        http.GetDocumentByGetOrPost(HOST, "/fonws/ws/rkdb", "4", "", "POST", 443, INTERNET_FLAG_SECURE).empty());
    const auto all = service->requests();
    ASSERT_EQ(all.size(), before + 3);
    EXPECT_EQ(all[before].connection, all[before + 1].connection);
    EXPECT_NE(all[before + 1].connection, all[before + 2].connection) << "back from the other host: connected anew";
    EXPECT_EQ(second->requests().size(), 1u);
}

TEST_F(HttpTest, TheCertificateIsChecked)
{
    CHttp withoutCa("RoDodo");
    withoutCa.setConnectTo(service->connectTo());
    EXPECT_EQ(withoutCa.GetDocumentByGetOrPost(HOST, "/fonws/ws/rkdb", "x", "", "POST", 443, INTERNET_FLAG_SECURE), "");
    ASSERT_EQ(debug.size(), 2u) << "a failed send leaves the error code and message";
    EXPECT_NE(debug[0], "0");
    EXPECT_FALSE(debug[1].empty());

    // The right authority, but a certificate for another name.
    CHttp wrongName("RoDodo");
    wrongName.setCaFile(second->caFile());
    wrongName.setConnectTo(second->connectTo());
    EXPECT_EQ(wrongName.GetDocumentByGetOrPost(HOST, "/fonws/ws/rkdb", "x", "", "POST", 443, INTERNET_FLAG_SECURE), "");
}

TEST_F(HttpTest, NothingListeningGivesAnEmptyAnswerAndTwoDebugLines)
{
    CHttp plain("RoDodo");
    EXPECT_EQ(plain.GetDocumentByGetOrPost("127.0.0.1", "/", "", "", "GET", 1, 0), "");
    EXPECT_EQ(plain.port(), 1);
    EXPECT_EQ(debug.size(), 2u);
    EXPECT_NE(plain.ErrorMsg(), "");
}

TEST_F(HttpTest, AnswersOver16MiBCountAsNone)
{
    service->setMode("huge 17");
    EXPECT_EQ(http.GetDocumentByGetOrPost(HOST, "/fonws/ws/rkdb", "x", "", "POST", 443, INTERNET_FLAG_SECURE), "");
    service->setMode("huge 15");
    EXPECT_GT(http.GetDocumentByGetOrPost(HOST, "/fonws/ws/rkdb", "x", "", "POST", 443, INTERNET_FLAG_SECURE).size(),
              (15u << 20) - 1);
}

} // namespace

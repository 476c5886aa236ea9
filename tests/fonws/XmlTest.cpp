#include "fonws/Xml.h"

#include "base/Program.h"
#include "fonws/WebRegKasseAT.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

using fonws::AnswerPair;
using fonws::WebRegKasseAT;
using fonws::Xml2Array;

namespace {

// An older login answer as FinanzOnline writes it (prefix ns5, default namespace undeclared).
const std::string LOGIN_NS5 = R"(<?xml version="1.0" encoding="UTF-8"?>
<soapenv:Envelope xmlns:soapenv="http://schemas.xmlsoap.org/soap/envelope/">
  <soapenv:Header/>
  <soapenv:Body>
    <ns5:loginResponse xmlns="" xmlns:ns5="https://finanzonline.bmf.gv.at/fon/ws/session">
      <ns5:id>ABC123session</ns5:id>
      <ns5:rc>0</ns5:rc>
    </ns5:loginResponse>
  </soapenv:Body>
</soapenv:Envelope>)";

std::vector<std::string> firstItems(const fonws::FlatList& list)
{
    std::vector<std::string> items;
    for (const auto& entry : list) {
        items.push_back(entry.items.at(0));
    }
    return items;
}

std::string rkdbAnswer(const std::string& prefix, const std::string& inner)
{
    return "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header/>"
           "<SOAP-ENV:Body><"
           + prefix + ":rkdbResponse xmlns:" + prefix + "=\"https://finanzonline.bmf.gv.at/rkdb\">" + inner + "</"
           + prefix + ":rkdbResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

TEST(Xml2Array, FlattensElementsInDocumentOrderWithTextAndAttributes)
{
    const auto list = Xml2Array(LOGIN_NS5);
    EXPECT_EQ(firstItems(list),
              (std::vector<std::string>{"soapenv:Envelope",
                                        "soapenv:Header",
                                        "soapenv:Body",
                                        "ns5:loginResponse",
                                        "ns5:id=ABC123session",
                                        "ns5:rc=0"}));
    EXPECT_EQ(list[0].items,
              (std::vector<std::string>{"soapenv:Envelope", "http://schemas.xmlsoap.org/soap/envelope/"}))
        << "namespace declarations count as attributes";
    EXPECT_EQ(list[3].items,
              (std::vector<std::string>{"ns5:loginResponse", "", "https://finanzonline.bmf.gv.at/fon/ws/session"}));
    EXPECT_EQ(list[4].namespaceUri(), fonws::SESSION_NAMESPACE);
    EXPECT_EQ(list[4].localName, "id");
}

TEST(Xml2Array, PrettyAndCompactAnswersGiveTheSameList)
{
    std::string compact;
    bool inTag = false;
    for (const char c : LOGIN_NS5) {
        inTag = c == '<' ? true : c == '>' ? false : inTag;
        if (inTag || (c != '\n' && c != ' ')) {
            compact += c;
        }
    }
    EXPECT_EQ(firstItems(Xml2Array(compact)), firstItems(Xml2Array(LOGIN_NS5)));
}

TEST(Xml2Array, TextAfterAChildGoesToTheLastEntry)
{
    const auto list = Xml2Array("<a>x<b>y</b>z<c/></a>");
    EXPECT_EQ(firstItems(list), (std::vector<std::string>{"a=x", "b=y=z", "c"}));
    EXPECT_EQ(firstItems(Xml2Array("<a>&#252;ber &amp; <![CDATA[nicht]]></a>")), std::vector<std::string>{"a=über & "})
        << "character references decoded; CDATA sections add nothing";
}

TEST(Xml2Array, EmptyOrMalformedTextGivesAnEmptyList)
{
    EXPECT_TRUE(Xml2Array("").empty());
    EXPECT_TRUE(Xml2Array("   \r\n").empty());
    EXPECT_TRUE(Xml2Array("<a><b></a>").empty());
    EXPECT_TRUE(Xml2Array("Service Unavailable").empty());
    EXPECT_TRUE(Xml2Array(std::string("\0\0\xFF", 3)).empty());
}

TEST(Xml2Array, DeepNestingNeitherCrashesNorSlowsDown)
{
    std::string deep;
    for (int i = 0; i < 200000; ++i) {
        deep += "<n xmlns:p=\"u\">";
    }
    deep += "<rc>0</rc>";
    for (int i = 0; i < 200000; ++i) {
        deep += "</n>";
    }
    const auto list = Xml2Array(deep);
    ASSERT_EQ(list.size(), 200001u);
    EXPECT_EQ(list.back().items[0], "rc=0");
}

TEST(Xml2Array, ManyDeclarationsInScopeResolveInLinearTime)
{
    // Each element declares a prefix of its own, so every lookup meets all of them: 300 000 in scope at the end. A
    // lookup that walked them all would take minutes here (the test target has a time-out of 60 s).
    constexpr int DEPTH = 300000;
    std::string nested;
    for (int i = 0; i < DEPTH; ++i) {
        nested += "<n xmlns:p" + std::to_string(i) + "=\"u" + std::to_string(i) + "\">";
    }
    nested += "<p0:rc xmlns:p1=\"inner\"><p1:msg/></p0:rc><q:x/>";
    for (int i = 0; i < DEPTH; ++i) {
        nested += "</n>";
    }
    const auto list = Xml2Array(nested);
    ASSERT_EQ(list.size(), DEPTH + 3u);
    EXPECT_EQ(list[DEPTH].namespaceUri(), "u0") << "the outermost declaration is still in scope";
    EXPECT_EQ(list[DEPTH + 1].namespaceUri(), "inner") << "an inner declaration shadows an outer one";
    EXPECT_EQ(list[DEPTH + 2].namespaceUri(), "") << "the shadowing ends with its element; q is bound nowhere";
    EXPECT_EQ(list[DEPTH - 1].namespaceUri(), "");
}

TEST(ReturnCode, TakesTheLastRcAndMsgOfFinanzOnline)
{
    EXPECT_EQ(WebRegKasseAT::ReturnCode(Xml2Array(LOGIN_NS5)), (AnswerPair{"0", ""}));
    EXPECT_EQ(WebRegKasseAT::ReturnCode(Xml2Array(rkdbAnswer("ns5", "<ns5:rc>-2</ns5:rc><ns5:msg>Fehler</ns5:msg>"))),
              (AnswerPair{"-2", "Fehler"}));
    EXPECT_EQ(WebRegKasseAT::ReturnCode(Xml2Array(rkdbAnswer("ns0", "<ns0:rc>1</ns0:rc><ns0:rc>B10</ns0:rc>"))),
              (AnswerPair{"B10", ""}))
        << "recent answers bind ns0; the later rc wins";
    EXPECT_EQ(WebRegKasseAT::ReturnCode(Xml2Array(rkdbAnswer("x", "<x:rcx>5</x:rcx><x:rc/><x:msg></x:msg>"))),
              (AnswerPair{"-1", ""}))
        << "rcx is no return code; empty elements leave the defaults";
    EXPECT_EQ(WebRegKasseAT::ReturnCode({}), (AnswerPair{"-1", ""}));
}

TEST(ReturnCode, ElementsOutsideFinanzOnlinesNamespacesDoNotCount)
{
    const auto answer = "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                        "<soapenv:Body><ns5:rc xmlns:ns5=\"urn:example:other\">0</ns5:rc>"
                        "<rc>0</rc></soapenv:Body></soapenv:Envelope>";
    EXPECT_EQ(WebRegKasseAT::ReturnCode(Xml2Array(answer)), (AnswerPair{"-1", ""}));
}

TEST(SessionIdOf, OnlyEntryFiveOfALoginAnswerCounts)
{
    EXPECT_EQ(WebRegKasseAT::SessionIdOf(Xml2Array(LOGIN_NS5)), "ABC123session");
    std::string recent = LOGIN_NS5;
    for (const auto& [from, to] :
         {std::pair{"soapenv", "SOAP-ENV"}, std::pair{"ns5:", "ns0:"}, std::pair{"xmlns:ns5", "xmlns:ns0"}}) {
        for (auto at = recent.find(from); at != std::string::npos; at = recent.find(from, at + 1)) {
            recent.replace(at, std::string(from).size(), to);
        }
    }
    EXPECT_EQ(WebRegKasseAT::SessionIdOf(Xml2Array(recent)), "ABC123session") << recent;

    std::string withoutHeader = LOGIN_NS5;
    withoutHeader.erase(withoutHeader.find("<soapenv:Header/>"), 17);
    EXPECT_EQ(WebRegKasseAT::SessionIdOf(Xml2Array(withoutHeader)), std::nullopt) << "the id is then entry 4";

    std::string idSecond = LOGIN_NS5;
    idSecond.replace(idSecond.find("<ns5:id>ABC123session</ns5:id>"), 30, "<ns5:rc>0</ns5:rc>");
    EXPECT_EQ(WebRegKasseAT::SessionIdOf(Xml2Array(idSecond)), std::nullopt);

    std::string emptyId = LOGIN_NS5;
    emptyId.replace(emptyId.find("ABC123session"), 13, "");
    EXPECT_EQ(WebRegKasseAT::SessionIdOf(Xml2Array(emptyId)), std::nullopt);

    // The configured host's own session namespace counts for the id as it does for the return code.
    std::string hostOwn = LOGIN_NS5;
    hostOwn.replace(
        hostOwn.find("https://finanzonline.bmf.gv.at/fon/ws/session"), 45, "https://fon.example/fon/ws/session");
    base::program().connections.fonHost = "fon.example";
    EXPECT_EQ(WebRegKasseAT::ReturnCode(Xml2Array(hostOwn)).code, "0");
    EXPECT_EQ(WebRegKasseAT::SessionIdOf(Xml2Array(hostOwn)), "ABC123session");
    base::program().connections.fonHost = base::Program{}.connections.fonHost;

    std::string foreign = LOGIN_NS5;
    foreign.replace(foreign.find("https://finanzonline.bmf.gv.at/fon/ws/session"), 45, "urn:example:other");
    EXPECT_EQ(WebRegKasseAT::SessionIdOf(Xml2Array(foreign)), std::nullopt);
}

TEST(Log2DB, DumpsEntryAndItemNumbers)
{
    std::vector<std::string> lines;
    fonws::setDebugSink([&](const std::string& line) { lines.push_back(line); });
    fonws::Log2DB(Xml2Array(LOGIN_NS5));
    fonws::LogArray2DB(std::vector<std::string>{"a", "b"}, "[7,");
    fonws::DebOut("Fehler", 12, "x");
    fonws::setDebugSink({});
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(lines[0], "[1,1]: soapenv:Envelope");
    EXPECT_EQ(lines[1], "[1,2]: http://schemas.xmlsoap.org/soap/envelope/");
    EXPECT_EQ(lines[4], "[4,1]: ns5:loginResponse");
    EXPECT_EQ(lines[lines.size() - 3], "[7,1]: a");
    EXPECT_EQ(lines.back(), "Fehler, 12, x");
}

TEST(Xml2Array, DebugModeDumpsTheList)
{
    testsupport::TempDir dir;
    base::program().DefaultDir = dir.path();
    std::vector<std::string> lines;
    fonws::setDebugSink([&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(Xml2Array("<a>1</a>").size(), 1u);
    EXPECT_TRUE(lines.empty());
    testsupport::writeBytes(dir.file("DODEBUG"), "");
    EXPECT_EQ(Xml2Array("<a>1</a>").size(), 1u);
    fonws::setDebugSink({});
    base::program() = base::Program{};
    EXPECT_EQ(lines, std::vector<std::string>{"[1,1]: a=1"});
}

} // namespace

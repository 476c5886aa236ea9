// The reader of compiled help files, on the Quorvex.CHM the build makes and on sitemaps written for the case.
#include "base/ChmFile.h"

#include "base/Cp1252.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace {

// A tree in one line: "title=local" per entry, children in brackets.
std::string outline(const std::vector<base::ChmTopic>& topics)
{
    std::string out;
    for (const auto& topic : topics) {
        out += (out.empty() ? "" : "; ") + topic.title + "=" + topic.local;
        if (!topic.children.empty()) {
            out += " [" + outline(topic.children) + "]";
        }
    }
    return out;
}

struct SitemapCase
{
    const char* name;
    std::string html;
    std::string expected;
};

void PrintTo(const SitemapCase& sitemap, std::ostream* out)
{
    *out << sitemap.name;
}

const std::string HEAD = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
                         "</head><body>";
const std::string UTF8_HEAD = "<html><head><meta charset=utf-8></head><body>";

std::string entry(const std::string& name, const std::string& local)
{
    return "<LI> <OBJECT type=\"text/sitemap\">\n<param name=\"Name\" value=\"" + name
           + "\">\n<param name=\"Local\" value=\"" + local + "\">\n</OBJECT>\n";
}

class SitemapTest : public testing::TestWithParam<SitemapCase>
{
};

TEST_P(SitemapTest, readsTheTree)
{
    EXPECT_EQ(outline(base::parseSitemap(GetParam().html)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sitemaps,
    SitemapTest,
    testing::Values(
        SitemapCase{
            "flat", HEAD + "<UL>" + entry("A", "a.htm") + entry("B", "b.htm#x") + "</UL>", "A=a.htm; B=b.htm#x"},
        SitemapCase{"nested",
                    HEAD + "<UL>" + entry("A", "a.htm") + "<UL>" + entry("A1", "a.htm#1") + "<UL>"
                        + entry("A11", "a.htm#11") + "</UL></UL>" + entry("B", "b.htm") + "</UL>",
                    "A=a.htm [A1=a.htm#1 [A11=a.htm#11]]; B=b.htm"},
        // The help compiler's code page, and named and numbered characters.
        SitemapCase{"windows1252AndEntities",
                    HEAD + "<ul>"
                        + entry("\xDC"
                                "berblick",
                                "x.htm")
                        + entry("Gr&ouml;&szlig;e &amp; &#8364;", "y.htm") + "</ul>",
                    "Überblick=x.htm; Größe & €=y.htm"},
        SitemapCase{"utf8", UTF8_HEAD + "<ul>" + entry("Rückmeldung", "r.htm") + "</ul>", "Rückmeldung=r.htm"},
        // The site's properties are no entry; a heading has no page; attributes may go unquoted and in any case.
        SitemapCase{"propertiesHeadingsAndUnquoted",
                    HEAD
                        + "<OBJECT type=\"text/site properties\"><param name=\"ImageType\" value=\"Folder\"></OBJECT>"
                          "<UL><LI><object TYPE=text/sitemap><PARAM NAME=Name VALUE='Kapitel'></object><UL>"
                        + entry("Seite", "s.htm") + "</UL></UL>",
                    "Kapitel= [Seite=s.htm]"},
        // A stray closing list does not lose the entries after it.
        SitemapCase{"unbalanced",
                    HEAD + "</UL>" + entry("A", "a.htm") + "</UL></UL>" + entry("B", "b.htm"),
                    "A=a.htm; B=b.htm"}),
    [](const testing::TestParamInfo<SitemapCase>& info) { return std::string(info.param.name); });

class QuorvexChmTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(chm.open(test_paths::HELP_FILE)) << test_paths::HELP_FILE; }

    base::ChmFile chm;
};

TEST_F(QuorvexChmTest, listsAndReadsThePages)
{
    const auto files = chm.list();
    for (const char* page : {"/HelpContents.htm", "/Senden.htm", "/Fehler.htm", "/quorvex.css", "/Quorvex.hhc"}) {
        EXPECT_NE(std::find(files.begin(), files.end(), page), files.end()) << page;
    }
    EXPECT_TRUE(std::none_of(files.begin(), files.end(), [](const std::string& f) { return f[1] == '#'; }));
    const auto source = testsupport::readBytes(std::string(test_paths::HELP_SOURCE_DIR) + "/Senden.htm");
    EXPECT_EQ(chm.read("/Senden.htm"), source);
    EXPECT_EQ(chm.read("Senden.htm"), source);
    EXPECT_TRUE(chm.contains("senden.HTM"));
    EXPECT_FALSE(chm.read("/Gibtsnicht.htm"));
    EXPECT_FALSE(chm.contains("Gibtsnicht.htm"));
}

TEST_F(QuorvexChmTest, namesItsDefaultTopicTitleAndContents)
{
    EXPECT_EQ(chm.defaultTopic(), "HelpContents.htm");
    EXPECT_EQ(chm.title(), "Vexa-Quorvex: FON WebClient - Hilfe");
    EXPECT_EQ(chm.contentsFile(), "Quorvex.hhc");
    const auto sitemap = testsupport::readBytes(std::string(test_paths::HELP_SOURCE_DIR) + "/Quorvex.hhc");
    const auto contents = chm.contents();
    EXPECT_EQ(outline(contents), outline(base::parseSitemap(sitemap)));
    ASSERT_EQ(contents.size(), 10u);
    EXPECT_EQ(contents[0].title, "Überblick");
}

TEST(ChmFileTest, refusesWhatIsNoHelpFile)
{
    testsupport::TempDir dir;
    base::ChmFile chm;
    EXPECT_FALSE(chm.open(dir.file("Fehlt.CHM")));
    EXPECT_FALSE(chm.open(testsupport::writeBytes(dir.file("Text.CHM"), std::string(4096, 'x'))));
    EXPECT_FALSE(chm.isOpen());
    EXPECT_TRUE(chm.list().empty());
    EXPECT_FALSE(chm.read("/HelpContents.htm"));
    EXPECT_TRUE(chm.contents().empty());
}

} // namespace

// The reader of compiled help files, on the Quorvex.CHM the build makes and on sitemaps written for the case.
#include "base/ChmFile.h"

#include "base/Cp1252.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <sys/stat.h>
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

// A table of contents nested 100 000 levels deep: the tree stops at MAX_TOPIC_DEPTH, every entry is kept.
TEST(SitemapDepthTest, entriesBelowTheDeepestLevelStayThere)
{
    constexpr int LEVELS = 100000;
    std::string html = HEAD;
    for (int i = 0; i < LEVELS; ++i) {
        html += "<UL>" + entry("E" + std::to_string(i), "e.htm");
    }
    for (int i = 0; i < LEVELS; ++i) {
        html += "</UL>";
    }
    html += entry("Danach", "d.htm");
    const auto topics = base::parseSitemap(html);
    std::size_t depth = 0;
    std::size_t count = 0;
    const std::vector<base::ChmTopic>* level = &topics;
    while (!level->empty()) {
        ++depth;
        count += level->size();
        level = &level->front().children;
    }
    EXPECT_EQ(depth, base::MAX_TOPIC_DEPTH);
    EXPECT_EQ(count, std::size_t{LEVELS} + 1) << "every entry is kept";
    EXPECT_EQ(topics.back().title, "Danach") << "the closing lists close no level twice";
}

// The program's help file changed as an attacker or a damaged disk would change it. Each is refused when it is
// opened, with its reason, before chmlib reads anything of it.
struct HostileChm
{
    const char* name;
    std::function<void(std::string&)> change;
    std::string problem;
};

void PrintTo(const HostileChm& hostile, std::ostream* out)
{
    *out << hostile.name;
}

void putU32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

std::uint64_t getU64(const std::string& bytes, std::size_t at)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

// Offsets in the help file: the directory (its header, then blocks of 4096 bytes) and the data of section 0.
std::size_t directory(const std::string& bytes)
{
    return static_cast<std::size_t>(getU64(bytes, 0x48));
}
std::size_t firstBlock(const std::string& bytes)
{
    return directory(bytes) + 0x54;
}
// The data of an entry of section 0, found by its name in the directory: section, offset and length follow it.
std::size_t sectionZeroData(const std::string& bytes, const std::string& name)
{
    const auto at = bytes.find(name, firstBlock(bytes)) + name.size();
    std::size_t i = at + 1; // section 0, one byte
    std::uint64_t offset = 0;
    while (static_cast<unsigned char>(bytes[i]) & 0x80) {
        offset = (offset << 7) | (static_cast<unsigned char>(bytes[i++]) & 0x7f);
    }
    offset = (offset << 7) | static_cast<unsigned char>(bytes[i]);
    return static_cast<std::size_t>(getU64(bytes, 0x58) + offset);
}

// Sets the length of a page in the directory to `length`, moving the entries after it within the block.
void claimLength(std::string& bytes, const std::string& page, std::uint64_t length)
{
    auto at = bytes.find(page, firstBlock(bytes)) + page.size();
    for (int number = 0; number < 2; ++number) { // section and offset
        while (static_cast<unsigned char>(bytes[at]) & 0x80) {
            ++at;
        }
        ++at;
    }
    auto end = at;
    while (static_cast<unsigned char>(bytes[end]) & 0x80) {
        ++end;
    }
    ++end;
    std::string encoded(1, static_cast<char>(length & 0x7f));
    for (length >>= 7; length != 0; length >>= 7) {
        encoded.insert(encoded.begin(), static_cast<char>(0x80 | (length & 0x7f)));
    }
    const auto block = firstBlock(bytes);
    const auto grown = encoded.size() - (end - at);
    std::uint32_t free = 0;
    for (int i = 3; i >= 0; --i) {
        free = (free << 8) | static_cast<unsigned char>(bytes[block + 4 + static_cast<std::size_t>(i)]);
    }
    const auto used = block + 4096 - free;
    bytes.replace(at, end - at, encoded);
    bytes.erase(used + grown, grown); // what the block's free space gives
    putU32(bytes, block + 4, static_cast<std::uint32_t>(free - grown));
}

const std::string DAMAGED = "Ihr Aufbau ist beschädigt: ";
const std::string CONTROL = "::DataSpace/Storage/MSCompressed/ControlData";
const std::string RESET = "InstanceData/ResetTable";

class HostileChmTest : public testing::TestWithParam<HostileChm>
{
};

TEST_P(HostileChmTest, isRefusedWithItsReasonWhenOpened)
{
    std::string bytes = testsupport::readBytes(test_paths::HELP_FILE);
    ASSERT_EQ(base::chmStructureProblem(bytes), "") << "the help file the build makes is sound";
    GetParam().change(bytes);
    testsupport::TempDir dir;
    const auto file = testsupport::writeBytes(dir.file("Quorvex.CHM"), bytes);
    base::ChmFile chm;
    EXPECT_FALSE(chm.open(file));
    EXPECT_EQ(chm.problem(), GetParam().problem);
    EXPECT_FALSE(chm.isOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Changed,
    HostileChmTest,
    testing::Values(
        HostileChm{"blockLengthZero",
                   [](std::string& b) { putU32(b, directory(b) + 0x10, 0); },
                   DAMAGED + "Der Kopf des Verzeichnisses ist ungültig."},
        HostileChm{"moreBlocksThanTheDirectoryHolds",
                   [](std::string& b) { putU32(b, directory(b) + 0x2c, 2); },
                   DAMAGED + "Der Kopf des Verzeichnisses ist ungültig."},
        HostileChm{"listingChainComesBack",
                   [](std::string& b) { putU32(b, firstBlock(b) + 0x10, 0); },
                   DAMAGED + "Die Kette der Verzeichnisblöcke ist unterbrochen oder kreisförmig."},
        HostileChm{"freeSpaceLargerThanTheBlock",
                   [](std::string& b) { putU32(b, firstBlock(b) + 4, 5000); },
                   DAMAGED + "Block 0 des Verzeichnisses ist ungültig."},
        HostileChm{"windowSizeZero",
                   [](std::string& b) { putU32(b, sectionZeroData(b, CONTROL) + 16, 0); },
                   DAMAGED + "Die Angaben zur Kompression sind ungültig."},
        HostileChm{"resetIntervalZero",
                   [](std::string& b) { putU32(b, sectionZeroData(b, CONTROL) + 12, 0); },
                   DAMAGED + "Die Angaben zur Kompression sind ungültig."},
        HostileChm{"resetTableBlockLengthZero",
                   [](std::string& b) {
                       const auto at = sectionZeroData(b, RESET) + 32;
                       putU32(b, at, 0);
                       putU32(b, at + 4, 0);
                   },
                   DAMAGED + "Die Tabelle der komprimierten Blöcke ist ungültig."},
        HostileChm{"resetTableFallingOffsets",
                   [](std::string& b) { putU32(b, sectionZeroData(b, RESET) + 40 + 16, 1); },
                   DAMAGED + "Die Tabelle der komprimierten Blöcke ist ungültig."},
        HostileChm{"pageClaimsOneGiB",
                   [](std::string& b) { claimLength(b, "/Senden.htm", std::uint64_t{1} << 30); },
                   DAMAGED + "Der Eintrag /Senden.htm reicht über das Ende des komprimierten Bereichs."},
        HostileChm{"directoryPastTheEnd",
                   [](std::string& b) { b.resize(directory(b) + 0x54 + 100); },
                   DAMAGED + "Das Verzeichnis liegt außerhalb der Datei."},
        HostileChm{"sectionZeroPastTheEnd",
                   [](std::string& b) { b.resize(sectionZeroData(b, RESET) + 10); },
                   DAMAGED + "Der Eintrag ::DataSpace/Storage/MSCompressed/Content reicht über das Ende der Datei."},
        HostileChm{"largerThanAnyHelpFile",
                   [](std::string& b) { b.resize(base::ChmFile::MAX_FILE_SIZE + 1); },
                   "Die Datei ist größer als jede Hilfedatei (64 MiB)."},
        HostileChm{"notAHelpFile", [](std::string& b) { b[0] = 'X'; }, "Die Datei ist keine Hilfedatei (CHM)."}),
    [](const testing::TestParamInfo<HostileChm>& info) { return std::string(info.param.name); });

// A FIFO in the help file's place is refused without waiting for a writer.
TEST(ChmFileTest, refusesWhatIsNoRegularFile)
{
    testsupport::TempDir dir;
    const auto fifo = dir.file("Quorvex.CHM");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    base::ChmFile chm;
    EXPECT_FALSE(chm.open(fifo));
    EXPECT_EQ(chm.problem(), "Die Datei ist keine gewöhnliche Datei.");
    EXPECT_FALSE(chm.open(dir.path()));
    EXPECT_EQ(chm.problem(), "Die Datei ist keine gewöhnliche Datei.");
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

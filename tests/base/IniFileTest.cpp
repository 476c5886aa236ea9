#include "base/IniFile.h"

#include "tests/support/ChildWrite.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using base::IniFile;
namespace fs = std::filesystem;
using testsupport::readBytes;
using testsupport::TempDir;
using testsupport::writeBytes;

namespace {

// As a Windows program leaves it: CR LF, umlauts in Windows-1252, a comment, blank lines, odd spacing around "=".
const std::string WINDOWS_FILE = "; Zugangsdaten\r\n"
                                 "[Quorvex]\r\n"
                                 "Version=1.0\r\n"
                                 "Tid = 123456789012\r\n"
                                 "Benid  =Gr\xFC\xDF"
                                 "e\r\n"
                                 "Pin=geheim  \r\n"
                                 "\r\n"
                                 "; Werte der Formulare\r\n"
                                 "[Funktionen]\r\n"
                                 "Kundeninfo=B\xE4"
                                 "ckerei M\xFC"
                                 "ller\r\n"
                                 "freier Text ohne Gleichheitszeichen\r\n";

class IniFileTest : public ::testing::Test
{
protected:
    TempDir dir;
    std::string path = dir.file("01QUORVEX.INI");
};

TEST_F(IniFileTest, ReadsAFileWrittenOnWindows)
{
    writeBytes(path, WINDOWS_FILE);
    const IniFile ini(path);
    EXPECT_EQ(ini.GetString("Quorvex", "Tid"), "123456789012");
    EXPECT_EQ(ini.GetString("Quorvex", "Benid"), "Grüße");
    EXPECT_EQ(ini.GetString("Quorvex", "Pin"), "geheim  ") << "values keep their trailing blanks";
    EXPECT_EQ(ini.GetString("FUNKTIONEN", "kundeninfo"), "Bäckerei Müller") << "names match without case";
    EXPECT_EQ(ini.GetString("Quorvex", "Uidnr"), "");
    EXPECT_EQ(ini.GetString("Fehlt", "Tid"), "");
    EXPECT_EQ(ini.GetSection("quorvex"), (std::vector<std::string>{"Version", "Tid", "Benid", "Pin"}));
    EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"Quorvex", "Funktionen"}));
}

TEST_F(IniFileTest, WritesInPlaceAndKeepsEverythingElse)
{
    writeBytes(path, WINDOWS_FILE);
    IniFile ini(path);
    ini.WriteString("QUORVEX", "PIN", "neu€");
    ini.WriteString("quorvex", "Uidnr", "ATU12345678");
    ini.WriteString("Funktionen", "Kundeninfo", "Gärtnerei");
    ini.WriteString("Neu", "Eintrag", "1");

    std::string expected = WINDOWS_FILE;
    expected.replace(expected.find("Pin=geheim  "), 12, "Pin=neu\x80");
    expected.insert(expected.find("\r\n\r\n; Werte") + 2, "Uidnr=ATU12345678\r\n");
    expected.replace(expected.find("Kundeninfo="), 26, "Kundeninfo=G\xE4rtnerei");
    expected += "[Neu]\r\nEintrag=1\r\n";
    EXPECT_EQ(readBytes(path), expected);
    EXPECT_EQ(ini.GetString("Quorvex", "Pin"), "neu€");
}

TEST_F(IniFileTest, OddSpacingIsKeptWhenAValueChanges)
{
    writeBytes(path, "[A]\r\nTid = alt\r\n");
    IniFile(path).WriteString("A", "tid", "neu");
    EXPECT_EQ(readBytes(path), "[A]\r\nTid = neu\r\n");
}

TEST_F(IniFileTest, KeepsLineFeedOnlyFilesAndFilesWithoutFinalLineEnd)
{
    writeBytes(path, "[A]\nx=1");
    IniFile(path).WriteString("A", "y", "2");
    EXPECT_EQ(readBytes(path), "[A]\nx=1\ny=2");
}

TEST_F(IniFileTest, Utf8FilesWithByteOrderMarkStayUtf8)
{
    writeBytes(path, "\xEF\xBB\xBF[A]\r\nName=Müller\r\n");
    IniFile ini(path);
    EXPECT_EQ(ini.GetString("a", "name"), "Müller");
    ini.WriteString("A", "Ort", "Wörgl");
    EXPECT_EQ(readBytes(path), "\xEF\xBB\xBF[A]\r\nName=Müller\r\nOrt=Wörgl\r\n");
}

TEST_F(IniFileTest, CutsLongValuesTo1023Characters)
{
    const std::string value(1500, 'x');
    IniFile ini(path);
    ini.WriteString("A", "Lang", value);
    EXPECT_EQ(ini.GetString("A", "Lang"), std::string(1023, 'x'));
    EXPECT_NE(readBytes(path).find(value), std::string::npos) << "the whole value is stored";

    ini.WriteString("A", "Umlaute", std::string(1030, 'a') + "ä");
    EXPECT_EQ(ini.GetString("A", "Umlaute"), std::string(1023, 'a'));
}

TEST_F(IniFileTest, NameListIsLimitedTo4096Bytes)
{
    std::string content = "[A]\r\n";
    // 20 names of 199 characters and their NULs take 4000 bytes, the closing NUL makes 4001: a name of 94
    // characters fills the block to exactly 4096, and the one after it is lost.
    for (int i = 0; i < 20; ++i) {
        content += std::string(197, 'n') + (i < 10 ? "0" : "") + std::to_string(i) + "=v\r\n";
    }
    content += std::string(94, 'k') + "=v\r\nz=v\r\n";
    writeBytes(path, content);
    const auto names = IniFile(path).GetSection("A");
    ASSERT_EQ(names.size(), 21u);
    EXPECT_EQ(names[19], std::string(197, 'n') + "19");
    EXPECT_EQ(names[20], std::string(94, 'k'));
}

TEST_F(IniFileTest, MissingFileReadsAsEmptyAndIsCreatedOwnerOnly)
{
    IniFile ini(path);
    EXPECT_FALSE(ini.Exists());
    EXPECT_EQ(ini.GetString("A", "x"), "");
    EXPECT_TRUE(ini.GetSection("A").empty());
    EXPECT_FALSE(ini.GetLogic("A", "x"));

    ini.WriteString("QUORVEX", "Version", "1.0");
    EXPECT_EQ(readBytes(path), "[QUORVEX]\r\nVersion=1.0\r\n");
    struct stat st
    {
    };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(IniFileTest, ExistingFileKeepsItsPermissionsAndLinks)
{
    writeBytes(path, "[A]\r\nx=1\r\n");
    ::chmod(path.c_str(), 0640);
    const auto link = dir.file("link.ini");
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    IniFile(link).WriteString("A", "x", "2");

    struct stat st
    {
    };
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is followed, not replaced";
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(IniFile(path).GetString("A", "x"), "2");
}

TEST_F(IniFileTest, FileNameIsMatchedWithoutCase)
{
    writeBytes(dir.file("01quorvex.ini"), "[Quorvex]\r\nTid=1\r\n");
    IniFile ini(dir.file("01QUORVEX.INI"));
    EXPECT_TRUE(ini.Exists());
    EXPECT_EQ(ini.GetString("Quorvex", "Tid"), "1");
    ini.WriteString("Quorvex", "Tid", "2");
    EXPECT_EQ(readBytes(dir.file("01quorvex.ini")), "[Quorvex]\r\nTid=2\r\n");
    EXPECT_FALSE(testsupport::exists(dir.file("01QUORVEX.INI")));
}

TEST_F(IniFileTest, DeletesEntriesAndSections)
{
    writeBytes(path, WINDOWS_FILE);
    IniFile ini(path);
    ini.DeleteEntry("quorvex", "tid");
    ini.DeleteEntry("quorvex", "gibt es nicht");
    EXPECT_EQ(ini.GetSection("Quorvex"), (std::vector<std::string>{"Version", "Benid", "Pin"}));
    ini.DeleteSection("QUORVEX");
    EXPECT_EQ(ini.GetString("Quorvex", "Version"), "");
    EXPECT_EQ(readBytes(path).substr(0, 16), "; Zugangsdaten\r\n") << "lines before the section stay";
    EXPECT_EQ(ini.GetString("Funktionen", "Kundeninfo"), "Bäckerei Müller");
}

TEST_F(IniFileTest, LineBreaksInAValueCannotCreateEntries)
{
    IniFile ini(path);
    ini.WriteString("Quorvex", "Benid", "x\r\n[Quorvex]\r\nPin=gestohlen");
    EXPECT_EQ(ini.GetString("Quorvex", "Pin"), "");
    EXPECT_EQ(ini.GetSection("Quorvex").size(), 1u);
}

TEST_F(IniFileTest, CharactersOutsideTheCodePageAreRefusedNotWrittenAsQuestionMarks)
{
    IniFile ini(path);
    ini.WriteString("A", "x", "alt");
    const auto refused = ini.WriteEntries({{"A", "y", "1"}, {"A", "x", "€ ok, ✓ nicht"}});
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.entry, "x");
    EXPECT_NE(refused.error.find("„✓“"), std::string::npos) << refused.error;
    ini.WriteString("A", "x", "✓");
    EXPECT_EQ(readBytes(path), "[A]\r\nx=alt\r\n") << "nothing of a refused change is written";
}

TEST_F(IniFileTest, GetLogicIsTrueOnlyForDotTDot)
{
    writeBytes(path, "[A]\r\na=.T.\r\nb=T\r\nc=.F.\r\nd=.t.\r\n");
    const IniFile ini(path);
    EXPECT_TRUE(ini.GetLogic("A", "a"));
    EXPECT_FALSE(ini.GetLogic("A", "b"));
    EXPECT_FALSE(ini.GetLogic("A", "c"));
    EXPECT_FALSE(ini.GetLogic("A", "d"));
    EXPECT_FALSE(ini.GetLogic("A", "missing"));
}

TEST_F(IniFileTest, NamesTheFileLikeThePlatform)
{
    const testsupport::ScopedCwd cwd(dir.path());
    EXPECT_EQ(IniFile("VEXA").FullPath(), dir.path() + "VEXA.INI");
    EXPECT_EQ(IniFile("VEXA").Path(), dir.path());
    EXPECT_EQ(IniFile("daten.txt").FullPath(), dir.path() + "daten.txt");
    EXPECT_EQ(IniFile("/etc/x/01QUORVEX.INI").FullPath(), "/etc/x/01QUORVEX.INI");
    EXPECT_EQ(IniFile("/etc/x/01QUORVEX.INI").Drive(), "");
    EXPECT_EQ(IniFile("sub/name").FullPath(), "sub/name.INI") << "a name with a folder is used unchanged";
}

TEST_F(IniFileTest, TwoObjectsOnOneFileSeeEachOthersWrites)
{
    IniFile first(path);
    IniFile second(path);
    first.WriteString("A", "x", "1");
    EXPECT_EQ(second.GetString("A", "x"), "1");
    second.WriteString("a", "X", "2");
    EXPECT_EQ(first.GetString("A", "x"), "2");
}

TEST_F(IniFileTest, UnwritablePlacesLoseTheWriteQuietly)
{
    IniFile inProc("/proc/self/quorvex-test.ini");
    inProc.WriteString("A", "x", "1");
    EXPECT_EQ(inProc.GetString("A", "x"), "");

    IniFile noFolder(dir.file("fehlt/01QUORVEX.INI"));
    noFolder.WriteString("A", "x", "1");
    EXPECT_FALSE(testsupport::exists(dir.file("fehlt")));

    if (::geteuid() != 0) {
        const auto locked = dir.file("gesperrt");
        ::mkdir(locked.c_str(), 0500);
        IniFile ini(locked + "/x.ini");
        ini.WriteString("A", "x", "1");
        EXPECT_EQ(ini.GetString("A", "x"), "");
    }
}

// What can stand in an INI file's place besides a file: read without waiting (a FIFO no one writes to would block
// an ordinary open for ever, a device never ends), refused with a German message that names the file, and never
// overwritten. Reading and writing run in a child that must end well within a minute.
struct NotAFile
{
    const char* name;
    std::function<void(const std::string&)> make;
    std::string reason; //!< how the reason after the file's name begins
};

void PrintTo(const NotAFile& notAFile, std::ostream* out)
{
    *out << notAFile.name;
}

class NotAFileTest : public IniFileTest, public testing::WithParamInterface<NotAFile>
{
};

TEST_P(NotAFileTest, IsRefusedWithoutWaitingAndNeverOverwritten)
{
    GetParam().make(path);
    struct stat before
    {
    };
    ASSERT_EQ(::lstat(path.c_str(), &before), 0);
    const auto answers = testsupport::runInChildWithin(std::chrono::seconds(60), [this] {
        std::string problem;
        const auto content = IniFile(path).Read(problem);
        const auto refused = IniFile(path).WriteEntries({{"A", "x", "1"}});
        return problem + "\n" + refused.error + "\n" + IniFile(path).GetString("A", "x") + content.GetString("A", "x");
    });
    ASSERT_TRUE(answers) << "reading or writing waits for what stands in the file's place";
    EXPECT_EQ(answers->ended, "exit 0");
    // A write names the file a link leads to: that is the one it would replace.
    const auto target = fs::is_symlink(path) ? fs::canonical(path).string() : path;
    EXPECT_EQ(answers->text,
              "Die Datei " + path + " kann nicht gelesen werden: " + GetParam().reason + "\nDie Datei " + target
                  + " kann nicht gelesen werden und wird darum nicht überschrieben: " + GetParam().reason + "\n");
    struct stat after
    {
    };
    ASSERT_EQ(::lstat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "what stands there stays";
    EXPECT_EQ(after.st_mode, before.st_mode);
}

const std::string NOT_REGULAR = "An ihrer Stelle steht keine gewöhnliche Datei (etwa eine benannte Pipe oder ein "
                                "Gerät). Bitte entfernen Sie, was dort steht, und holen Sie die Datei aus der "
                                "Datensicherung zurück.";

INSTANTIATE_TEST_SUITE_P(
    IniFile,
    NotAFileTest,
    testing::Values(
        NotAFile{
            "folder", [](const std::string& at) { ::mkdir(at.c_str(), 0700); }, "An ihrer Stelle steht ein Ordner."},
        NotAFile{"fifo", [](const std::string& at) { ::mkfifo(at.c_str(), 0600); }, NOT_REGULAR},
        NotAFile{"linkToAFifo",
                 [](const std::string& at) {
                     ::mkfifo((at + ".fifo").c_str(), 0600);
                     fs::create_symlink(at + ".fifo", at);
                 },
                 NOT_REGULAR},
        NotAFile{"linkToADevice", [](const std::string& at) { fs::create_symlink("/dev/zero", at); }, NOT_REGULAR}),
    [](const testing::TestParamInfo<NotAFile>& info) { return std::string(info.param.name); });

// A writer killed at any moment leaves either the old or the new file, never a mix or a torn one. What it leaves of
// a company file (it holds the PIN) is readable by the owner only and gone after the next write.
TEST_F(IniFileTest, AKilledWriterLeavesTheOldOrTheNewFile)
{
    const std::string a(40000, 'a');
    const std::string b(60000, 'b');
    IniFile(path).WriteString("Daten", "Wert", a);
    ::chmod(path.c_str(), 0644);
    const std::string fileA = readBytes(path);
    std::string fileB = fileA;
    fileB.replace(fileB.find(a), a.size(), b);

    for (int round = 0; round < 25; ++round) {
        const pid_t child = ::fork();
        if (child == 0) {
            IniFile ini(path);
            ini.SetOwnerOnly();
            for (int i = 0;; ++i) {
                ini.WriteString("Daten", "Wert", i % 2 ? a : b);
            }
        }
        ::usleep(static_cast<useconds_t>(2000 + round * 997 % 15000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const auto now = readBytes(path);
        ASSERT_TRUE(now == fileA || now == fileB) << "round " << round << ": " << now.size() << " bytes";
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const auto others = entry.status().permissions() & (fs::perms::group_all | fs::perms::others_all);
            EXPECT_TRUE(entry.path() == path || others == fs::perms::none) << entry.path();
        }
    }
    IniFile(path).WriteString("Daten", "Wert", a);
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        left.insert(entry.path().filename());
    }
    EXPECT_EQ(left, (std::set<std::string>{"01QUORVEX.INI", ".01QUORVEX.INI.lock"}));
}

// Stations sharing the installation folder write one file at the same time.
TEST_F(IniFileTest, TwoProcessesWritingOneFileLoseNothing)
{
    constexpr int WRITES = 300;
    std::vector<pid_t> writers;
    for (const char* name : {"A", "B"}) {
        writers.push_back(::fork());
        if (writers.back() == 0) {
            IniFile ini(path);
            for (int i = 0; i < WRITES; ++i) {
                ini.WriteString("Quorvex", name + std::to_string(i), std::to_string(i));
            }
            ::_exit(0);
        }
    }
    for (const pid_t writer : writers) {
        ::waitpid(writer, nullptr, 0);
    }
    const IniFile content(path);
    for (int i = 0; i < WRITES; ++i) {
        EXPECT_EQ(content.GetString("Quorvex", "A" + std::to_string(i)), std::to_string(i));
        EXPECT_EQ(content.GetString("Quorvex", "B" + std::to_string(i)), std::to_string(i));
    }
}

} // namespace

// Every file the program writes goes through base::writeFileDurably; here its hostile conditions, for it alone and
// through the INI files: the file-size limit (with the signal action a program starts with), a full disk, a missing
// folder, a file that must not be replaced; and the INI lock that another process holds.
#include "base/Files.h"

#include "base/IniFile.h"
#include "tests/support/ChildWrite.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testsupport::readBytes;
using testsupport::writeBytes;

const std::string OLD_INI = "[Quorvex]\r\nTid=123456789\r\nPin=alt\r\n";
const std::string NEW_PIN(4096, 'P'); // far past the limit of the child

// One writer of the program: it replaces `file` (which holds OLD_INI) and gives back its German message ("" when
// written).
struct Writer
{
    const char* name;
    std::function<std::string(const std::string& file)> write;
};

void PrintTo(const Writer& writer, std::ostream* out)
{
    *out << writer.name;
}

const Writer WRITERS[] = {
    {"durably", [](const std::string& file) { return base::writeFileDurably(file, "Pin=" + NEW_PIN).message; }},
    {"withoutFsync",
     [](const std::string& file) {
         base::FileWriteOptions options;
         options.durable = false;
         return base::writeFileDurably(file, "Pin=" + NEW_PIN, options).message;
     }},
    {"ownerOnly",
     [](const std::string& file) {
         base::FileWriteOptions options;
         options.mode = 0600;
         return base::writeFileDurably(file, "Pin=" + NEW_PIN, options).message;
     }},
    {"iniFile",
     [](const std::string& file) {
         return base::IniFile(file).SetOwnerOnly().WriteEntries({{"Quorvex", "Pin", NEW_PIN}}).error;
     }},
};

// What is in the folder besides the file and the INI lock: a temporary file would hold the new PIN.
std::set<std::string> leftovers(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const auto name = entry.path().filename().string();
        if (name != "01QUORVEX.INI" && name != ".01QUORVEX.INI.lock" && name != ".voll") {
            names.insert(name);
        }
    }
    return names;
}

class HostileWriteTest : public testing::TestWithParam<Writer>
{
protected:
    testsupport::TempDir dir;
    const std::string file = dir.file("01QUORVEX.INI");
};

TEST_P(HostileWriteTest, pastTheFileSizeLimitTheProgramLivesSaysWhyAndLosesNothing)
{
    writeBytes(file, OLD_INI);
    const auto child = testsupport::writeInChildPastSizeLimit([&] { return GetParam().write(file); });
    EXPECT_EQ(child.ended, "exit 0") << "SIGXFSZ would end it as 'signal 25'";
    EXPECT_EQ(child.text,
              "Die Datei " + file
                  + " konnte nicht gespeichert werden: Die Datei würde größer, als das System erlaubt.");
    EXPECT_EQ(readBytes(file), OLD_INI);
    EXPECT_EQ(leftovers(dir.path()), std::set<std::string>{});
}

TEST_P(HostileWriteTest, onAFullDiskItSaysWhyAndLosesNothing)
{
    const auto child = testsupport::writeInChildOnFullDisk(
        dir.path(),
        [&] { writeBytes(file, OLD_INI); },
        [&] {
            const auto message = GetParam().write(file);
            const auto left = leftovers(dir.path());
            return message + "|" + readBytes(file) + "|" + std::to_string(left.size());
        });
    if (!child) {
        GTEST_SKIP() << "no file system of its own can be mounted here (not root)";
    }
    EXPECT_EQ(child->ended, "exit 0");
    EXPECT_EQ(child->text,
              "Die Datei " + file
                  + " konnte nicht gespeichert werden: Auf dem Datenträger ist kein "
                    "Platz mehr frei.|"
                  + OLD_INI + "|0");
}

TEST_P(HostileWriteTest, inAMissingFolderItNamesTheFolder)
{
    const auto missing = dir.file("fehlt/01QUORVEX.INI");
    EXPECT_EQ(GetParam().write(missing),
              "Die Datei " + missing + " konnte nicht gespeichert werden: Der Ordner existiert nicht.");
}

TEST_P(HostileWriteTest, withRoomItWritesAndLeavesNothingElse)
{
    writeBytes(file, OLD_INI);
    EXPECT_EQ(GetParam().write(file), "");
    EXPECT_NE(readBytes(file).find(NEW_PIN), std::string::npos);
    EXPECT_EQ(leftovers(dir.path()), std::set<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Writers,
                         HostileWriteTest,
                         testing::ValuesIn(WRITERS),
                         [](const testing::TestParamInfo<Writer>& info) { return std::string(info.param.name); });

TEST(WriteFileDurablyTest, givesTheModeAskedForWhateverTheUmaskAndNeverReplacesWhenToldSo)
{
    testsupport::TempDir dir;
    const auto file = dir.file("AES-GEHEIMNIS.KEY");
    const auto oldMask = ::umask(077);
    base::FileWriteOptions options;
    options.mode = 0644;
    EXPECT_TRUE(base::writeFileDurably(file, "1", options));
    ::umask(oldMask);
    struct stat status
    {
    };
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);

    options.keepExisting = true;
    const auto kept = base::writeFileDurably(file, "2", options);
    EXPECT_EQ(kept.error, EEXIST);
    EXPECT_EQ(kept.message,
              "Die Datei " + file + " konnte nicht gespeichert werden: Eine Datei dieses Namens besteht bereits.");
    EXPECT_EQ(readBytes(file), "1");
    EXPECT_EQ(leftovers(dir.path()), std::set<std::string>{"AES-GEHEIMNIS.KEY"});
}

// Another station holds the INI file's lock and does not let go: the write gives up and names the lock.
TEST(IniLockTest, aLockHeldElsewhereEndsTheWaitWithTheFilesName)
{
    testsupport::TempDir dir;
    const auto file = dir.file("01QUORVEX.INI");
    writeBytes(file, OLD_INI);
    const auto lockName = dir.file(".01QUORVEX.INI.lock");
    const int held = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    base::IniFile::SetLockWait(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    const auto refused = base::IniFile(file).WriteEntries({{"Quorvex", "Pin", "neu"}});
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(refused.error,
              "Die Datei " + file
                  + " konnte nicht gespeichert werden: Ein anderes Programm hält sie "
                    "gesperrt ("
                  + lockName
                  + "). Bitte beenden Sie es oder versuchen Sie es später "
                    "noch einmal.");
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_EQ(readBytes(file), OLD_INI);

    // Let go within the wait: the write goes through.
    base::IniFile::SetLockWait(std::chrono::seconds(10));
    std::thread releaser([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(held);
    });
    EXPECT_EQ(base::IniFile(file).WriteEntries({{"Quorvex", "Pin", "neu"}}).error, "");
    releaser.join();
    EXPECT_EQ(base::IniFile(file).GetString("Quorvex", "Pin"), "neu");
    base::IniFile::SetLockWait(base::IniFile::LOCK_WAIT);
}

} // namespace

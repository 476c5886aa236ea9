// The signing service on the software signature unit: its opening with the AES basis, its wrappers' messages and
// the order of its message slots.
#include "base/Program.h"
#include "rksv/ImageFolder.h"
#include "rksv/InstallationSecret.h"
#include "rksv/Rksv.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <sys/stat.h>

namespace {

class RksvServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(dir.file("Karten"));
        auto& p = base::program();
        p.DefaultDir = dir.path();
        p.HostProduct = "Plumoxa";
        p.CompanyNumber = "0815";
        p.connections.signatur = "Software:" + dir.file("Karten");
    }

    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
};

TEST_F(RksvServiceTest, ReadyWithAKeyThatDependsOnTheBasisAlone)
{
    rksv::RKSV service(nullptr);
    ASSERT_TRUE(service.accReady()) << service.accMsgFirst();
    EXPECT_EQ(service.accAesBasis(), "PLUMOXA|0815|PLUMOXA");
    EXPECT_EQ(service.accAes256().size(), 44u);
    EXPECT_TRUE(service.accMsgFirst().empty());
    const auto key = service.accAes256();
    service.Close();
    EXPECT_FALSE(service.accReady());

    rksv::RKSV again(nullptr);
    EXPECT_EQ(again.accAes256(), key);
    base::program().CompanyNumber = "0816";
    rksv::RKSV other(nullptr);
    EXPECT_NE(other.accAes256(), key);
}

TEST_F(RksvServiceTest, AnUnknownComponentIsNotOpened)
{
    base::program().connections.signatur = "Hardware:COM1";
    rksv::RKSV service(nullptr);
    EXPECT_FALSE(service.accReady());
    EXPECT_EQ(service.accMsgFirst(), "Init: Objekt Quorvex nicht angelegt");
}

TEST_F(RksvServiceTest, ACompanyNumberOfOtherLengthRefusesSilently)
{
    for (const char* number : {"081", "08150"}) {
        base::program().CompanyNumber = number;
        rksv::RKSV service(nullptr);
        EXPECT_FALSE(service.accReady()) << number;
        EXPECT_EQ(service.accMsgFirst(), "") << number;
        EXPECT_EQ(service.accMsgLast(), "") << number;
    }
}

TEST_F(RksvServiceTest, TheBasisIsStoredOnceAndAChangeRefused)
{
    testsupport::writeBytes(dir.file("PLUMOXA.INI"), "[PLUMOXA]\r\nAnderes=1\r\n");
    {
        rksv::RKSV first(nullptr);
        EXPECT_TRUE(first.accReady());
    }
    EXPECT_EQ(base::IniFile(dir.file("PLUMOXA.INI")).GetString("PLUMOXA", "AES-Basis"), "PLUMOXA|0815|PLUMOXA");
    base::program().CompanyNumber = "4711";
    rksv::RKSV changed(nullptr);
    EXPECT_FALSE(changed.accReady());
    EXPECT_EQ(changed.accMsgFirst(), "AES-Basis geändert: \r\nPLUMOXA|0815|PLUMOXA -> PLUMOXA|4711|PLUMOXA");

    std::filesystem::remove(dir.file("PLUMOXA.INI"));
    rksv::RKSV withoutFile(nullptr);
    EXPECT_TRUE(withoutFile.accReady()) << "nothing is compared or written without the file";
    EXPECT_FALSE(testsupport::exists(dir.file("PLUMOXA.INI")));
}

TEST_F(RksvServiceTest, WrappersLeaveTheirMessagesFirstOneKept)
{
    rksv::RKSV service(nullptr);
    ASSERT_TRUE(service.accReady());
    EXPECT_EQ(service.GetReadersCount(), 0);
    EXPECT_EQ(service.accMsgFirst(), "GetReadersCount: Kein Reader vorhanden");
    EXPECT_EQ(service.GetReaderAt(3), "");
    EXPECT_EQ(service.accMsgLast(), "GetReaderAt: Kein Reader auf Position 3");
    EXPECT_EQ(service.accMsgFirst(), "GetReadersCount: Kein Reader vorhanden") << "the root cause stays first";
    EXPECT_FALSE(service.VerifyPin(""));
    EXPECT_EQ(service.accMsgLast(), "VerifyPin: Pin Code nicht korrekt");
    EXPECT_EQ(service.ConvertJWSCompactToText("kein.jws"), "");
    EXPECT_EQ(service.accMsgLast(), "Kein gültiger JWS-String");
    EXPECT_FALSE(service.IsCardReaderPresent("Leser 9"));
    EXPECT_EQ(service.accMsgLast(), "IsCardReaderPresent: Reader Leser 9 nicht vorhanden");
    EXPECT_FALSE(service.SaveImageToFile(true, dir.file("qr.bmp"), "BMP")) << "no image made yet";
    EXPECT_EQ(service.accMsgLast(), "SaveImageToFile: Datei " + dir.file("qr.bmp") + " Typ bmp nicht gespeichert");
    EXPECT_FALSE(service.GetCardCertificate());
    EXPECT_EQ(service.accMsgLast(), "GetCardCertificate: Zertifikat unlesbar im Reader ");
    service.Close();
    EXPECT_EQ(service.GetReaderAt(0), "") << "a closed service answers empty, never crashes";
}

} // namespace

TEST_F(RksvServiceTest, TheKeyNeedsTheInstallationsSecretKeptPrivateAndNeverReplacedSilently)
{
    testsupport::writeBytes(dir.file("PLUMOXA.INI"), "[PLUMOXA]\r\n");
    const auto oldMask = ::umask(0);
    std::string key;
    {
        rksv::RKSV first(nullptr);
        ASSERT_TRUE(first.accReady()) << first.accMsgFirst();
        key = first.accAes256();
    }
    ::umask(oldMask);
    const auto secretFile = dir.file(rksv::SECRET_FILE);
    struct stat status
    {
    };
    ASSERT_EQ(::stat(secretFile.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u) << "the secret is the owner's alone, whatever the umask";
    const auto secret = testsupport::readBytes(secretFile);

    {
        // Another installation of the same product and company number: the public basis alone gives no key.
        testsupport::TempDir elsewhere;
        base::program().DefaultDir = elsewhere.path();
        rksv::RKSV other(nullptr);
        ASSERT_TRUE(other.accReady()) << other.accMsgFirst();
        EXPECT_NE(other.accAes256(), key);
        base::program().DefaultDir = dir.path();
    }

    std::filesystem::remove(secretFile);
    rksv::RKSV lost(nullptr);
    EXPECT_FALSE(lost.accReady());
    EXPECT_EQ(lost.accMsgFirst().rfind("AES-Geheimnis der Installation fehlt: " + secretFile, 0), 0u)
        << lost.accMsgFirst();
    EXPECT_FALSE(std::filesystem::exists(secretFile)) << "a lost secret is never replaced silently";

    testsupport::writeBytes(secretFile, std::string(64, 'a') + "\n");
    rksv::RKSV exchanged(nullptr);
    EXPECT_FALSE(exchanged.accReady());
    EXPECT_EQ(exchanged.accMsgFirst().rfind("AES-Geheimnis der Installation passt nicht zum", 0), 0u)
        << exchanged.accMsgFirst();

    testsupport::writeBytes(secretFile, secret);
    rksv::RKSV restored(nullptr);
    EXPECT_TRUE(restored.accReady()) << restored.accMsgFirst();
    EXPECT_EQ(restored.accAes256(), key) << "the secret from the backup gives the till's key again";
}

// What can be in the secret's place in an installation without the product's INI file (the demo installation has
// none): each is refused with its German message before anything is signed, and nothing is replaced.
struct SecretCase
{
    const char* name;
    const char* file;                               // which of the two files is changed
    std::function<void(const std::string&)> change; // what happens to it
    std::string message;                            // how the refusal begins
};

void PrintTo(const SecretCase& secretCase, std::ostream* out)
{
    *out << secretCase.name;
}

class HostileSecretTest : public RksvServiceTest, public testing::WithParamInterface<SecretCase>
{
};

TEST_P(HostileSecretTest, isRefusedAndNothingIsReplaced)
{
    ASSERT_FALSE(std::filesystem::exists(dir.file("PLUMOXA.INI")));
    std::string key;
    {
        rksv::RKSV first(nullptr);
        ASSERT_TRUE(first.accReady()) << first.accMsgFirst();
        key = first.accAes256();
    }
    const auto secretFile = dir.file(rksv::SECRET_FILE);
    const auto checkFile = dir.file(rksv::SECRET_CHECK_FILE);
    const auto secret = testsupport::readBytes(secretFile);
    const auto check = testsupport::readBytes(checkFile);
    ASSERT_EQ(check.size(), 5u) << "four characters and a line end";

    const auto changed = dir.file(GetParam().file);
    GetParam().change(changed);
    struct stat before
    {
    };
    const bool existed = ::lstat(changed.c_str(), &before) == 0;
    {
        rksv::RKSV refused(nullptr);
        EXPECT_FALSE(refused.accReady());
        const auto message = refused.accMsgFirst();
        EXPECT_EQ(message.rfind(GetParam().message, 0), 0u) << message;
        EXPECT_NE(message.find(changed), std::string::npos) << message;
    }
    struct stat after
    {
    };
    ASSERT_EQ(::lstat(changed.c_str(), &after) == 0, existed) << "a lost secret is never made anew";
    EXPECT_TRUE(!existed || before.st_ino == after.st_ino) << "what is in the file's place stays as it is";

    std::filesystem::remove(changed);
    testsupport::writeBytes(secretFile, secret);
    testsupport::writeBytes(checkFile, check);
    rksv::RKSV restored(nullptr);
    ASSERT_TRUE(restored.accReady()) << restored.accMsgFirst();
    EXPECT_EQ(restored.accAes256(), key) << "the files from the backup give the till's key again";
}

INSTANTIATE_TEST_SUITE_P(WithoutProductIni,
                         HostileSecretTest,
                         testing::Values(SecretCase{"lost",
                                                    rksv::SECRET_FILE,
                                                    [](const std::string& path) { std::filesystem::remove(path); },
                                                    "AES-Geheimnis der Installation fehlt: "},
                                         SecretCase{"exchanged",
                                                    rksv::SECRET_FILE,
                                                    [](const std::string& path) {
                                                        testsupport::writeBytes(path, std::string(64, 'b') + "\n");
                                                    },
                                                    "AES-Geheimnis der Installation passt nicht zum Prüfwert "},
                                         SecretCase{"damaged",
                                                    rksv::SECRET_FILE,
                                                    [](const std::string& path) { testsupport::writeBytes(path, "x"); },
                                                    "AES-Geheimnis der Installation beschädigt: "},
                                         SecretCase{"fifo",
                                                    rksv::SECRET_FILE,
                                                    [](const std::string& path) {
                                                        std::filesystem::remove(path);
                                                        ::mkfifo(path.c_str(), 0600);
                                                    },
                                                    "AES-Geheimnis der Installation ist keine gewöhnliche Datei: "},
                                         SecretCase{"folder",
                                                    rksv::SECRET_FILE,
                                                    [](const std::string& path) {
                                                        std::filesystem::remove(path);
                                                        std::filesystem::create_directory(path);
                                                    },
                                                    "AES-Geheimnis der Installation ist keine gewöhnliche Datei: "},
                                         SecretCase{
                                             "checkValueExchanged",
                                             rksv::SECRET_CHECK_FILE,
                                             [](const std::string& path) { testsupport::writeBytes(path, "AAAA\n"); },
                                             "AES-Geheimnis der Installation passt nicht zum Prüfwert AAAA in "},
                                         SecretCase{"checkValueFifo",
                                                    rksv::SECRET_CHECK_FILE,
                                                    [](const std::string& path) {
                                                        std::filesystem::remove(path);
                                                        ::mkfifo(path.c_str(), 0600);
                                                    },
                                                    "Prüfwert des AES-Geheimnisses ist keine gewöhnliche Datei: "},
                                         // The product's INI would hold the check value: what cannot be read is
                                         // refused, never taken for a first start.
                                         SecretCase{"productIniFifo",
                                                    "PLUMOXA.INI",
                                                    [](const std::string& path) { ::mkfifo(path.c_str(), 0600); },
                                                    "Die Datei "}),
                         [](const testing::TestParamInfo<SecretCase>& info) { return std::string(info.param.name); });

TEST(QrImageFolderTest, ImagesGoToAPrivateFolderNeverThroughAnotherName)
{
    testsupport::TempDir temp;
    ASSERT_EQ(::setenv("TMPDIR", temp.path().c_str(), 1), 0);
    std::string error;
    const auto folder = rksv::qrImageFolder(error);
    ASSERT_FALSE(folder.empty()) << error;
    struct stat status
    {
    };
    ASSERT_EQ(::lstat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    const auto old = rksv::qrImageFile(folder, "K/1", "2026-1");
    EXPECT_EQ(old.filename(), "~K_1_2026-1.BMP") << "a till id cannot lead the image elsewhere";
    const auto fresh = rksv::qrImageFile(folder, "K1", "2027-1");
    testsupport::writeBytes(old.string(), "x");
    testsupport::writeBytes(fresh.string(), "x");
    std::filesystem::last_write_time(old, std::filesystem::file_time_type::clock::now() - std::chrono::hours(25));
    EXPECT_EQ(rksv::removeOldImages(folder), 1);
    EXPECT_FALSE(std::filesystem::exists(old)) << "images older than a day go";
    EXPECT_TRUE(std::filesystem::exists(fresh));

    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(rksv::qrImageFolder(error), folder);
    ASSERT_EQ(::lstat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u) << "a folder others could read is tightened";

    // A name prepared by someone else: a link to another folder is refused, not followed.
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(temp.file("elsewhere"));
    std::filesystem::create_directory_symlink(temp.file("elsewhere"), folder);
    EXPECT_TRUE(rksv::qrImageFolder(error).empty());
    EXPECT_EQ(error, "Ordner der QR-Bilder gehört nicht dem Benutzer oder ist kein Ordner: " + folder.string());
    ::unsetenv("TMPDIR");
}

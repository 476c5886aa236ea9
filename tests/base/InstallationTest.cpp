#include "base/Installation.h"

#include "tests/support/ChildWrite.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>

using testsupport::writeBytes;

namespace {

class InstallationTest : public ::testing::Test
{
protected:
    base::InstallationResult load(const std::string& content)
    {
        writeBytes(dir.file("INSTALLATION.INI"), content);
        return base::loadInstallation(dir.path());
    }
    // The German problem text, which must name the file.
    std::string problemOf(const std::string& content)
    {
        const auto result = load(content);
        EXPECT_FALSE(result.installation.has_value());
        EXPECT_NE(result.error.find(dir.file("INSTALLATION.INI")), std::string::npos) << result.error;
        return result.error;
    }

    testsupport::TempDir dir;
};

TEST_F(InstallationTest, WithoutAFileOneTestCompany)
{
    const auto result = base::loadInstallation(dir.path());
    ASSERT_TRUE(result.installation);
    const auto& companies = result.installation->companies;
    ASSERT_EQ(companies.size(), 1u);
    EXPECT_EQ(companies[0].name, "Firma");
    EXPECT_EQ(companies[0].number, "01");
    EXPECT_EQ(companies[0].testFlag, "J");
    EXPECT_EQ(result.installation->hostProduct, "");
    EXPECT_EQ(result.installation->connections.fonHost, "finanzonline.bmf.gv.at");
    EXPECT_EQ(result.installation->connections.fonSessionPath, "/fonws/ws/sessionService");
}

TEST_F(InstallationTest, ReadsAWindowsFileInTheOrderOfTheSectionNumbers)
{
    const auto result = load("[Installation]\r\n"
                             "Produkt = PLUMOXA\r\n"
                             "Firmennummer=0815\r\n"
                             "FinanzOnline-Host=fon.test\r\n"
                             "FinanzOnline-Verbindung=127.0.0.1:8443\r\n"
                             "FinanzOnline-Zeitlimit=45\r\n"
                             "FinanzOnline-Sitzungspfad= /fonws/ws/session \r\n"
                             "[Firma10]\r\nName=Zehnte\r\nNummer=10\r\nTest=n\r\n"
                             "[Firma2]\r\nName=Zweite\r\nNummer=02\r\nTid=123456789012\r\n"
                             "[Firma1]\r\nName=B\xE4"
                             "ckerei\r\nNummer=01\r\nTest=J\r\n"
                             "[Sonstiges]\r\nName=x\r\n");
    ASSERT_TRUE(result.installation) << result.error;
    const auto& inst = *result.installation;
    EXPECT_EQ(inst.hostProduct, "PLUMOXA");
    EXPECT_EQ(inst.companyNumber, "0815");
    EXPECT_EQ(inst.connections.fonHost, "fon.test");
    EXPECT_EQ(inst.connections.fonConnectTo, "127.0.0.1:8443");
    EXPECT_EQ(inst.connections.fonConnectSeconds, 30) << "the default";
    EXPECT_EQ(inst.connections.fonExchangeSeconds, 45);
    EXPECT_EQ(inst.connections.fonSessionPath, "/fonws/ws/session");
    ASSERT_EQ(inst.companies.size(), 3u);
    EXPECT_EQ(inst.companies[0].name, "Bäckerei");
    EXPECT_EQ(inst.companies[1].number, "02");
    EXPECT_EQ(inst.companies[1].testFlag, "J") << "a missing test flag means test transmission";
    EXPECT_EQ(inst.companies[1].tid, "123456789012");
    EXPECT_EQ(inst.companies[2].number, "10");
    EXPECT_EQ(inst.companies[2].testFlag, "N");
}

TEST_F(InstallationTest, FileNameIsMatchedWithoutCase)
{
    writeBytes(dir.file("installation.ini"), "[Firma1]\nName=Klein\nNummer=07\n");
    const auto result = base::loadInstallation(dir.path());
    ASSERT_TRUE(result.installation);
    EXPECT_EQ(result.installation->companies.at(0).number, "07");
}

TEST_F(InstallationTest, UnusableFilesAreNamedWithTheirProblem)
{
    EXPECT_NE(problemOf("[Installation]\r\nProdukt=X\r\n").find("keine Firma/Kassa"), std::string::npos);
    EXPECT_NE(problemOf("[Firma1]\r\nName=Ohne Nummer\r\n").find("Firma1"), std::string::npos);
    EXPECT_NE(problemOf("[Firma1]\r\nNummer=01\r\n[Firma2]\r\nNummer= 01\r\n").find("mehrfach"), std::string::npos);
    EXPECT_NE(problemOf("[Firma1]\r\nNummer=ab\r\n[Firma2]\r\nNummer=AB\r\n").find("mehrfach"), std::string::npos);
    EXPECT_NE(problemOf("[Firma1]\r\nNummer=01\r\n[Firma01]\r\nNummer=02\r\n").find("dieselbe Nummer"),
              std::string::npos);
    EXPECT_NE(problemOf("[Installation]\r\nFirmennummer=123\r\n[Firma1]\r\nNummer=01\r\n").find("vier Zeichen"),
              std::string::npos);
    EXPECT_NE(problemOf("[Installation]\r\nFirmennummer=12345\r\n[Firma1]\r\nNummer=01\r\n").find("\"12345\""),
              std::string::npos);
    EXPECT_NE(problemOf("[Firma1]\r\nNummer=../x\r\n").find("Dateinamen"), std::string::npos);
    for (const char* value : {"0", "3601", "10s", "-5"}) {
        EXPECT_NE(problemOf(std::string("[Installation]\r\nFinanzOnline-Verbindungsaufbau=") + value
                            + "\r\n[Firma1]\r\nNummer=01\r\n")
                      .find("\"FinanzOnline-Verbindungsaufbau\" im Abschnitt \"Installation\" muss eine Zahl"),
                  std::string::npos)
            << value;
    }
    // FinanzOnline takes provider codes AT1 to AT99 only; the start names the entry and the code.
    const auto signatur = [](const std::string& vda) {
        return "[Installation]\r\nSignatur=PKCS11:/usr/lib/m.so;token=Kassa 1;vda=" + vda
               + "\r\n[Firma1]\r\nNummer=01\r\n";
    };
    for (const char* vda : {"AT0", "AT01", "AT100", "at1", "DE1", "AT"}) {
        EXPECT_NE(problemOf(signatur(vda))
                      .find("\"Signatur\" im Abschnitt \"Installation\" nennt den "
                            "Anbieter \"vda="
                            + std::string(vda) + "\""),
                  std::string::npos)
            << vda;
    }
    for (const char* vda : {"AT1", "AT99", "AT10"}) {
        EXPECT_TRUE(load(signatur(vda)).installation) << vda;
    }
    for (const char* value : {"fonws/ws/session", "/fonws/ws/ses sion", "/fonws?x=1", "/fonws/ws/s\xE4tze"}) {
        EXPECT_NE(problemOf(std::string("[Installation]\r\nFinanzOnline-Sitzungspfad=") + value
                            + "\r\n[Firma1]\r\nNummer=01\r\n")
                      .find("\"FinanzOnline-Sitzungspfad\" im Abschnitt \"Installation\" muss ein Pfad sein"),
                  std::string::npos)
            << value;
    }
}

TEST_F(InstallationTest, CompanyNumberCountsCharactersNotBytes)
{
    const auto result = load("[Installation]\r\nFirmennummer=M\xFCll\r\n[Firma1]\r\nNummer=01\r\n");
    ASSERT_TRUE(result.installation) << result.error;
    EXPECT_EQ(result.installation->companyNumber, "Müll");
}

// A folder or a FIFO in the file's place: the start ends with the message, never waiting for a writer to the FIFO.
TEST_F(InstallationTest, AnUnreadableFileIsUnusable)
{
    const auto path = dir.file("INSTALLATION.INI");
    for (const auto& [make, reason] :
         {std::pair<std::function<int()>, std::string>{[&] { return ::mkdir(path.c_str(), 0700); },
                                                       "An ihrer Stelle steht ein Ordner."},
          std::pair<std::function<int()>, std::string>{[&] { return ::mkfifo(path.c_str(), 0600); },
                                                       "An ihrer Stelle steht keine gewöhnliche Datei"}}) {
        std::filesystem::remove(path);
        ASSERT_EQ(make(), 0);
        const auto loaded = testsupport::runInChildWithin(std::chrono::seconds(60), [&] {
            const auto result = base::loadInstallation(dir.path());
            return std::string(result.installation ? "geladen" : "") + result.error;
        });
        ASSERT_TRUE(loaded) << "the start waits for what stands in the file's place";
        EXPECT_EQ(loaded->text.rfind("Die Installationsdatei " + path
                                         + " ist unbrauchbar:\nSie kann nicht gelesen "
                                           "werden. "
                                         + reason,
                                     0),
                  0u)
            << loaded->text;
    }
}

// A file of many companies is read in one pass, counted in the bytes the kernel hands the process: looking each
// entry up in the whole file again took quadratic time (4 000 companies 17 s, 100 000 never finished).
TEST_F(InstallationTest, ManyCompaniesAreReadInOnePass)
{
    std::string content = "[Installation]\r\n";
    for (int i = 1; i <= 3000; ++i) {
        const auto n = std::to_string(i);
        content += "[Firma" + n + "]\r\nName=Filiale " + n + "\r\nNummer=" + n + "\r\n";
    }
    writeBytes(dir.file("INSTALLATION.INI"), content);
    const auto bytesRead = [] {
        std::ifstream io("/proc/self/io");
        std::string name;
        std::size_t value = 0;
        while (io >> name >> value && name != "rchar:") {
        }
        return value;
    };
    const auto before = bytesRead();
    const auto result = base::loadInstallation(dir.path());
    EXPECT_LT(bytesRead() - before, 2 * content.size());
    ASSERT_TRUE(result.installation) << result.error;
    ASSERT_EQ(result.installation->companies.size(), 3000u);
    EXPECT_EQ(result.installation->companies.back().name, "Filiale 3000");
}

TEST_F(InstallationTest, ApplyingSetsTheProgramWideState)
{
    const auto result = load("[Installation]\r\nProdukt=DRAVELIN\r\nFirmennummer=0042\r\n"
                             "[Firma1]\r\nName=A\r\nNummer=01\r\nTest=N\r\n[Firma2]\r\nName=B\r\nNummer=02\r\n");
    ASSERT_TRUE(result.installation);
    base::applyInstallation(*result.installation);
    const auto& p = base::program();
    EXPECT_EQ(p.HostProduct, "DRAVELIN");
    EXPECT_EQ(p.CompanyNumber, "0042");
    EXPECT_EQ(p.CompanyList.size(), 2u);
    EXPECT_EQ(p.TestFlag, "N");
    EXPECT_EQ(p.Kassa, "01") << "without an entry the current till is the first company/till";

    const auto named = load("[Installation]\r\nKassa= K2 \r\n[Firma1]\r\nNummer=01\r\n");
    ASSERT_TRUE(named.installation);
    base::applyInstallation(*named.installation);
    EXPECT_EQ(base::program().Kassa, "K2");
    base::program() = base::Program{};
}

} // namespace

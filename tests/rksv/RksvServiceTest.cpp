// The signing service on the software signature unit: its opening with the AES basis, its wrappers' messages and
// the order of its message slots.
#include "app/Program.h"
#include "rksv/Rksv.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class RksvServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(dir.file("Karten"));
        auto& p = app::program();
        p = app::Program{};
        p.DefaultDir = dir.path();
        p.HostProduct = "Plumoxa";
        p.CompanyNumber = "0815";
        p.connections.signatur = "Software:" + dir.file("Karten");
    }
    void TearDown() override { app::program() = app::Program{}; }

    testsupport::TempDir dir;
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
    app::program().CompanyNumber = "0816";
    rksv::RKSV other(nullptr);
    EXPECT_NE(other.accAes256(), key);
}

TEST_F(RksvServiceTest, AnUnknownComponentIsNotOpened)
{
    app::program().connections.signatur = "Hardware:COM1";
    rksv::RKSV service(nullptr);
    EXPECT_FALSE(service.accReady());
    EXPECT_EQ(service.accMsgFirst(), "Init: Objekt Quorvex nicht angelegt");
}

TEST_F(RksvServiceTest, ACompanyNumberOfOtherLengthRefusesSilently)
{
    for (const char* number : {"081", "08150"}) {
        app::program().CompanyNumber = number;
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
    EXPECT_EQ(app::IniFile(dir.file("PLUMOXA.INI")).GetString("PLUMOXA", "AES-Basis"), "PLUMOXA|0815|PLUMOXA");
    app::program().CompanyNumber = "4711";
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

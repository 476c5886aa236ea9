#include "base/Program.h"

#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using testsupport::readBytes;
using testsupport::writeBytes;

namespace {

class ProgramTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        auto& p = app::program();
        p = app::Program{};
        p.DefaultDir = dir.path();
        p.CompanyList = {{"Hauptkasse", "01", "J", "12"}, {"Filiale", "02", "N", " 12"}, {"Bar", "03", "N", "1x"}};
    }
    void TearDown() override { app::program() = app::Program{}; }

    testsupport::TempDir dir;
    testsupport::ScriptedDialogs shown;
};

TEST_F(ProgramTest, IsTidWantsTwoLeadingDigits)
{
    app::program().CompanyList.push_back({"Leer", "04", "N", ""});
    app::program().CompanyList.push_back({"Eins", "05", "N", "7"});
    EXPECT_TRUE(app::IsTid(1));
    EXPECT_FALSE(app::IsTid(2)) << "a leading blank";
    EXPECT_FALSE(app::IsTid(3));
    EXPECT_FALSE(app::IsTid(4));
    EXPECT_FALSE(app::IsTid(5));
    EXPECT_FALSE(app::IsTid(0));
    EXPECT_FALSE(app::IsTid(6));
}

TEST_F(ProgramTest, TransmissionKindFollowsTestFlagAndMarkerFile)
{
    auto& p = app::program();
    p.TestFlag = "J";
    EXPECT_EQ(app::ArtUebermittlung(), "T");
    p.TestFlag = "N";
    EXPECT_EQ(app::ArtUebermittlung(), "P");
    p.TestFlag = "";
    EXPECT_EQ(app::ArtUebermittlung(), "P");
    writeBytes(dir.file("DoTest"), "");
    EXPECT_EQ(app::ArtUebermittlung(), "T") << "marker file names match without case";
}

TEST_F(ProgramTest, MarkerFilesSwitchModes)
{
    EXPECT_FALSE(app::IsVexa());
    EXPECT_FALSE(app::IsDebug());
    writeBytes(dir.file("DOVEXA"), "");
    writeBytes(dir.file("dodebug"), "");
    EXPECT_TRUE(app::IsVexa());
    EXPECT_TRUE(app::IsDebug());
    EXPECT_FALSE(app::IsVexaProject());
    app::program().HostProduct = "PLUMOXA";
    EXPECT_TRUE(app::IsVexaProject());
}

TEST_F(ProgramTest, IniOpenCreatesTheCompanyFileOnceWithItsVersion)
{
    app::IniOpen("02");
    const auto path = dir.file("02QUORVEX.INI");
    EXPECT_EQ(app::program().CurrentIni.FullPath(), path);
    EXPECT_EQ(readBytes(path), "[QUORVEX]\r\nVersion=1.0\r\n");
    struct stat st
    {
    };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "the file holds the PIN: nobody but its owner may read it";

    app::program().CurrentIni.WriteString("Quorvex", "Pin", "1234");
    app::IniOpen("02");
    EXPECT_EQ(app::program().CurrentIni.GetString("Quorvex", "Pin"), "1234") << "an existing file is left alone";

    writeBytes(dir.file("03quorvex.ini"), "[Quorvex]\r\nTid=9\r\n");
    app::IniOpen("03");
    EXPECT_EQ(readBytes(dir.file("03quorvex.ini")), "[Quorvex]\r\nTid=9\r\n");
    EXPECT_EQ(app::program().CurrentIni.GetString("Quorvex", "Tid"), "9");
    ::chmod(dir.file("03quorvex.ini").c_str(), 0644);
    app::program().CurrentIni.WriteString("Quorvex", "Pin", "1");
    ASSERT_EQ(::stat(dir.file("03quorvex.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a company file that is written is tightened to its owner";
}

TEST_F(ProgramTest, ComboItemsShowNumberAndName)
{
    const auto items = app::FillCombo();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].text, "01 Hauptkasse");
    EXPECT_EQ(items[0].value, "01");
    EXPECT_EQ(items[2].text, "03 Bar");
}

TEST_F(ProgramTest, CustomerTextClosesTheGapsOfEmptyParts)
{
    EXPECT_EQ(app::GetKndText(" Huber ", "Anna", "Hauptstraße 1", "1010", "Wien"),
              "Anna Huber, Hauptstraße 1, 1010 Wien");
    EXPECT_EQ(app::GetKndText("Huber", "Anna", "", "1010", "Wien"), "Anna Huber 1010 Wien");
    EXPECT_EQ(app::GetKndText("Huber", "", " ", "1010", "Wien"), "Huber 1010 Wien");
}

TEST_F(ProgramTest, NvlTakesTheDefaultForEmptyBlankZeroAndNull)
{
    EXPECT_EQ(app::Nvl("NULL", "x"), "x");
    EXPECT_EQ(app::Nvl("NULLWERT", "x"), "x");
    EXPECT_EQ(app::Nvl("", "x"), "x");
    EXPECT_EQ(app::Nvl("   ", "x"), "x");
    EXPECT_EQ(app::Nvl("Wert", "x"), "Wert");
    EXPECT_EQ(app::Nvl(" null", "x"), " null");
    EXPECT_EQ(app::Nvl("NULL"), "");
    EXPECT_EQ(app::Nvl(0.0, 5.0), 5.0);
    EXPECT_EQ(app::Nvl(2.5, 5.0), 2.5);
}

TEST_F(ProgramTest, CursorHelpersGoThroughTheDialogs)
{
    app::CursorWait();
    app::CursorArrow();
    EXPECT_EQ(shown.cursorChanges(), (std::vector<bool>{true, false}));
}

TEST_F(ProgramTest, AWindowTitledLikeTheProgramBlocksTheStart)
{
    EXPECT_FALSE(app::ChkWinList({"Terminal", "Vexa-Quorve", "Vexa Quorvex", ""}));
    EXPECT_TRUE(shown.shown().empty());

    EXPECT_TRUE(app::ChkWinList({"Terminal", "vexa-QUORVEX: FON WebClient (Testübertragung)"}));
    ASSERT_EQ(shown.shown().size(), 1u);
    EXPECT_EQ(shown.shown()[0].kind, "TextBox");
    EXPECT_EQ(shown.shown()[0].caption, "Vexa-Quorvex");
    EXPECT_EQ(shown.shown()[0].text, "Das Programm läuft bereits");
    EXPECT_EQ(shown.shown()[0].type, app::MB_OK | app::MB_ICONSTOP);

    EXPECT_TRUE(app::IsOwnTitle("VEXA-QUORVEX"));
    EXPECT_FALSE(app::IsOwnTitle(" Vexa-Quorvex"));
}

} // namespace

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
        auto& p = base::program();
        p = base::Program{};
        p.DefaultDir = dir.path();
        p.CompanyList = {{"Hauptkasse", "01", "J", "12"}, {"Filiale", "02", "N", " 12"}, {"Bar", "03", "N", "1x"}};
    }
    void TearDown() override { base::program() = base::Program{}; }

    testsupport::TempDir dir;
    testsupport::ScriptedDialogs shown;
};

TEST_F(ProgramTest, IsTidWantsTwoLeadingDigits)
{
    base::program().CompanyList.push_back({"Leer", "04", "N", ""});
    base::program().CompanyList.push_back({"Eins", "05", "N", "7"});
    EXPECT_TRUE(base::IsTid(1));
    EXPECT_FALSE(base::IsTid(2)) << "a leading blank";
    EXPECT_FALSE(base::IsTid(3));
    EXPECT_FALSE(base::IsTid(4));
    EXPECT_FALSE(base::IsTid(5));
    EXPECT_FALSE(base::IsTid(0));
    EXPECT_FALSE(base::IsTid(6));
}

TEST_F(ProgramTest, TransmissionKindFollowsTestFlagAndMarkerFile)
{
    auto& p = base::program();
    p.TestFlag = "J";
    EXPECT_EQ(base::ArtUebermittlung(), "T");
    p.TestFlag = "N";
    EXPECT_EQ(base::ArtUebermittlung(), "P");
    p.TestFlag = "";
    EXPECT_EQ(base::ArtUebermittlung(), "P");
    writeBytes(dir.file("DoTest"), "");
    EXPECT_EQ(base::ArtUebermittlung(), "T") << "marker file names match without case";
}

TEST_F(ProgramTest, MarkerFilesSwitchModes)
{
    EXPECT_FALSE(base::IsVexa());
    EXPECT_FALSE(base::IsDebug());
    writeBytes(dir.file("DOVEXA"), "");
    writeBytes(dir.file("dodebug"), "");
    EXPECT_TRUE(base::IsVexa());
    EXPECT_TRUE(base::IsDebug());
    EXPECT_FALSE(base::IsVexaProject());
    base::program().HostProduct = "PLUMOXA";
    EXPECT_TRUE(base::IsVexaProject());
}

TEST_F(ProgramTest, IniOpenCreatesTheCompanyFileOnceWithItsVersion)
{
    base::IniOpen("02");
    const auto path = dir.file("02QUORVEX.INI");
    EXPECT_EQ(base::program().CurrentIni.FullPath(), path);
    EXPECT_EQ(readBytes(path), "[QUORVEX]\r\nVersion=1.0\r\n");
    struct stat st
    {
    };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "the file holds the PIN: nobody but its owner may read it";

    base::program().CurrentIni.WriteString("Quorvex", "Pin", "1234");
    base::IniOpen("02");
    EXPECT_EQ(base::program().CurrentIni.GetString("Quorvex", "Pin"), "1234") << "an existing file is left alone";

    writeBytes(dir.file("03quorvex.ini"), "[Quorvex]\r\nTid=9\r\n");
    base::IniOpen("03");
    EXPECT_EQ(readBytes(dir.file("03quorvex.ini")), "[Quorvex]\r\nTid=9\r\n");
    EXPECT_EQ(base::program().CurrentIni.GetString("Quorvex", "Tid"), "9");
    ::chmod(dir.file("03quorvex.ini").c_str(), 0644);
    base::program().CurrentIni.WriteString("Quorvex", "Pin", "1");
    ASSERT_EQ(::stat(dir.file("03quorvex.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a company file that is written is tightened to its owner";
}

TEST_F(ProgramTest, ComboItemsShowNumberAndName)
{
    const auto items = base::FillCombo();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].text, "01 Hauptkasse");
    EXPECT_EQ(items[0].value, "01");
    EXPECT_EQ(items[2].text, "03 Bar");
}

TEST_F(ProgramTest, CustomerTextClosesTheGapsOfEmptyParts)
{
    EXPECT_EQ(base::GetKndText(" Huber ", "Anna", "Hauptstraße 1", "1010", "Wien"),
              "Anna Huber, Hauptstraße 1, 1010 Wien");
    EXPECT_EQ(base::GetKndText("Huber", "Anna", "", "1010", "Wien"), "Anna Huber 1010 Wien");
    EXPECT_EQ(base::GetKndText("Huber", "", " ", "1010", "Wien"), "Huber 1010 Wien");
}

TEST_F(ProgramTest, NvlTakesTheDefaultForEmptyBlankZeroAndNull)
{
    EXPECT_EQ(base::Nvl("NULL", "x"), "x");
    EXPECT_EQ(base::Nvl("NULLWERT", "x"), "x");
    EXPECT_EQ(base::Nvl("", "x"), "x");
    EXPECT_EQ(base::Nvl("   ", "x"), "x");
    EXPECT_EQ(base::Nvl("Wert", "x"), "Wert");
    EXPECT_EQ(base::Nvl(" null", "x"), " null");
    EXPECT_EQ(base::Nvl("NULL"), "");
    EXPECT_EQ(base::Nvl(0.0, 5.0), 5.0);
    EXPECT_EQ(base::Nvl(2.5, 5.0), 2.5);
}

TEST_F(ProgramTest, CursorHelpersGoThroughTheDialogs)
{
    base::CursorWait();
    base::CursorArrow();
    EXPECT_EQ(shown.cursorChanges(), (std::vector<bool>{true, false}));
}

TEST_F(ProgramTest, AWindowTitledLikeTheProgramBlocksTheStart)
{
    EXPECT_FALSE(base::ChkWinList({"Terminal", "Vexa-Quorve", "Vexa Quorvex", ""}));
    EXPECT_TRUE(shown.shown().empty());

    EXPECT_TRUE(base::ChkWinList({"Terminal", "vexa-QUORVEX: FON WebClient (Testübertragung)"}));
    ASSERT_EQ(shown.shown().size(), 1u);
    EXPECT_EQ(shown.shown()[0].kind, "TextBox");
    EXPECT_EQ(shown.shown()[0].caption, "Vexa-Quorvex");
    EXPECT_EQ(shown.shown()[0].text, "Das Programm läuft bereits");
    EXPECT_EQ(shown.shown()[0].type, base::MB_OK | base::MB_ICONSTOP);

    EXPECT_TRUE(base::IsOwnTitle("VEXA-QUORVEX"));
    EXPECT_FALSE(base::IsOwnTitle(" Vexa-Quorvex"));
}

} // namespace

// Saving a finished DEP under the name the user chooses: the overwrite question, the extension, upper case, cancel,
// and the temporary file that never stays.
#include "base/Dialogs.h"
#include "base/Program.h"
#include "rksv/RKSVExport.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

const std::string TEMP_NAME = "PLUMOXA-DEP-01-20261201-20261231.TMP";
const std::string CONTENT = "{\n  \"Belege-Gruppe\" : [\n  ]\n}";

class SaveExportTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        base::program().DefaultDir = dir.path();
        base::program().HostProduct = "Plumoxa";
        testsupport::writeBytes(dir.file(TEMP_NAME), CONTENT);
        std::filesystem::create_directories(dir.file("Export/Monat"));
    }

    void save() { exporter.SaveExport(TEMP_NAME, "Datenerfassungsprotokoll", "JSON"); }

    testsupport::TempDir dir;
    testsupport::ProgramStateGuard state;
    testsupport::ScriptedDialogs dialogs;
    rksv::RKSVExport exporter;
};

TEST_F(SaveExportTest, NeinAsksForAnotherNameWithTheSameProposalJaOverwrites)
{
    const auto target = dir.file("Export/Monat/DEP.JSON");
    testsupport::writeBytes(target, "alt");
    dialogs.answerSaveAs(dir.file("Export/Monat/dep.json"));
    dialogs.answer(base::IDNO);
    dialogs.answerSaveAs(dir.file("Export/Monat/DEP"));
    dialogs.answer(base::IDYES);
    save();

    ASSERT_EQ(dialogs.saveAsAsked().size(), 2u);
    for (const auto& asked : dialogs.saveAsAsked()) {
        EXPECT_EQ(asked.caption, "Speichern unter ...");
        EXPECT_EQ(asked.proposedName, "PLUMOXA-DEP-01-20261201-20261231.JSON");
        EXPECT_EQ(asked.filterDescription, "Datenerfassungsprotokoll *.JSON");
        EXPECT_EQ(asked.filterPattern, "*.JSON");
        EXPECT_EQ(asked.initialDirectory, dir.path());
    }
    ASSERT_EQ(dialogs.shown().size(), 2u);
    for (const auto& question : dialogs.shown()) {
        EXPECT_EQ(question.kind, "TextBox");
        EXPECT_EQ(question.caption, "Datenerfassungsprotokoll");
        EXPECT_EQ(question.text, target + " vorhanden - überschreiben?");
        EXPECT_EQ(question.type, base::MB_YESNO | base::MB_ICONQUESTION);
    }
    EXPECT_EQ(exporter.accSaved(), target);
    EXPECT_EQ(testsupport::readBytes(target), CONTENT);
    EXPECT_FALSE(testsupport::exists(dir.file(TEMP_NAME)));
}

TEST_F(SaveExportTest, TheFileNameIsUpperCasedAndGetsTheExtensionTheFoldersKeepTheirSpelling)
{
    struct Case
    {
        std::string chosen;
        std::string saved;
    };
    const Case cases[] = {
        {"Export/Monat/dep-märz", "Export/Monat/DEP-MÄRZ.JSON"},  // no extension: ".JSON" appended
        {"Export/Monat/jänner.json", "Export/Monat/JÄNNER.JSON"}, // its own extension in any case: none added
        {"Export/Monat/dezember.txt", "Export/Monat/DEZEMBER.TXT.JSON"},
        {"Export/Monat/kasse.01.Json", "Export/Monat/KASSE.01.JSON"},
    };
    for (const auto& c : cases) {
        testsupport::writeBytes(dir.file(TEMP_NAME), CONTENT + c.chosen);
        dialogs.answerSaveAs(dir.file(c.chosen));
        save();
        EXPECT_EQ(exporter.accSaved(), dir.file(c.saved)) << c.chosen;
        EXPECT_EQ(testsupport::readBytes(dir.file(c.saved)), CONTENT + c.chosen);
        EXPECT_FALSE(testsupport::exists(dir.file(c.chosen))) << "saved under the upper-case name only";
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("Export/Monat")));
    EXPECT_FALSE(testsupport::exists(dir.file("EXPORT"))) << "folders are not upper-cased";
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_F(SaveExportTest, CancelLeavesNoFileAndTheTemporaryFileGoesInEveryCase)
{
    save(); // no answer queued: the dialog is cancelled
    EXPECT_EQ(dialogs.saveAsAsked().size(), 1u);
    EXPECT_TRUE(exporter.accSaved().empty());
    EXPECT_FALSE(testsupport::exists(dir.file(TEMP_NAME)));
    EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(dir.path()),
                            std::filesystem::recursive_directory_iterator()),
              2)
        << "only the folders Export and Export/Monat are left";

    // "Nein" and then cancel: the existing file stays as it was.
    testsupport::writeBytes(dir.file(TEMP_NAME), CONTENT);
    testsupport::writeBytes(dir.file("Export/DEP.JSON"), "alt");
    dialogs.answerSaveAs(dir.file("Export/dep.json"));
    dialogs.answer(base::IDNO);
    save();
    EXPECT_EQ(testsupport::readBytes(dir.file("Export/DEP.JSON")), "alt");
    EXPECT_TRUE(exporter.accSaved().empty());
    EXPECT_FALSE(testsupport::exists(dir.file(TEMP_NAME)));

    // A set stop flag: no dialog at all, the temporary file still goes.
    testsupport::writeBytes(dir.file(TEMP_NAME), CONTENT);
    exporter.assStop(true);
    dialogs.answerSaveAs(dir.file("Export/neu"));
    save();
    EXPECT_EQ(dialogs.saveAsAsked().size(), 3u);
    EXPECT_FALSE(testsupport::exists(dir.file("Export/NEU.JSON")));
    EXPECT_FALSE(testsupport::exists(dir.file(TEMP_NAME)));
}

TEST_F(SaveExportTest, ATargetThatCannotBeWrittenIsReportedAndAskedAgain)
{
    dialogs.answerSaveAs(dir.file("fehlt/dep"));
    dialogs.answerSaveAs(dir.file("Export/dep"));
    save();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].kind, "ErrorBox");
    EXPECT_EQ(dialogs.shown()[0].text, "Datei " + dir.file("fehlt/DEP.JSON") + " nicht gespeichert");
    EXPECT_EQ(dialogs.saveAsAsked().size(), 2u);
    EXPECT_EQ(exporter.accSaved(), dir.file("Export/DEP.JSON"));
    EXPECT_EQ(testsupport::readBytes(dir.file("Export/DEP.JSON")), CONTENT);
    EXPECT_FALSE(testsupport::exists(dir.file("fehlt")));
    EXPECT_FALSE(testsupport::exists(dir.file(TEMP_NAME)));
}

} // namespace

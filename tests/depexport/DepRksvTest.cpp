// The DEP composed by the signing component (the software signature unit through the signing service), on SQLite
// and on a private MariaDB server.
#include "app/Dialogs.h"
#include "app/Program.h"
#include "rksv/DepExport.h"
#include "rksv/SoftwareUnit.h"
#include "tests/depexport/DepFixture.h"

#include <gtest/gtest.h>

using namespace std::chrono;

namespace {

using deptest::Backend;

constexpr year_month_day FROM = year{2026} / December / 1;
constexpr year_month_day TO = year{2026} / December / 31;

class DepRksvTest : public deptest::DepFixture
{
protected:
    //! What the component itself makes of the rows of a condition with one card's certificate and chain.
    std::string componentJson(const std::string& condition, int card)
    {
        std::vector<std::string> receipts;
        for (const auto& row : rowsOf(condition)) {
            receipts.push_back(row.jws);
        }
        rksv::SoftwareUnit unit(dir.file("Karten"));
        std::string json;
        EXPECT_TRUE(unit.ExportJWS(certificate(card), chain(card), receipts, json));
        return json;
    }
};

TEST_P(DepRksvTest, WithoutAWorkingComponentNothingIsExported)
{
    storeStandardSet();
    app::program().connections.signatur = "Hardware:COM1";
    dialogs.answerSaveAs(dir.file("dep"));
    rksv::RKSVExport exporter(connection);
    exporter.DoDepExpRksv("01", FROM, TO);
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].kind, "ErrorBox");
    EXPECT_EQ(dialogs.shown()[0].text, "Export DEP nicht möglich - Init: Objekt Quorvex nicht angelegt");
    EXPECT_TRUE(dialogs.saveAsAsked().empty());
    EXPECT_EQ(exporter.accReceipts(), 0);
    EXPECT_TRUE(exporter.accSaved().empty());
}

TEST_P(DepRksvTest, TheComponentsJsonIsWhatIsSavedWithTheLastCardFound)
{
    storeStandardSet();
    // All tills: the receipts of the period of every type; the last one (02/202) was signed by the second card.
    dialogs.answerSaveAs(dir.file("alle"));
    rksv::RKSVExport all(connection);
    all.DoDepExpRksv("", FROM, TO);
    EXPECT_TRUE(dialogs.shown().empty()) << dialogs.shown().front().text;
    EXPECT_EQ(all.accReceipts(), 7);
    ASSERT_EQ(all.accSaved(), dir.file("ALLE.JSON"));
    const auto expectedAll = componentJson("DATUM BETWEEN '2026-12-01' AND '2026-12-31'", 2);
    ASSERT_FALSE(expectedAll.empty());
    EXPECT_EQ(testsupport::readBytes(all.accSaved()), expectedAll);

    // One till: its receipts of the period (not past it), in signing order; the last one (01/4 of 30.12.) was signed
    // by the second card.
    dialogs.answerSaveAs(dir.file("kasse01"));
    rksv::RKSVExport one(connection);
    one.DoDepExpRksv("01", FROM, TO);
    EXPECT_EQ(one.accReceipts(), 4);
    ASSERT_EQ(one.accSaved(), dir.file("KASSE01.JSON"));
    EXPECT_EQ(testsupport::readBytes(one.accSaved()),
              componentJson("KASSA = '01' AND DATUM BETWEEN '2026-12-01' AND '2026-12-31'", 2));

    ASSERT_EQ(dialogs.saveAsAsked().size(), 2u);
    EXPECT_EQ(dialogs.saveAsAsked()[1].proposedName, "PLUMOXA-DEP-20261201-20261231.JSON")
        << "this way the name carries no till";
    EXPECT_EQ(dialogs.saveAsAsked()[1].filterDescription, "Datenerfassungsprotokoll *.JSON");
    EXPECT_FALSE(testsupport::exists(dir.file("PLUMOXA-DEP-20261201-20261231.TMP")));
}

TEST_P(DepRksvTest, AnExportTheComponentRefusesIsReportedWithItsMessage)
{
    storeStandardSet();
    exec("UPDATE BONS SET RKSV_JWS = 'kein.jws' WHERE KASSA = '01' AND BONNR = 3");
    dialogs.answerSaveAs(dir.file("dep"));
    rksv::RKSVExport exporter(connection);
    exporter.DoDepExpRksv("01", FROM, TO);
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "Export DEP nicht möglich - ExportJws: JSON nicht exportiert");
    EXPECT_TRUE(dialogs.saveAsAsked().empty());
    EXPECT_FALSE(testsupport::exists(dir.file("PLUMOXA-DEP-20261201-20261231.TMP")));
}

TEST_P(DepRksvTest, TheStopFlagEndsTheExportWithoutAMessage)
{
    storeStandardSet();
    rksv::RKSVExport exporter(connection);
    exporter.setEventInterval(milliseconds(0));
    exporter.setProgress([&exporter](long receipts, bool) {
        if (receipts == 3) {
            exporter.assStop(true);
        }
    });
    dialogs.answerSaveAs(dir.file("dep"));
    exporter.DoDepExpRksv("", FROM, TO);
    EXPECT_EQ(exporter.accReceipts(), 3);
    EXPECT_TRUE(dialogs.shown().empty());
    EXPECT_TRUE(dialogs.saveAsAsked().empty());
    EXPECT_TRUE(exporter.accSaved().empty());
}

INSTANTIATE_TEST_SUITE_P(Backends,
                         DepRksvTest,
                         ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         deptest::backendName);

} // namespace

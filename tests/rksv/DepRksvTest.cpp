// The DEP composed by the signing component (the software signature unit through the signing service), on SQLite
// and on a private MariaDB server.
#include "base/Dialogs.h"
#include "base/Program.h"
#include "rksv/RKSVExport.h"
#include "tests/rksv/DepFixture.h"

#include <gtest/gtest.h>

using namespace std::chrono;

namespace {

using deptest::Backend;

constexpr year_month_day FROM = year{2026} / December / 1;
constexpr year_month_day TO = year{2026} / December / 31;

class DepRksvTest : public deptest::DepFixture
{
protected:
    std::string exportRksv(const std::string& kassa, year_month_day from = FROM, year_month_day to = TO)
    {
        rksv::RKSVExport exporter(connection);
        return exportDep(exporter, deptest::Way::Component, kassa, from, to);
    }
    std::vector<deptest::Group> programsGroups(const std::string& kassa, year_month_day from, year_month_day to)
    {
        rksv::RKSVExport exporter(connection);
        return deptest::groupsOf(exportDep(exporter, deptest::Way::Program, kassa, from, to));
    }
    //! The stored JWS of the receipts of a condition, in till and number order.
    std::vector<std::string> jwsOf(const std::string& condition)
    {
        std::vector<std::string> receipts;
        for (const auto& row : rowsOf(condition)) {
            receipts.push_back(row.jws);
        }
        return receipts;
    }
};

TEST_P(DepRksvTest, WithoutAWorkingComponentNothingIsExported)
{
    storeStandardSet();
    base::program().connections.signatur = "Hardware:COM1";
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

TEST_P(DepRksvTest, OneGroupPerCardRunWithTheReceiptsOfTheProgramsExport)
{
    storeStandardSet();
    // The first card's chain holds two issuers, in the form of older rows.
    connection->execute("UPDATE CARDS SET CHAIN = ? WHERE CRDID = 1",
                        {"\"Zertifizierungsstellen\":[\"" + chain(1) + ";\r\n" + chain(2) + "\"\r\n]"});
    const auto text = exportRksv("01");
    ASSERT_FALSE(text.empty()) << (dialogs.shown().empty() ? "" : dialogs.shown().front().text);
    const auto groups = deptest::groupsOf(text);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].certificate, certificate(1));
    EXPECT_EQ(groups[0].issuers, (std::vector<std::string>{chain(1), chain(2)}));
    EXPECT_EQ(groups[0].receipts, jwsOf("KASSA = '01' AND BONNR IN (2, 3)"));
    EXPECT_EQ(groups[1].certificate, certificate(2));
    EXPECT_EQ(groups[1].receipts, jwsOf("KASSA = '01' AND BONNR IN (4, 5, 6)")) << "up to the closing year receipt";

    // The same groups as the program's own export, for periods that end inside, on and after the status receipts.
    for (const auto to : {TO, year{2026} / December / 15, year{2027} / January / 3}) {
        EXPECT_EQ(deptest::groupsOf(exportRksv("01", FROM, to)), programsGroups("01", FROM, to));
    }
    ASSERT_EQ(dialogs.saveAsAsked().size(), 7u);
    EXPECT_EQ(dialogs.saveAsAsked()[0].proposedName, "PLUMOXA-DEP-20261201-20261231.JSON")
        << "this way the name carries no till";
    EXPECT_EQ(dialogs.saveAsAsked()[0].filterDescription, "Datenerfassungsprotokoll *.JSON");
    EXPECT_TRUE(dialogs.shown().empty());
}

TEST_P(DepRksvTest, AllTillsGiveEveryReceiptOfEachTillWithReceiptsInThePeriod)
{
    storeStandardSet();
    store({{"03", 1, "B", "2027-01-05", "", 1}}); // a till without receipts in the period
    rksv::RKSVExport all(connection);
    const auto groups = deptest::groupsOf(exportDep(all, deptest::Way::Component, "", FROM, TO));
    // Each till's receipts up to its status receipt after the end; a new group at every change of card.
    std::vector<std::vector<std::string>> receipts;
    for (const auto& group : groups) {
        receipts.push_back(group.receipts);
    }
    EXPECT_EQ(receipts,
              (std::vector<std::vector<std::string>>{jwsOf("KASSA = '01' AND BONNR IN (2, 101, 3)"),
                                                     jwsOf("KASSA = '01' AND BONNR IN (4, 5, 6)"),
                                                     jwsOf("KASSA = '02' AND BONNR IN (1, 201)"),
                                                     jwsOf("KASSA = '02' AND BONNR = 202")}));
    EXPECT_EQ(all.accReceipts(), 9);
}

TEST_P(DepRksvTest, ALongRunGoesToTheComponentInChunksAndStaysOneGroupPerCard)
{
    // 10 000 receipts of till 03, 400 a day from 01.12. on; the first card signs up to number 9000, the second after
    // it; a month receipt on 24.12. (number 9500) closes the period that ends on 20.12.
    ASSERT_GT(9000, 2 * rksv::RKSVExport::COMPONENT_CHUNK) << "the first card's run needs several chunks";
    exec(GetParam() == Backend::SQLite
             ? "INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS, RKSV_CRDID) "
               "WITH RECURSIVE seq(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < 10000) "
               "SELECT i, '03', date('2026-12-01', '+' || ((i - 1) / 400) || ' days'), '10:00:00', i, 'B', "
               "CASE WHEN i = 9500 THEN 'M' ELSE '' END, 'eyJhbGciOiJFUzI1NiJ9.' || printf('%08d', i) || '.AAAA', "
               "CASE WHEN i <= 9000 THEN 1 ELSE 2 END FROM seq"
             : "INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS, RKSV_CRDID) "
               "SELECT seq, '03', DATE_ADD('2026-12-01', INTERVAL (seq - 1) DIV 400 DAY), '10:00:00', seq, 'B', "
               "IF(seq = 9500, 'M', ''), CONCAT('eyJhbGciOiJFUzI1NiJ9.', LPAD(seq, 8, '0'), '.AAAA'), "
               "IF(seq <= 9000, 1, 2) FROM seq_1_to_10000");
    const year_month_day to = year{2026} / December / 20;
    const auto groups = deptest::groupsOf(exportRksv("03", FROM, to));
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].certificate, certificate(1));
    EXPECT_EQ(groups[0].receipts, jwsOf("KASSA = '03' AND BONNR <= 9000"));
    EXPECT_EQ(groups[1].certificate, certificate(2));
    EXPECT_EQ(groups[1].receipts, jwsOf("KASSA = '03' AND BONNR BETWEEN 9001 AND 9500"));
    EXPECT_EQ(groups, programsGroups("03", FROM, to));

    // A receipt the component refuses in a later chunk: nothing is saved, the temporary file is gone.
    exec("UPDATE BONS SET RKSV_JWS = 'kein.jws' WHERE BONNR = 8500");
    EXPECT_EQ(exportRksv("03", FROM, to), "");
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "Export DEP nicht möglich - ExportJws: JSON nicht exportiert");
    EXPECT_FALSE(testsupport::exists(dir.file("PLUMOXA-DEP-20261201-20261220.TMP")));
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

// The component's answer is taken apart whatever its white space and member order; anything but one group with a
// receipt list is refused.
TEST(DepAnswerGroupTest, TheAnswerIsTakenApartWhateverItsLayout)
{
    const auto group = rksv::depAnswerGroup("\r\n{ \"Belege-Gruppe\" :\r\n [ {\n  \"Belege-kompakt\" : [ \"a.b.c\" ,\n"
                                            " \"d.e.f\" ] ,\n  \"Signaturzertifikat\" : \"QU]J\\\"D\",\t"
                                            "\"Zertifizierungsstellen\" : [ \"X\" , \"Y\" ]\n } ]\n}\n");
    ASSERT_TRUE(group);
    EXPECT_EQ(deptest::groupsOf("{\"Belege-Gruppe\":[{" + group->members + ",\"Belege-kompakt\":["
                                + std::string(group->receipts) + "]}]}"),
              (std::vector<deptest::Group>{{"QU]J\"D", {"X", "Y"}, {"a.b.c", "d.e.f"}}}));
    EXPECT_EQ(rksv::depAnswerGroup("{\"Belege-Gruppe\":[{\"Belege-kompakt\":[ ]}]}")->receipts, "");
    for (const std::string refused : {"{\"Belege-Gruppe\":[{\"Belege-kompakt\":[]},{\"Belege-kompakt\":[]}]}",
                                      "{\"Belege-Gruppe\":[{\"Signaturzertifikat\":\"\"}]}",
                                      "{\"Belege-Gruppe\":[{\"Belege-kompakt\":[\"a]}]}",
                                      "{\"Belege-Gruppe\":[{\"Belege-kompakt\":[}]}]}",
                                      "{\"Belege-Gruppe\":[{\"Belege-kompakt\":[]}]} x",
                                      ""}) {
        EXPECT_FALSE(rksv::depAnswerGroup(refused)) << refused;
    }
}

INSTANTIATE_TEST_SUITE_P(Backends,
                         DepRksvTest,
                         ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         deptest::backendName);

} // namespace

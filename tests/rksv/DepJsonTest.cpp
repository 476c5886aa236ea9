// The DEP composed by the program from receipts signed by the software signature unit, on SQLite through its ODBC
// driver and on a private MariaDB server: the exact text, its groups per card, the rows it takes, and its failures.
#include "base/Program.h"
#include "rksv/RKSVExport.h"
#include "rksv/format/Encoding.h"
#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "tests/rksv/DepFixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sys/resource.h>

using namespace std::chrono;

namespace {

using deptest::Backend;

constexpr year_month_day FROM = year{2026} / December / 1;
constexpr year_month_day TO = year{2026} / December / 31;

// Dialogs that set the export's stop flag when the window has been let work `turns` times.
class StoppingDialogs : public testsupport::ScriptedDialogs
{
public:
    StoppingDialogs(rksv::RKSVExport& exporter, int turns)
        : m_exporter(exporter)
        , m_turns(turns)
    {}
    void ProcessEvents() override
    {
        if (++turns == m_turns) {
            m_exporter.assStop(true);
        }
    }
    int turns = 0;

private:
    rksv::RKSVExport& m_exporter;
    int m_turns;
};

class DepJsonTest : public deptest::DepFixture
{
protected:
    //! Exports and returns the saved file's text ("" when nothing was saved).
    std::string exportJson(rksv::RKSVExport& exporter, const std::string& kassa, year_month_day from, year_month_day to)
    {
        return exportDep(exporter, deptest::Way::Program, kassa, from, to);
    }
    std::string exportJson(const std::string& kassa, year_month_day from = FROM, year_month_day to = TO)
    {
        rksv::RKSVExport exporter(connection);
        return exportJson(exporter, kassa, from, to);
    }

    //! The exported receipts as till/number, in file order, group by group.
    std::vector<std::vector<std::string>> numbersOf(const std::string& text)
    {
        std::vector<std::vector<std::string>> groups;
        const auto numbers = numbersByJws();
        for (const auto& group : deptest::groupsOf(text)) {
            groups.emplace_back();
            for (const auto& receipt : group.receipts) {
                groups.back().push_back(numbers.contains(receipt) ? numbers.at(receipt) : "?");
            }
        }
        return groups;
    }
};

TEST_P(DepJsonTest, TwoCardsGiveTwoGroupsWithTheirOwnCertificatesInTillAndNumberOrder)
{
    storeStandardSet();
    rksv::RKSVExport exporter(connection);
    const auto text = exportJson(exporter, "01", FROM, TO);
    ASSERT_FALSE(text.empty()) << "nothing saved";

    EXPECT_EQ(text, deptest::expectedDep(rowsOf("KASSA = '01' AND TYP = 'B' AND BONNR BETWEEN 2 AND 6"), cards()));
    EXPECT_EQ(text.find('\r'), std::string::npos) << "lines end with LF alone";
    EXPECT_NE(text.back(), '\n') << "no line feed after the closing brace";
    EXPECT_EQ(exporter.accReceipts(), 5);
    EXPECT_EQ(numbersOf(text), (std::vector<std::vector<std::string>>{{"01/2", "01/3"}, {"01/4", "01/5", "01/6"}}));

    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded());
    const auto groups = parsed.at("Belege-Gruppe").get<std::vector<nlohmann::json>>();
    ASSERT_EQ(groups.size(), 2u);
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const int card = static_cast<int>(g) + 1;
        const auto signer = groups[g].at("Signaturzertifikat").get<std::string>();
        const auto issuers = groups[g].at("Zertifizierungsstellen").get<std::vector<std::string>>();
        EXPECT_EQ(signer, certificate(card));
        ASSERT_EQ(issuers.size(), 1u);
        EXPECT_EQ(issuers[0], chain(card));
        const auto own = rksv::certificateFromBase64(signer);
        const auto other = rksv::certificateFromBase64(certificate(3 - card));
        ASSERT_TRUE(own && other);
        for (const auto& receipt : groups[g].at("Belege-kompakt").get<std::vector<std::string>>()) {
            std::string why;
            EXPECT_TRUE(rksv::verifyCompactJwsWithCertificate(receipt, own.get(), &why)) << why;
            EXPECT_FALSE(rksv::verifyCompactJwsWithCertificate(receipt, other.get()))
                << "a receipt stands in the group of the card that signed it";
        }
    }

    // The name: upper case, ".JSON" appended; the save-as dialog with its caption, proposal and filter; the
    // temporary file gone.
    EXPECT_EQ(exporter.accSaved(), dir.file("ziel/DEP.JSON"));
    ASSERT_EQ(dialogs.saveAsAsked().size(), 1u);
    const auto& asked = dialogs.saveAsAsked()[0];
    EXPECT_EQ(asked.caption, "Speichern unter ...");
    EXPECT_EQ(asked.proposedName, "PLUMOXA-DEP-01-20261201-20261231.JSON");
    EXPECT_EQ(asked.filterDescription, "Datenerfassungsprotokoll *.JSON");
    EXPECT_EQ(asked.filterPattern, "*.JSON");
    EXPECT_EQ(asked.initialDirectory, dir.path());
    EXPECT_EQ(filesInDefaultDir(),
              GetParam() == Backend::SQLite ? std::vector<std::string>{"kassa.db"} : std::vector<std::string>{});
    EXPECT_TRUE(dialogs.shown().empty()) << dialogs.shown().front().text;
}

TEST_P(DepJsonTest, WithoutTillEveryTillsSignedReceiptsInGroupsOfTheirOwnWithATillItsBReceipts)
{
    storeStandardSet();
    // A row the host product never had signed is no receipt of the protocol.
    exec("INSERT INTO BONS (KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_JWS) VALUES ('03', '2026-12-05', '', 1, 'N', '')");
    for (const std::string blank : {"", "   "}) {
        const auto text = exportJson(blank);
        EXPECT_EQ(text,
                  deptest::expectedDep(rowsOf("(KASSA = '01' AND BONNR IN (2, 101, 3, 4, 5, 6)) OR (KASSA = '02' AND "
                                              "BONNR IN (1, 201, 202))"),
                                       cards()))
            << "[" << blank << "]";
        // Both tills signed with card 1 first: each till's chain stays in groups of its own.
        EXPECT_EQ(numbersOf(text),
                  (std::vector<std::vector<std::string>>{
                      {"01/2", "01/101", "01/3"}, {"01/4", "01/5", "01/6"}, {"02/1", "02/201"}, {"02/202"}}));
    }
    ASSERT_EQ(dialogs.saveAsAsked().size(), 2u);
    EXPECT_EQ(dialogs.saveAsAsked()[0].proposedName, "PLUMOXA-DEP-20261201-20261231.JSON") << "no till in the name";

    // The till id is quoted: one with a quote in it finds nothing and breaks nothing.
    EXPECT_EQ(numbersOf(exportJson(" 02 ")), (std::vector<std::vector<std::string>>{{"02/1"}}));
    EXPECT_EQ(dialogs.saveAsAsked().back().proposedName, "PLUMOXA-DEP-02-20261201-20261231.JSON");
    EXPECT_EQ(exportJson("0' OR '1'='1"), "") << "no till of that name, nothing saved";
}

TEST_P(DepJsonTest, TheExportRunsPastTheEndDateUpToAndIncludingTheStatusReceipt)
{
    storeStandardSet();
    // The month receipt of 15.12. does not end it (the next receipt is in the period); the year receipt on 01.01.
    // does, and the receipt after it is left out.
    EXPECT_EQ(numbersOf(exportJson("01", FROM, TO)),
              (std::vector<std::vector<std::string>>{{"01/2", "01/3"}, {"01/4", "01/5", "01/6"}}));
    // A period that ends on the month receipt's day: it is followed by a receipt after the end, so it closes.
    EXPECT_EQ(numbersOf(exportJson("01", FROM, year{2026} / December / 15)),
              (std::vector<std::vector<std::string>>{{"01/2", "01/3"}}));
    // A period that holds them all.
    EXPECT_EQ(numbersOf(exportJson("01", FROM, year{2027} / January / 3)),
              (std::vector<std::vector<std::string>>{{"01/2", "01/3"}, {"01/4", "01/5", "01/6", "01/7", "01/8"}}));
    // Without a status receipt after the end, everything from the start date on.
    exec("UPDATE BONS SET RKSV_TYP = '' WHERE KASSA = '01'");
    EXPECT_EQ(numbersOf(exportJson("01", FROM, year{2026} / December / 2)),
              (std::vector<std::vector<std::string>>{{"01/2", "01/3"}, {"01/4", "01/5", "01/6", "01/7", "01/8"}}));
}

TEST_P(DepJsonTest, ReceiptsBeyondOneReadKeepTillDateNumberAndIdOrder)
{
    // 10 000 receipts of two tills; 15 receipts of a till share each number (numbers start again every year) and
    // the card changes every 400 ids, so reads continue inside a run of equal numbers and across groups. Some 4 500
    // receipts of each till fall on one day (more than one read), 150 on a day 900 days later, and the rest one a
    // day after another gap of years, so reads cross full days and long empty periods.
    exec(GetParam() == Backend::SQLite
             ? "INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_JWS, RKSV_CRDID) "
               "WITH RECURSIVE seq(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < 10000) "
               "SELECT i, CASE WHEN i % 2 = 1 THEN '03' ELSE '04' END, date('2026-12-10', '+' || (CASE WHEN i < 9000 "
               "THEN 0 WHEN i < 9300 THEN 900 ELSE 1800 + i END) || ' days'), '10:00:00', i / 30, 'N', "
               "'jws-' || i, 1 + (i / 400) % 2 FROM seq"
             : "INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_JWS, RKSV_CRDID) "
               "SELECT seq, IF(seq % 2 = 1, '03', '04'), DATE_ADD('2026-12-10', INTERVAL CASE WHEN seq < 9000 THEN 0 "
               "WHEN seq < 9300 THEN 900 ELSE 1800 + seq END DAY), '10:00:00', seq DIV 30, 'N', "
               "CONCAT('jws-', seq), 1 + (seq DIV 400) % 2 FROM seq_1_to_10000");
    rksv::RKSVExport all(connection);
    EXPECT_EQ(exportJson(all, "", FROM, TO), deptest::expectedDep(rowsOf("TYP = 'N'"), cards()));
    EXPECT_EQ(all.accReceipts(), 10000);

    exec("UPDATE BONS SET TYP = 'B' WHERE KASSA = '04'");
    rksv::RKSVExport one(connection);
    EXPECT_EQ(exportJson(one, "04", FROM, TO), deptest::expectedDep(rowsOf("KASSA = '04'"), cards()));
    EXPECT_EQ(one.accReceipts(), 5000);
}

TEST_P(DepJsonTest, EachIssuingCertificateIsAnEntryOfItsOwnWhateverTheStoredForm)
{
    storeStandardSet();
    const auto first = chain(1);
    const auto second = chain(2);
    const std::vector<std::pair<std::string, std::vector<std::string>>> forms{
        {first + ";" + second, {first, second}},
        {"\"Zertifizierungsstellen\":[\"" + first + ";" + second + "\"\r\n]", {first, second}},
        {"\"Zertifizierungsstellen\" : [\"" + first + "\",\r\n\"" + second + "\"\r\n]", {first, second}},
        {" " + first.substr(0, 64) + "\r\n" + first.substr(64) + " ;\r\n" + second + ";\n", {first, second}},
        {"", {}},
        {" \r\n", {}},
    };
    for (const auto& [stored, issuers] : forms) {
        connection->execute("UPDATE CARDS SET CHAIN = ? WHERE CRDID = 1", {stored});
        const auto groups = deptest::groupsOf(exportJson("01"));
        ASSERT_EQ(groups.size(), 2u) << stored;
        EXPECT_EQ(groups[0].issuers, issuers) << stored;
        EXPECT_EQ(groups[1].issuers, std::vector<std::string>{second}) << "the other card keeps its own";
    }
}

TEST_P(DepJsonTest, NofullShortensTheCertificateAndEachIssuingCertificate)
{
    storeStandardSet();
    exec("UPDATE CARDS SET CHAIN = '' WHERE CRDID = 2");
    connection->execute("UPDATE CARDS SET CHAIN = ? WHERE CRDID = 1", {chain(1) + ";" + chain(2)});
    testsupport::writeBytes(dir.file("NoFull"), ""); // found whatever its spelling
    const auto text = exportJson("01");
    EXPECT_EQ(text,
              deptest::expectedDep(rowsOf("KASSA = '01' AND TYP = 'B' AND BONNR BETWEEN 2 AND 6"), cards(), true));
    const auto groups = deptest::groupsOf(text);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].certificate, certificate(1).substr(0, 40) + "...");
    EXPECT_EQ(groups[0].issuers,
              (std::vector<std::string>{chain(1).substr(0, 60) + "...", chain(2).substr(0, 60) + "..."}));
    EXPECT_EQ(groups[1].issuers, std::vector<std::string>{}) << "no issuer, nothing to shorten";
}

TEST_P(DepJsonTest, AMissingCardLeavesCertificateAndChainEmpty)
{
    // A first receipt without a card id, one whose card is not registered, then a registered one.
    store({{"01", 1, "B", "2026-12-01", "", 0},
           {"01", 2, "B", "2026-12-02", "", 9},
           {"01", 3, "B", "2026-12-03", "", 2}});
    const auto text = exportJson("01");
    EXPECT_EQ(text, deptest::expectedDep(rowsOf("KASSA = '01'"), cards()));
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << text;
    const auto groups = parsed.at("Belege-Gruppe").get<std::vector<nlohmann::json>>();
    ASSERT_EQ(groups.size(), 3u);
    for (std::size_t g : {0u, 1u}) {
        EXPECT_EQ(groups[g].at("Signaturzertifikat").get<std::string>(), "");
        EXPECT_TRUE(groups[g].at("Zertifizierungsstellen").is_array());
        EXPECT_TRUE(groups[g].at("Zertifizierungsstellen").empty());
        EXPECT_EQ(groups[g].at("Belege-kompakt").get<std::vector<std::string>>().size(), 1u);
    }
    EXPECT_EQ(groups[2].at("Signaturzertifikat").get<std::string>(), certificate(2));
}

TEST_P(DepJsonTest, NoMatchingReceiptsSaySoAndSaveNothing)
{
    storeStandardSet();
    for (const auto& [kassa, whose] :
         {std::pair<std::string, std::string>{"01", "der Kassa 01"}, {"", "einer Kassa"}, {"99", "der Kassa 99"}}) {
        for (const auto way : {deptest::Way::Program, deptest::Way::Component}) {
            rksv::RKSVExport exporter(connection);
            EXPECT_EQ(exportDep(exporter, way, kassa, year{2027} / February / 1, year{2027} / February / 28), "");
            EXPECT_EQ(exporter.accSaved(), "");
            ASSERT_FALSE(dialogs.shown().empty()) << kassa;
            EXPECT_EQ(dialogs.shown().back().text,
                      "Export DEP nicht möglich - keine signierten Belege " + whose
                          + " vom 01.02.2027 bis 28.02.2027 gefunden, nichts gespeichert");
        }
    }
    EXPECT_TRUE(dialogs.saveAsAsked().empty());
    for (const auto& file : filesInDefaultDir()) {
        EXPECT_FALSE(file.ends_with(".TMP")) << file << " left behind";
    }
}

TEST_P(DepJsonTest, NulCharactersAreLeftOutOfReceiptsCertificatesAndChains)
{
    storeStandardSet();
    const std::string nul = GetParam() == Backend::SQLite ? "char(0)" : "CHAR(0)";
    const auto append = [&](const std::string& column) {
        return GetParam() == Backend::SQLite ? column + " = " + column + " || " + nul
                                             : column + " = CONCAT(" + column + ", " + nul + ")";
    };
    const auto before = rowsOf("KASSA = '01' AND TYP = 'B' AND BONNR BETWEEN 2 AND 6");
    const auto cardsBefore = cards();
    exec("UPDATE BONS SET " + append("RKSV_JWS") + " WHERE KASSA = '01' AND BONNR = 3");
    exec("UPDATE CARDS SET " + append("CHAIN") + ", " + append("BASE64") + " WHERE CRDID = 2");
    const std::string bytes = GetParam() == Backend::SQLite ? "LENGTH(CAST(RKSV_JWS AS BLOB))" : "LENGTH(RKSV_JWS)";
    ASSERT_EQ(query("SELECT " + bytes + " FROM BONS WHERE KASSA = '01' AND BONNR = 3").at(0).at(0),
              std::to_string(before.at(1).jws.size() + 1))
        << "the NUL character is stored";

    const auto text = exportJson("01");
    EXPECT_EQ(text.find('\0'), std::string::npos);
    EXPECT_EQ(text, deptest::expectedDep(before, cardsBefore));

    // A stored value that is no JWS at all cannot break the JSON either.
    connection->execute("UPDATE BONS SET RKSV_JWS = ? WHERE KASSA = '01' AND BONNR = 4",
                        {std::string("kein \"JWS\" \\ nur Text")});
    const auto parsed = nlohmann::json::parse(exportJson("01"), nullptr, false);
    ASSERT_FALSE(parsed.is_discarded());
    EXPECT_EQ(parsed.at("Belege-Gruppe").at(1).at("Belege-kompakt").at(0).get<std::string>(),
              "kein \"JWS\" \\ nur Text");
}

TEST_P(DepJsonTest, TheStopFlagEndsTheExportAndLeavesNoFile)
{
    storeStandardSet();
    rksv::RKSVExport exporter(connection);
    exporter.setEventInterval(milliseconds(0));
    StoppingDialogs stopping(exporter, 2);
    stopping.answerSaveAs(dir.file("dep"));
    exporter.DoDepExpJson("01", FROM, TO);
    EXPECT_EQ(stopping.turns, 3) << "the loop ends at the flag; the window works once more at the end";
    EXPECT_EQ(exporter.accReceipts(), 2);
    EXPECT_TRUE(exporter.accSaved().empty());
    EXPECT_TRUE(stopping.saveAsAsked().empty());
    EXPECT_FALSE(testsupport::exists(dir.file("DEP.JSON")));
    EXPECT_FALSE(testsupport::exists(dir.file("PLUMOXA-DEP-01-20261201-20261231.TMP")));

    // A flag set before the start: nothing is read.
    rksv::RKSVExport stopped(connection);
    stopped.assStop(true);
    stopped.DoDepExpJson("01", FROM, TO);
    EXPECT_EQ(stopped.accReceipts(), 0);
    EXPECT_TRUE(stopping.saveAsAsked().empty());
}

TEST_P(DepJsonTest, TheWindowWorksWhileReceiptsAreReadAndTheProgressIsReported)
{
    storeStandardSet();
    rksv::RKSVExport exporter; // the program-wide connection
    exporter.setEventInterval(milliseconds(0));
    std::vector<std::pair<long, bool>> reports;
    exporter.setProgress([&reports](long receipts, bool finished) { reports.emplace_back(receipts, finished); });
    StoppingDialogs counting(exporter, 1000);
    counting.answerSaveAs(dir.file("dep"));
    exporter.DoDepExpJson("01", FROM, TO);
    EXPECT_EQ(
        reports,
        (std::vector<std::pair<long, bool>>{{1, false}, {2, false}, {3, false}, {4, false}, {5, false}, {5, true}}));
    EXPECT_EQ(counting.turns, 6);
    EXPECT_EQ(exporter.accSaved(), dir.file("DEP.JSON"));

    // With the usual interval the window works at least once: at the end.
    rksv::RKSVExport usual(connection);
    EXPECT_EQ(usual.eventInterval(), milliseconds(20));
    StoppingDialogs few(usual, 1000);
    usual.DoDepExpJson("01", FROM, TO);
    EXPECT_GE(few.turns, 1);
}

TEST_P(DepJsonTest, AFailedTemporaryFileIsReportedAndLeavesNothingBehind)
{
    storeStandardSet();
    const auto tempPath = dir.file("PLUMOXA-DEP-01-20261201-20261231.TMP");
    // The temporary file cannot be made: a folder has its name.
    std::filesystem::create_directory(tempPath);
    EXPECT_EQ(exportJson("01"), "");
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].kind, "ErrorBox");
    EXPECT_EQ(dialogs.shown()[0].text, "Export DEP nicht möglich - Datei " + tempPath + " nicht geschrieben");
    EXPECT_TRUE(dialogs.saveAsAsked().empty());
    std::filesystem::remove(tempPath);

    // The file cannot be written to its end: the process may write no file beyond 1 KiB. The signal that limit
    // sends ends the process unless the export takes care.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_DFL);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    rksv::RKSVExport exporter(connection);
    exporter.DoDepExpJson("01", FROM, TO);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(exporter.accReceipts(), 5);
    EXPECT_TRUE(exporter.accSaved().empty());
    ASSERT_EQ(dialogs.shown().size(), 2u);
    EXPECT_EQ(dialogs.shown()[1].text, "Export DEP nicht möglich - Datei " + tempPath + " nicht geschrieben");
    EXPECT_TRUE(dialogs.saveAsAsked().empty()) << "a failed file is not offered for saving";
    EXPECT_FALSE(testsupport::exists(tempPath));
}

INSTANTIATE_TEST_SUITE_P(Backends,
                         DepJsonTest,
                         ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         deptest::backendName);

} // namespace

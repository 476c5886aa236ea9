// The receipt picker listing a day of 1 000, 20 000 and 100 000 receipts among 100 000 stored (SQLite through its ODBC
// driver, offscreen window) against a bare SELECT ... ORDER BY BONNR into a tree widget; and the longest time between
// two moments the window could react (a stall the user would see).
//
//   build-test/bench/picker_bench
#include "base/Clock.h"
#include "base/Dialogs.h"
#include "base/Program.h"
#include "bench/RatioReporter.h"
#include "db/Database.h"
#include "db/Odbc.h"
#include "db/gui/DlgBondruck.h"
#include "tests/support/Databases.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QTreeWidget>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>

using namespace std::chrono;

namespace {

// Measures the gaps between the picker's "let the window work" calls, and lets the window work.
class GapDialogs : public base::Dialogs
{
public:
    void ErrorBox(const std::string&) override {}
    void InfoBox(const std::string&, const std::string&) override {}
    int TextBox(const std::string&, const std::string&, unsigned) override { return 0; }
    int BigBox(base::BigBoxKind, const std::string&, const std::string&) override { return 0; }
    void SetWaitCursor(bool) override {}
    void ProcessEvents() override
    {
        const auto now = steady_clock::now();
        longest = std::max(longest, now - last);
        last = now;
        QApplication::processEvents();
    }
    void ShellOpen(const std::string&) override {}
    void ShowHelp(const std::string&, const std::string&) override {}
    void ShowXml(const std::string&, const std::string&) override {}
    std::string ClipboardText() override { return {}; }
    std::string
    SaveAs(const std::string&, const std::string&, const std::string&, const std::string&, const std::string&) override
    {
        return {};
    }
    std::string OpenFile(const std::string&, const std::string&, const std::string&, const std::string&) override
    {
        return {};
    }

    steady_clock::time_point last = steady_clock::now();
    steady_clock::duration longest{};
};

GapDialogs gaps;

// One database per size: 100 000 receipts, `n` of them on the listed day, the rest on the days before.
std::map<long, std::string> databases;
constexpr long STORED = 100000;

void useDatabase(long n)
{
    db::setProgramConnection(nullptr);
    base::program().connections.datenbank = databases.at(n);
    db::openProgramConnection();
}

void BM_Picker(benchmark::State& state)
{
    useDatabase(state.range(0));
    for (auto _ : state) {
        // The listing is timed, not the making of the window around it.
        state.PauseTiming();
        auto picker = std::make_unique<db::gui::DlgBondruck>(nullptr, db::gui::JwsConverter{});
        state.ResumeTiming();
        gaps.last = steady_clock::now();
        picker->Setup("01");
        state.PauseTiming();
        picker.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The anchor: the day's receipts read by one query in number order into a tree widget of the same columns.
void BM_BareSelect(benchmark::State& state)
{
    useDatabase(state.range(0));
    for (auto _ : state) {
        QTreeWidget list;
        list.setColumnCount(5);
        db::Statement statement(*db::programConnection());
        statement.execute("SELECT * FROM BONS WHERE DATUM = '2026-12-07' ORDER BY BONNR");
        while (statement.fetch()) {
            auto* item = new QTreeWidgetItem;
            for (int column = 0; column < 5; ++column) {
                item->setText(column, QString::fromStdString(statement.get(column + 1).value_or("")));
            }
            list.addTopLevelItem(item);
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_Picker)->Arg(1000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(3);
BENCHMARK(BM_BareSelect)
    ->Arg(1000)
    ->Arg(20000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->Repetitions(3);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    testsupport::TempDir dir;
    for (const long n : {1000L, 20000L, 100000L}) {
        const auto file = dir.file("kassa" + std::to_string(n) + ".db");
        testsupport::createSqliteDatabase(file);
        const auto connection = testsupport::sqliteConnectionString(file);
        // Receipt i > STORED - n is on the listed day; the others on one of the 200 days before.
        testsupport::execSql(connection,
                             "INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_NORMAL) "
                             "WITH RECURSIVE seq(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < "
                                 + std::to_string(STORED) + ") SELECT i, '01', CASE WHEN i > "
                                 + std::to_string(STORED - n)
                                 + " THEN '2026-12-07' ELSE date('2026-12-07', '-' || (1 + i % 200) || ' days') "
                                   "END, printf('%02d:%02d:%02d', 6 + (i / 3600) % 12, (i / 60) % 60, i % 60), i, "
                                   "'B', 12.5 FROM seq");
        const auto day = testsupport::querySql(connection, "SELECT COUNT(*) FROM BONS WHERE DATUM = '2026-12-07'");
        std::cout << n << ": " << (day.empty() || day[0].empty() ? std::string("?") : day[0][0])
                  << " receipts on the listed day\n";
        databases[n] = connection;
    }
    base::program().HostProduct = "PLUMOXA"; // every till of the day in number order
    base::setClock([] { return base::LocalDateTime{year{2026} / December / 7, hh_mm_ss<seconds>(12h)}; });
    base::setDialogs(&gaps);

    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* n : {"1000", "20000", "100000"}) {
        reporter.printRatio(std::string("picker / bare SELECT ... ORDER BY BONNR into a tree widget, ") + n
                                + " receipts on the day",
                            std::string("BM_Picker/") + n,
                            std::string("BM_BareSelect/") + n);
        reporter.printCpuRatio(std::string("the same, CPU time, ") + n + " receipts on the day",
                               std::string("BM_Picker/") + n,
                               std::string("BM_BareSelect/") + n);
    }
    std::cout << "longest time without reacting while listing: "
              << duration_cast<microseconds>(gaps.longest).count() / 1000.0 << " ms\n";
    benchmark::Shutdown();
    base::setDialogs(nullptr);
    db::setProgramConnection(nullptr);
    return 0;
}

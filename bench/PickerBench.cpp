// The receipt picker listing a day of 5 000 receipts (SQLite through its ODBC driver, offscreen window): the time
// to list the day, and the longest time between two moments the window could react (a stall the user would see).
//
//   build-test/bench/picker_bench
#include "base/Clock.h"
#include "base/Dialogs.h"
#include "base/Program.h"
#include "db/Database.h"
#include "db/gui/DlgBondruck.h"
#include "tests/support/Databases.h"
#include "tests/support/TempDir.h"

#include <QApplication>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <iostream>

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

void BM_ListADayOf5000Receipts(benchmark::State& state)
{
    for (auto _ : state) {
        db::gui::DlgBondruck picker(nullptr, {});
        gaps.last = steady_clock::now();
        picker.Setup("01");
    }
}

BENCHMARK(BM_ListADayOf5000Receipts)->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(3);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    testsupport::TempDir dir;
    const auto file = dir.file("kassa.db");
    testsupport::createSqliteDatabase(file);
    const auto connection = testsupport::sqliteConnectionString(file);
    testsupport::execSql(connection,
                         "INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_NORMAL) "
                         "WITH RECURSIVE seq(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < 5000) "
                         "SELECT i, '01', '2026-12-07', printf('%02d:%02d:%02d', 6 + i / 360, (i / 6) % 60, i % 60), "
                         "i, 'B', 12.5 FROM seq");
    base::program().connections.datenbank = connection;
    db::openProgramConnection();
    base::setClock([] { return base::LocalDateTime{year{2026} / December / 7, hh_mm_ss<seconds>(12h)}; });
    base::setDialogs(&gaps);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::cout << "longest time without reacting while listing: "
              << duration_cast<microseconds>(gaps.longest).count() / 1000.0 << " ms\n";
    benchmark::Shutdown();
    base::setDialogs(nullptr);
    db::setProgramConnection(nullptr);
    return 0;
}

// Start-up to the first shown main window: the real program against a minimal Qt Widgets program, both started as
// processes under one private Xvfb and timed until the X server maps their main window.
//
// A third program, the minimal one showing one line of text, tells how much of the difference is the cost of any
// text at all (font configuration, font list, the first font and shaping plan).
//
//   build/bench/startup_bench            (prints the medians and the ratios)
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"
#include "tests/support/TempDir.h"
#include "tests/support/X11Session.h"

#include <benchmark/benchmark.h>
#include <iostream>
#include <map>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

testsupport::Xvfb* xvfb = nullptr;

void timeToWindow(benchmark::State& state, const std::vector<std::string>& program, const std::string& titlePrefix)
{
    const testsupport::TempDir dir;
    // Login data for the default company, so that no message box stands between start-up and work.
    testsupport::writeBytes(dir.file("01QUORVEX.INI"),
                            "[QUORVEX]\r\nVersion=1.0\r\nTid=123456789012\r\nBenid=WEBUSER01\r\nPin=geheim123\r\n"
                            "Uidnr=ATU12345678\r\n");
    const std::vector<std::string> env{"DISPLAY=" + xvfb->display(), "QT_QPA_PLATFORM", "LC_ALL=C.UTF-8"};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        testsupport::Process process(program, env, dir.path());
        const auto window = testsupport::waitForWindow(
            xvfb->display(), [&](const std::string& t) { return t.starts_with(titlePrefix); }, 30s);
        const auto shown = std::chrono::steady_clock::now();
        if (!window) {
            state.SkipWithError("no window");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(shown - start).count());
        for (int attempt = 0; attempt < 100 && process.running(); ++attempt) {
            testsupport::closeWindow(xvfb->display(), window->id);
            process.wait(100ms);
        }
    }
}

void BM_StartupVexaQuorvex(benchmark::State& state)
{
    timeToWindow(state, {PROGRAM_PATH}, "Vexa-Quorvex: FON WebClient");
}

void BM_StartupMinimalQt(benchmark::State& state)
{
    timeToWindow(state, {MINIMAL_PATH}, "Minimal Qt");
}

void BM_StartupMinimalQtWithText(benchmark::State& state)
{
    timeToWindow(state, {MINIMAL_PATH, "Vexa-Quorvex: FON WebClient"}, "Minimal Qt");
}

BENCHMARK(BM_StartupMinimalQt)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(15);
BENCHMARK(BM_StartupMinimalQtWithText)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(15);
BENCHMARK(BM_StartupVexaQuorvex)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(15);

// Keeps the medians to print their ratio at the end.

} // namespace

int main(int argc, char** argv)
{
    testsupport::Xvfb server;
    if (server.display().empty()) {
        std::cerr << "Xvfb could not be started\n";
        return 1;
    }
    xvfb = &server;
    bench::initializeInTurns(argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio(
        "median start-up, Vexa-Quorvex / minimal Qt program", "BM_StartupVexaQuorvex", "BM_StartupMinimalQt");
    reporter.printRatio("median start-up, minimal Qt program with one line of text / without",
                        "BM_StartupMinimalQtWithText",
                        "BM_StartupMinimalQt");
    reporter.printRatio("median start-up, Vexa-Quorvex / minimal Qt program with one line of text",
                        "BM_StartupVexaQuorvex",
                        "BM_StartupMinimalQtWithText");
    benchmark::Shutdown();
    return 0;
}

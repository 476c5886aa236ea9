// The demo-data generator filling an empty database with its receipts, customers and payments, run as a program as
// users run it: SQLite through its ODBC driver, and MariaDB on a private server through MariaDB Connector/ODBC. Each
// run gets a fresh database with the tables already made, and only the program's run is timed. Prints receipts per
// second and the program's processor time. Given another build of the program, runs both and prints the ratios of
// their medians (this build / the other), so that a change to the generator or its database access is measured side by
// side on the same machine.
//
//   build/bench/demodata_bench                       100 000 receipts, five runs each
//   build/bench/demodata_bench --receipts=1000000 --against=<another build's quorvex-demodata>
//       --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true   (mixes the runs of both programs)
#include "bench/RatioReporter.h"
#include "tests/support/Databases.h"
#include "tests/support/TempDir.h"

#include <array>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <utility>
#include <vector>

#ifndef DEMODATA_PATH
#error "DEMODATA_PATH must name the quorvex-demodata program"
#endif

namespace {

long receipts = 100000;
testsupport::TempDir* folder = nullptr;
testsupport::MariaDbServer* server = nullptr;

// A fresh database with the tables and nothing in them; `drop` removes it again.
struct EmptyDatabase
{
    std::string connection;
    std::string drop;
};

EmptyDatabase emptyDatabase(const std::string& kind)
{
    static int made = 0;
    const std::string name = "demo" + std::to_string(++made);
    if (kind == "sqlite") {
        const std::string file = folder->file(name + ".db");
        testsupport::createSqliteDatabase(file);
        return {testsupport::sqliteConnectionString(file), file};
    }
    return {server->createDatabase(name), "DROP DATABASE " + name};
}

void dropDatabase(const std::string& kind, const EmptyDatabase& database)
{
    if (kind == "sqlite") {
        std::remove(database.drop.c_str());
    } else {
        testsupport::execSql(server->connectionString(""), database.drop);
    }
}

std::string shellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Runs the program to its end with its output collected; true when it ended with exit code 0.
bool run(const std::vector<std::string>& args, std::string& output)
{
    std::string command;
    for (const auto& arg : args) {
        command += shellQuoted(arg) + " ";
    }
    FILE* pipe = ::popen((command + "2>&1").c_str(), "r");
    if (pipe == nullptr) {
        output = "popen failed";
        return false;
    }
    std::array<char, 4096> buffer{};
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        output.append(buffer.data(), got);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// User and system time of the ended child processes waited for so far, theirs included.
double childrensCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void fill(benchmark::State& state, const std::string& program, const std::string& kind)
{
    for (auto _ : state) {
        const EmptyDatabase database = emptyDatabase(kind);
        std::string output;
        const double cpuBefore = childrensCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = run(
            {program, "--connection", database.connection, "--receipts", std::to_string(receipts), "--year", "2026"},
            output);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        dropDatabase(kind, database);
        if (!ok) {
            state.SkipWithError(("the program failed: " + output).c_str());
            break;
        }
        state.SetIterationTime(took.count());
        state.counters["receipts/s"] = static_cast<double>(receipts) / took.count();
        // The program's own processor time: steadier than the wall clock on a busy machine, though without the
        // work of the MariaDB server.
        state.counters["program_cpu_s"] = childrensCpuSeconds() - cpuBefore;
    }
}

// Also keeps the median of the program's processor time, for a second ratio.
class Reporter : public bench::RatioReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs) {
            const auto cpu = run.counters.find("program_cpu_s");
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" && cpu != run.counters.end()) {
                m_cpu[run.run_name.function_name] = cpu->second.value;
            }
        }
        RatioReporter::ReportRuns(runs);
    }

    void printCpuRatio(const std::string& label, const std::string& a, const std::string& b) const
    {
        if (m_cpu.count(a) && m_cpu.count(b)) {
            std::cout << label << ": " << m_cpu.at(a) / m_cpu.at(b) << '\n';
        }
    }

private:
    std::map<std::string, double> m_cpu;
};

// Takes "--name=value" out of the arguments; empty when it is not there.
std::string option(int& argc, char** argv, const std::string& name)
{
    const std::string prefix = "--" + name + "=";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with(prefix)) {
            for (int j = i; j + 1 < argc; ++j) {
                argv[j] = argv[j + 1];
            }
            --argc;
            return arg.substr(prefix.size());
        }
    }
    return {};
}

} // namespace

int main(int argc, char** argv)
{
    if (const auto count = option(argc, argv, "receipts"); !count.empty()) {
        receipts = std::stol(count);
    }
    const std::string against = option(argc, argv, "against");
    testsupport::TempDir dir;
    folder = &dir;
    testsupport::MariaDbServer mariadb;
    server = &mariadb;

    std::vector<std::pair<std::string, std::string>> programs = {{"this", DEMODATA_PATH}};
    if (!against.empty()) {
        programs.emplace_back("other", against);
    }
    const std::string size = std::to_string(receipts);
    for (const char* kind : {"sqlite", "mariadb"}) {
        for (const auto& [label, program] : programs) {
            benchmark::RegisterBenchmark(
                ("DemoData/" + std::string(kind) + "-" + size + "/" + label).c_str(), fill, program, std::string(kind))
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(1);
        }
    }
    // Five runs of each unless --benchmark_repetitions says otherwise.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    args.insert(args.begin() + 1, repetitions.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* kind : {"sqlite", "mariadb"}) {
        const std::string name = "DemoData/" + std::string(kind) + "-" + size;
        reporter.printRatio(name + ", time, this build / " + against, name + "/this", name + "/other");
        reporter.printCpuRatio(
            name + ", program's processor time, this build / " + against, name + "/this", name + "/other");
    }
    benchmark::Shutdown();
    return 0;
}

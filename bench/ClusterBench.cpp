// Receipts per second of 10 tills × 4 stations at once (40 processes, each with its own connection, 25 receipts each)
// on one MariaDB server and on a three-node Galera cluster (each till's stations spread over the nodes), side by side
// in one run; and the steps repeated after a conflict per 1 000 receipts on each.
//
//   build/bench/cluster_bench          (the two benchmarks' repetitions run interleaved)
#include "base/Program.h"
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"
#include "db/Odbc.h"
#include "rksv/Rksv.h"
#include "rksv/units/SoftwareUnit.h"
#include "tests/support/Databases.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int TILLS = 10;
constexpr int STATIONS = 4;
constexpr int EACH = 25;
const std::string PIN = "123456";

std::string folder;
std::string serial;

std::string tillName(int till)
{
    return (till < 9 ? "0" : "") + std::to_string(till + 1);
}

// The card registered for every till of the database.
bool registerTills(const std::string& connectionString)
{
    rksv::RKSV service(nullptr);
    service.setConnection(std::make_shared<db::Connection>(connectionString));
    for (int till = 0; till < TILLS; ++till) {
        if (!service.MySernrExists(serial, PIN, tillName(till))) {
            std::cerr << "Karte nicht registriert: " << service.accMsgFirst() << '\n';
            return false;
        }
    }
    return true;
}

// One round: every station of every till signs its receipts; `serversOf(station)` lists the servers it may use.
void stations(benchmark::State& state,
              const std::string& first,
              const std::function<std::string(int station)>& serversOf)
{
    long repeats = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            db::Connection connection(first);
            connection.execute("DELETE FROM BONS");
            connection.execute("DELETE FROM NUMMERNKREISE");
        }
        state.ResumeTiming();
        std::vector<std::unique_ptr<testsupport::Process>> workers;
        for (int till = 0; till < TILLS; ++till) {
            for (int station = 0; station < STATIONS; ++station) {
                workers.push_back(
                    std::make_unique<testsupport::Process>(std::vector<std::string>{test_paths::SIGNALL_WORKER,
                                                                                    serversOf(station),
                                                                                    folder,
                                                                                    serial,
                                                                                    std::to_string(EACH),
                                                                                    tillName(till)},
                                                           std::vector<std::string>{"TMPDIR=" + folder}));
            }
        }
        for (auto& worker : workers) {
            if (worker->wait(600s) != std::optional<int>(0)) {
                state.SkipWithError(("a station failed: " + worker->standardError()).c_str());
                return;
            }
            const auto out = worker->standardOutput();
            if (const auto at = out.find("Wiederholungen: "); at != std::string::npos) {
                repeats += std::stol(out.substr(at + 16));
            }
        }
    }
    const long receipts = static_cast<long>(state.iterations()) * TILLS * STATIONS * EACH;
    state.SetItemsProcessed(receipts);
    state.counters["repeats_per_1000"] = 1000.0 * static_cast<double>(repeats) / static_cast<double>(receipts);
}

} // namespace

int main(int argc, char** argv)
{
    bench::initializeInTurns(argc, argv);
    testsupport::TempDir dir;
    folder = dir.path();
    ::setenv("TMPDIR", folder.c_str(), 1); // the QR images
    std::string error;
    if (!rksv::createTestCard(dir.file("Karten"), "Leser 1", PIN, "", "", serial, error)) {
        std::cerr << error << '\n';
        return 1;
    }
    auto& p = base::program();
    p.DefaultDir = folder + "/";
    p.HostProduct = "DRAVELIN";
    p.CompanyNumber = "0001";
    p.connections.signatur = "Software:" + dir.file("Karten");

    testsupport::MariaDbServer server;
    std::unique_ptr<testsupport::GaleraCluster> cluster;
    try {
        cluster = std::make_unique<testsupport::GaleraCluster>(3);
    } catch (const std::exception& failure) {
        std::cerr << "Kein Galera-Cluster: " << failure.what() << '\n';
        return 1;
    }
    const auto single = server.createDatabase("kassa");
    const auto clustered = cluster->createDatabase("kassa");
    if (!registerTills(single) || !registerTills(clustered)) {
        return 1;
    }
    benchmark::RegisterBenchmark("Stations/OneServer",
                                 [&](benchmark::State& state) { stations(state, single, [&](int) { return single; }); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1)
        ->Repetitions(3);
    benchmark::RegisterBenchmark("Stations/Cluster",
                                 [&](benchmark::State& state) {
                                     stations(state, clustered, [&](int station) {
                                         std::string servers;
                                         for (int n = 0; n < cluster->size(); ++n) {
                                             servers += (n == 0 ? "" : "|")
                                                        + cluster->connectionString((station + n) % 3, "kassa");
                                         }
                                         return servers;
                                     });
                                 })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1)
        ->Repetitions(3);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("cluster rate / one-server rate (time of one server / time of the cluster)",
                        "Stations/OneServer",
                        "Stations/Cluster");
    benchmark::Shutdown();
    return 0;
}

// One submission (login, one notification, logout) against the local FinanzOnline test service, against the same
// three POSTs sent by the curl command line over one connection (--next). Both over real TLS on loopback.
//
//   build-test/bench/submission_bench      (prints both medians and their ratio)
#include "base/Program.h"
#include "bench/RatioReporter.h"
#include "fonws/WebRegKasseAT.h"
#include "tests/support/FonTestService.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>
#include <iostream>
#include <map>

using namespace std::chrono_literals;

namespace {

const std::string HOST = "finanzonline.bmf.gv.at";
const std::string KEY = "uW4h0LsV7V1mZ9q3bY2cT6xN8pR5kD1fG0jH3sA7eQ8=";
testsupport::FonTestService* service = nullptr;
testsupport::TempDir* files = nullptr;

//! One submission; false, with the step and its answer in `failure`, unless login, notification and logout all
//! answer "0".
bool submitOnce(std::string& failure)
{
    fonws::WebRegKasseAT client("123456789012", "WEBUSER01", "geheim123", "ATU12345678");
    const auto refused = [&failure](const char* step, const fonws::AnswerPair& answer) {
        if (answer.code == "0") {
            return false;
        }
        failure = std::string(step) + ": (" + answer.code + ") " + answer.message;
        return true;
    };
    if (refused("Login", client.Login())) {
        return false;
    }
    const auto registration = client.Registrierung_Kasse({{"Bäckerei", "KASSE-01", "", KEY}});
    const auto logout = client.Logout();
    return !refused("Registrierung_Kasse", registration) && !refused("Logout", logout);
}

void BM_SubmissionClient(benchmark::State& state)
{
    std::string failure;
    for (auto _ : state) {
        if (!submitOnce(failure)) {
            state.SkipWithError(failure.c_str());
            break;
        }
    }
}

void BM_SubmissionCurlCommandLine(benchmark::State& state)
{
    // The three requests exactly as the client sends them, taken from one submission.
    const auto before = service->requests().size();
    if (std::string failure; !submitOnce(failure)) {
        state.SkipWithError(failure.c_str());
        return;
    }
    const auto sent = service->requests();
    std::vector<std::string> argv{"curl", "-s"};
    const char* actions[] = {"login", "rkdb", "logout"};
    for (int i = 0; i < 3; ++i) {
        const auto& request = sent.at(before + static_cast<std::size_t>(i));
        const auto body = testsupport::writeBytes(files->file("body" + std::to_string(i)), request.body);
        if (i > 0) {
            argv.emplace_back("--next"); // the options below hold per transfer
        }
        argv.insert(argv.end(),
                    {"-o",
                     "/dev/null",
                     "--http1.1",
                     "--cacert",
                     service->caFile(),
                     "--connect-to",
                     HOST + ":443:" + service->connectTo()});
        for (const auto& header : {"Accept: */*",
                                   "Host: finanzonline.bmf.gv.at:443",
                                   "Connection: Keep-Alive",
                                   "Content-Type: text/xml;charset=UTF-8"}) {
            argv.insert(argv.end(), {"-H", header});
        }
        argv.insert(argv.end(),
                    {"-H",
                     std::string("SOAPAction: \"") + actions[i] + "\"",
                     "-A",
                     "RoDodo",
                     "--data-binary",
                     "@" + body,
                     "https://" + HOST + request.path});
    }
    for (auto _ : state) {
        testsupport::Process curl(argv, {});
        if (curl.wait(30s) != std::optional<int>(0)) {
            state.SkipWithError("curl failed");
            break;
        }
    }
}

BENCHMARK(BM_SubmissionClient)->Unit(benchmark::kMillisecond)->MinTime(2)->Repetitions(5);
BENCHMARK(BM_SubmissionCurlCommandLine)->Unit(benchmark::kMillisecond)->MinTime(2)->Repetitions(5);

} // namespace

int main(int argc, char** argv)
{
    testsupport::FonTestService server({{"123456789012", "WEBUSER01", "geheim123", ""}});
    testsupport::TempDir dir;
    if (!server.running()) {
        std::cerr << "the test service did not start\n";
        return 1;
    }
    service = &server;
    files = &dir;
    auto& connections = base::program().connections;
    connections.fonCaFile = server.caFile();
    connections.fonConnectTo = server.connectTo();
    base::program().TestFlag = "J";

    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio(
        "median submission, client / curl command line", "BM_SubmissionClient", "BM_SubmissionCurlCommandLine");
    benchmark::Shutdown();
    return 0;
}

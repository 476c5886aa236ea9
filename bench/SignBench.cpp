// Receipt signing of the software signature unit against the raw ECDSA P-256 signing rate of OpenSSL, side by side.
//
//   build-test/bench/sign_bench
#include "bench/RatioReporter.h"
#include "rksv/Jws.h"
#include "rksv/OpenSsl.h"
#include "rksv/SoftwareUnit.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>

namespace {

testsupport::TempDir* folder = nullptr;
std::string aesKey;

void BM_SignReceipt(benchmark::State& state)
{
    rksv::SoftwareUnit unit(folder->file("Karten"));
    rksv::Component::Receipt receipt;
    receipt.kassa = "KASSE-01";
    receipt.reader = "Leser 1";
    receipt.pin = "123456";
    receipt.dateTime = "07.12.2026 10:48:15";
    receipt.amounts = {"12,50", "3,20", "0,00", "0,00", "0,00"};
    receipt.turnoverCounter = "0";
    receipt.previous = "KASSE-01";
    receipt.aesKey = aesKey;
    long number = 0;
    for (auto _ : state) {
        receipt.bonnr = std::to_string(++number);
        rksv::Component::Signed answer;
        if (!unit.SignReceipt(receipt, answer)) {
            state.SkipWithError(answer.error.c_str());
            break;
        }
        receipt.previous = answer.jws;
    }
}

void BM_RawEcdsaP256(benchmark::State& state)
{
    const auto key = rksv::generateP256Key();
    const std::string input(300, 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(rksv::signEs256(key.get(), input));
    }
}

BENCHMARK(BM_RawEcdsaP256)->Repetitions(5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SignReceipt)->Repetitions(5)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    testsupport::TempDir dir;
    folder = &dir;
    std::string serial;
    std::string error;
    if (!rksv::createTestCard(dir.file("Karten"), "Leser 1", "123456", "", dir.file("ca"), serial, error)) {
        std::cerr << error << '\n';
        return 1;
    }
    rksv::SoftwareUnit unit(dir.file("Karten"));
    unit.GenerateAes256Key("PLUMOXA|0001|PLUMOXA", aesKey, error);
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("median time, receipt / raw ECDSA P-256 signature (rate ratio is the inverse)",
                        "BM_SignReceipt",
                        "BM_RawEcdsaP256");
    benchmark::Shutdown();
    return 0;
}

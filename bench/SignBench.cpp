// Receipt signing of the software signature unit against the raw ECDSA P-256 signing rate of OpenSSL, side by side,
// in a card session whose PIN was checked before; and the PIN check that opens a session (the key derivation).
//
//   build-test/bench/sign_bench
#include "bench/RatioReporter.h"
#include "rksv/Jws.h"
#include "rksv/OpenSsl.h"
#include "rksv/SoftwareUnit.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>

namespace {

constexpr char PIN[] = "123456";
testsupport::TempDir* folder = nullptr;
rksv::SoftwareUnit* unit = nullptr;
std::string aesKey;

void BM_SignReceipt(benchmark::State& state)
{
    rksv::Component::Receipt receipt;
    receipt.kassa = "KASSE-01";
    receipt.reader = "Leser 1";
    receipt.pin = PIN;
    receipt.dateTime = "07.12.2026 10:48:15";
    receipt.amounts = {"12,50", "3,20", "0,00", "0,00", "0,00"};
    receipt.turnoverCounter = "0";
    receipt.previous = "KASSE-01";
    receipt.aesKey = aesKey;
    long number = 0;
    for (auto _ : state) {
        receipt.bonnr = std::to_string(++number);
        rksv::Component::Signed answer;
        if (!unit->SignReceipt(receipt, answer)) {
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

// A fresh unit each time, so the PIN is checked against the card's key file: scrypt and the count of wrong PINs.
void BM_PinCheck(benchmark::State& state)
{
    for (auto _ : state) {
        rksv::SoftwareUnit fresh(folder->file("Karten"));
        if (!fresh.VerifyPin("Leser 2", PIN)) {
            state.SkipWithError("PIN refused");
            break;
        }
    }
}

BENCHMARK(BM_RawEcdsaP256)->Repetitions(5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SignReceipt)->Repetitions(5)->Unit(benchmark::kMicrosecond);
// Last: its writes to a reader folder would make the signing look at that folder again for a while.
BENCHMARK(BM_PinCheck)->Iterations(5)->Repetitions(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    testsupport::TempDir dir;
    folder = &dir;
    std::string serial;
    std::string error;
    for (const char* reader : {"Leser 1", "Leser 2"}) {
        if (!rksv::createTestCard(dir.file("Karten"), reader, PIN, "", dir.file("ca"), serial, error)) {
            std::cerr << error << '\n';
            return 1;
        }
    }
    rksv::SoftwareUnit session(dir.file("Karten"));
    unit = &session;
    if (!session.VerifyPin("Leser 1", PIN) || !session.GenerateAes256Key("PLUMOXA|0001|PLUMOXA", aesKey, error)) {
        std::cerr << "The card's session could not be opened. " << error << '\n';
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("median time, receipt / raw ECDSA P-256 signature (rate ratio is the inverse)",
                        "BM_SignReceipt",
                        "BM_RawEcdsaP256");
    benchmark::Shutdown();
    return 0;
}

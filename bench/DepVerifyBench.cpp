// The DEP check of 1 000 000 signed receipts of one till (a DEP file of about 370 MB in a temporary folder, written
// first and removed at the end) against bare OpenSSL: the same number of ES256 verifications of the same signatures
// on two threads, the rate `openssl speed -multi 2 -verify ecdsap256` measures. The check trusts the card's CA (the
// group lists it; its certificate is the one trust anchor). The ratio of the two rates (target: at least 0.85), and
// the peak memory of a check in a fresh process for 100 000 and for 1 000 000 receipts (target: at most 32 MiB for
// 1 000 000).
//
//   build/bench/dep_verify_bench       (the two benchmarks' repetitions run interleaved)
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"
#include "rksv/depcheck/DepVerifier.h"
#include "rksv/format/Encoding.h"
#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "tests/support/DepMaker.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono;

namespace {

constexpr long RECEIPTS = 1000000;
constexpr long SMALL_RECEIPTS = 100000;
constexpr int BARE_THREADS = 2;

const rksv::AesKey KEY = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

std::string bigDep;
std::string smallDep;
testsupport::TestSigner* signer = nullptr;
testsupport::TestSigner* ca = nullptr;
std::string caFile; //!< the CA's certificate as DER, for the fresh process
rksv::DepTrustAnchors anchors;

//! The first SMALL_RECEIPTS receipts' signing inputs and DER signatures, for the bare verification.
struct Signed
{
    std::string input;
    rksv::Bytes der;
};
std::vector<Signed> signatures;

// "2026-01-01T00:00:00" plus `seconds`.
std::string dateTime(long seconds)
{
    const sys_seconds at = sys_days(year{2026} / January / 1) + std::chrono::seconds(seconds);
    const year_month_day day(floor<days>(at));
    const hh_mm_ss time(at - floor<days>(at));
    char text[32];
    std::snprintf(text,
                  sizeof text,
                  "%04d-%02u-%02uT%02ld:%02ld:%02ld",
                  static_cast<int>(day.year()),
                  static_cast<unsigned>(day.month()),
                  static_cast<unsigned>(day.day()),
                  static_cast<long>(time.hours().count()),
                  static_cast<long>(time.minutes().count()),
                  static_cast<long>(time.seconds().count()));
    return text;
}

// One till's receipts: the start receipt, then sales every 30 seconds with amounts in two rates, every 50th a
// training receipt and every 70th a storno. The chain makes signing sequential. Both files get the same receipts;
// the small one ends after SMALL_RECEIPTS.
bool writeDeps()
{
    std::ofstream big(bigDep, std::ios::binary);
    std::ofstream small(smallDep, std::ios::binary);
    const std::string head = "{\"Belege-Gruppe\": [{\"Signaturzertifikat\": \"" + signer->certificateBase64
                             + "\", \"Zertifizierungsstellen\": [\"" + ca->certificateBase64
                             + "\"], \"Belege-kompakt\": [\n";
    big << head;
    small << head;
    testsupport::TillSigner till(*signer, "KASSA-BENCH", KEY);
    for (long i = 0; i < RECEIPTS; ++i) {
        testsupport::DepReceipt receipt;
        receipt.id = "2026-" + std::to_string(i + 1);
        receipt.dateTime = dateTime(30 * i);
        if (i > 0) {
            receipt.amounts = {1000 + i % 9000, 250 + i % 700, 0, 0, 0};
            receipt.kind = i % 50 == 0   ? testsupport::DepReceipt::Kind::Training
                           : i % 70 == 0 ? testsupport::DepReceipt::Kind::Storno
                                         : testsupport::DepReceipt::Kind::Normal;
        }
        const std::string jws = till.next(receipt);
        const std::string line = (i > 0 ? ",\n\"" : "\"") + jws + "\"";
        big << line;
        if (i < SMALL_RECEIPTS) {
            small << line;
            const auto dot = jws.rfind('.');
            signatures.push_back(
                {jws.substr(0, dot), *rksv::rawToDerSignature(*rksv::base64UrlDecode(jws.substr(dot + 1)))});
        }
        if (i + 1 == SMALL_RECEIPTS) {
            small << "\n]}]}\n";
        }
    }
    big << "\n]}]}\n";
    return big.good() && small.good();
}

rksv::DepCheckOptions options()
{
    rksv::DepCheckOptions options;
    options.key = KEY;
    options.trust = &anchors;
    return options;
}

void depCheck(benchmark::State& state)
{
    long receipts = 0;
    for (auto _ : state) {
        const auto result = rksv::checkDepFile(bigDep, options());
        if (!result.ok()) {
            state.SkipWithError(result.summary().c_str());
            return;
        }
        receipts += result.receipts;
    }
    state.counters["receipts/s"] = benchmark::Counter(static_cast<double>(receipts), benchmark::Counter::kIsRate);
}

// RECEIPTS verifications of the stored signatures (each verified RECEIPTS / SMALL_RECEIPTS times), split over two
// threads, each with its own context.
void bareVerify(benchmark::State& state)
{
    EVP_PKEY* key = X509_get0_pubkey(signer->certificate.get());
    long verified = 0;
    for (auto _ : state) {
        std::vector<std::thread> threads;
        std::vector<long> valid(BARE_THREADS);
        for (int t = 0; t < BARE_THREADS; ++t) {
            threads.emplace_back([&, t] {
                const rksv::EvpMdCtxPtr context(EVP_MD_CTX_new());
                for (long i = t; i < RECEIPTS; i += BARE_THREADS) {
                    const Signed& one = signatures[static_cast<std::size_t>(i % SMALL_RECEIPTS)];
                    valid[static_cast<std::size_t>(t)] +=
                        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1
                        && EVP_DigestVerify(context.get(),
                                            one.der.data(),
                                            one.der.size(),
                                            reinterpret_cast<const unsigned char*>(one.input.data()),
                                            one.input.size())
                               == 1;
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        for (const long count : valid) {
            verified += count;
        }
    }
    if (verified != RECEIPTS * static_cast<long>(state.iterations())) {
        state.SkipWithError("a signature did not verify");
    }
    state.counters["receipts/s"] = benchmark::Counter(static_cast<double>(verified), benchmark::Counter::kIsRate);
}

// In a fresh process: the peak memory of checking the file.
int measureMemory(const std::string& path, const std::string& anchorFile)
{
    std::string error;
    if (!anchors.addFromPath(anchorFile, error)) {
        std::cerr << error << '\n';
        return 1;
    }
    const auto result = rksv::checkDepFile(path, options());
    std::printf("%ld %ld %d\n", result.receipts, bench::statusKiB("VmHWM"), result.ok() ? 1 : 0);
    return 0;
}

void reportMemory(const std::string& path)
{
    const std::string command = "'/proc/" + std::to_string(getpid()) + "/exe' --memory '" + path + "' '" + caFile + "'";
    FILE* child = popen(command.c_str(), "r");
    long receipts = 0;
    long peak = 0;
    int ok = 0;
    const bool read = child && std::fscanf(child, "%ld %ld %d", &receipts, &peak, &ok) == 3;
    if (child) {
        pclose(child);
    }
    if (!read) {
        std::cout << path << ": memory not measured\n";
        return;
    }
    std::cout << "DEP check of " << receipts << " receipts (" << std::filesystem::file_size(path) / (1024 * 1024)
              << " MiB, " << (ok != 0 ? "in order" : "FAULTS") << "): peak memory " << peak / 1024 << " MiB\n";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--memory") {
        return measureMemory(argv[2], argv[3]);
    }
    bench::initializeInTurns(argc, argv);
    testsupport::TempDir dir;
    bigDep = dir.file("dep-1000000.json");
    smallDep = dir.file("dep-100000.json");
    testsupport::TestSigner testCa(0x0ca1, nullptr, "DEP-Bench-CA", true);
    testsupport::TestSigner testSigner(0x5a17c0de, &testCa);
    signer = &testSigner;
    ca = &testCa;
    anchors.add(testCa.certificate.get());
    caFile = dir.file("ca.der");
    {
        std::ofstream der(caFile, std::ios::binary);
        const auto bytes = rksv::base64Decode(testCa.certificateBase64);
        der.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    }
    const auto start = steady_clock::now();
    if (!writeDeps()) {
        std::cerr << "DEP not written\n";
        return 1;
    }
    std::cout << "DEP of " << RECEIPTS << " receipts written in "
              << duration_cast<seconds>(steady_clock::now() - start).count() << " s\n";

    benchmark::RegisterBenchmark("DepCheck", depCheck)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1)
        ->Repetitions(3);
    benchmark::RegisterBenchmark("BareVerify2Threads", bareVerify)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1)
        ->Repetitions(3);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio(
        "DEP check rate / bare two-thread verification rate (target >= 0.85)", "BareVerify2Threads", "DepCheck");
    reportMemory(smallDep);
    reportMemory(bigDep);
    benchmark::Shutdown();
    return 0;
}

// Signing a till's receipt end to end (number, last receipt, card check, signature, QR image, storing the row) with
// 1 000 and with 100 000 receipts of the till already stored. Every step is an index lookup or constant work, so
// the large case must cost at most 1.3 times the small one. Against an anchor, a signature and one transaction
// inserting the same row through the same driver; the till with its card in the second reader against the first;
// and the statements MariaDB runs per receipt. Then whole stations, each a process of its own on MariaDB: ten tills
// with four stations each against one station each (receipts per second once every station has its card session),
// and ten tills whose stations share one card folder against each with a folder of its own (from start to end, card
// sessions included, so that one station's PIN check costing the others shows; 200 receipts each, as the PIN checks
// of one card are made one at a time, as a card makes them, and a card session lasts more than a few receipts).
//
//   build-test/bench/signall_bench   (SQLite through its ODBC driver, and MariaDB on a private server through
//                                     MariaDB Connector/ODBC; prints receipts per second and the ratios)
#include "base/Clock.h"
#include "base/Program.h"
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"
#include "db/Odbc.h"
#include "rksv/ImageFolder.h"
#include "rksv/Rksv.h"
#include "rksv/format/Jws.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/format/QrImage.h"
#include "rksv/units/SoftwareUnit.h"
#include "tests/support/Databases.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "tests/support/X11Session.h"

#include <openssl/evp.h>

#include <array>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <thread>
#include <unistd.h>

using namespace std::chrono;

namespace {

const std::string PIN = "123456";
constexpr auto DAY = 2026y / January / 5;

struct Till
{
    std::shared_ptr<db::Connection> connection;
    std::unique_ptr<rksv::RKSV> service;
};

std::map<std::string, Till> tills;
std::string serial;
std::string oldJws; // a real receipt of the past year, stored as every filler receipt

// `n` receipts of till 01 over the year 2025, numbered 1 … n, each carrying a real compact JWS.
void fillSqlite(db::Connection& connection, long n)
{
    const auto count = std::to_string(n);
    connection.execute("INSERT INTO BONS (KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_JWS, RKSV_SALDO) "
                       "WITH RECURSIVE seq(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < "
                           + count + ") SELECT '01', date('2025-01-01', '+' || ((i - 1) * 364 / " + count
                           + ") || ' days'), '10:00:00', i, 'B', ?, i FROM seq",
                       {oldJws});
}

void fillMariadb(db::Connection& connection, long n)
{
    const auto count = std::to_string(n);
    connection.execute("INSERT INTO BONS (KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_JWS, RKSV_SALDO) SELECT '01', "
                       "DATE_ADD('2025-01-01', INTERVAL ((seq - 1) * 364 DIV "
                           + count + ") DAY), '10:00:00', seq, 'B', ?, seq FROM seq_1_to_" + count,
                       {oldJws});
}

Till tillWith(std::shared_ptr<db::Connection> connection)
{
    Till till{std::move(connection), std::make_unique<rksv::RKSV>(nullptr)};
    till.service->setConnection(till.connection);
    if (!till.service->accReady() || !till.service->MySernrExists(serial, PIN, "01")) {
        throw std::runtime_error("Signaturdienst nicht bereit: " + till.service->accMsgFirst());
    }
    // The first receipt of the new year brings its year receipt; the timed receipts are ordinary ones.
    std::string message;
    if (!till.service->MySignAll("", "01", 1, "", DAY, "09:00:00", {100, 0, 0, 0, 0}, serial, PIN, message)) {
        throw std::runtime_error("Erster Beleg nicht signiert: " + message);
    }
    return till;
}

void signAll(benchmark::State& state, const std::string& name)
{
    auto& till = tills.at(name);
    std::string message;
    long number = 0;
    for (auto _ : state) {
        const rksv::Amounts amounts{1250 + number % 100, 340, 0, 0, 0};
        if (!till.service->MySignAll("", "01", ++number, "", DAY, "10:30:00", amounts, serial, PIN, message)
            || till.service->accBelege().size() != 1) {
            state.SkipWithError(("Beleg nicht signiert: " + message).c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// The anchor: the same work done by hand through the same driver, a signature (EVP_DigestSign on a receipt's signing
// input) and one transaction inserting the same row, its statement prepared once.
std::map<std::string, std::shared_ptr<db::Connection>> anchors;
std::string receiptInput;

void anchor(benchmark::State& state, const std::string& name)
{
    auto& connection = *anchors.at(name);
    const auto key = rksv::generateP256Key();
    const bool sqlite = connection.kind() == db::Kind::SQLite;
    long number = 0;
    for (auto _ : state) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        std::array<unsigned char, 80> der{};
        std::size_t length = der.size();
        EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key.get());
        EVP_DigestSign(context,
                       der.data(),
                       &length,
                       reinterpret_cast<const unsigned char*>(receiptInput.data()),
                       receiptInput.size());
        EVP_MD_CTX_free(context);
        connection.execute(sqlite ? "BEGIN IMMEDIATE" : "START TRANSACTION");
        connection.executePrepared(
            "INSERT INTO BONS (KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS, RKSV_NORMAL, RKSV_ERM1, RKSV_ERM2, "
            "RKSV_NULL, RKSV_SONDER, RKSV_SALDO, RKSV_CRDID, KNDID) VALUES (?, ?, ?, ?, 'B', ?, ?, ?, ?, ?, ?, ?, ?, "
            "?, "
            "?)",
            {"99",
             "2026-01-05",
             "10:30:00",
             std::to_string(++number),
             "",
             oldJws,
             "12.50",
             "3.40",
             "0.00",
             "0.00",
             "0.00",
             "15.90",
             "1",
             std::to_string(number)});
        connection.execute("COMMIT");
    }
    state.SetItemsProcessed(state.iterations());
}

// The statements MariaDB runs for one receipt: its counter of client statements around a hundred receipts.
void reportMariadbStatements(testsupport::MariaDbServer& server)
{
    auto& till = tills.at("mariadb-1000");
    db::Connection observer(server.createDatabase("beobachter"));
    const auto questions = [&observer] {
        return std::stol(observer.queryRow("SHOW GLOBAL STATUS LIKE 'Questions'").at(1).value_or("0"));
    };
    constexpr long RECEIPTS = 100;
    const long before = questions();
    std::string message;
    for (long i = 0; i < RECEIPTS; ++i) {
        if (!till.service->MySignAll("", "01", i, "", DAY, "11:00:00", {100, 0, 0, 0, 0}, serial, PIN, message)) {
            std::cerr << message << '\n';
            return;
        }
    }
    const long statements = questions() - before - 1;
    std::cout << "MariaDB: " << static_cast<double>(statements) / RECEIPTS << " statements (round trips) per receipt\n";
}

// The receipt's QR image on its own, in the folder the signing service writes it to: the symbol and the BMP in memory
// ("encode"), the whole image with its new file ("file"), and, as the file system's share, a new file of the same
// bytes written by hand ("plain-file").
rksv::SoftwareUnit* imageUnit = nullptr;
std::string imageFolder;

void image(benchmark::State& state, const std::string& what)
{
    const auto code = rksv::jwsToMachineCode(oldJws);
    const auto bytes = rksv::renderBmp(*rksv::encodeQr(*code));
    static long number = 0; // new names in every repetition
    for (auto _ : state) {
        const auto file = imageFolder + "/~" + what + "_" + std::to_string(++number) + ".BMP";
        if (what == "encode") {
            benchmark::DoNotOptimize(rksv::renderBmp(*rksv::encodeQr(*code)).size());
        } else if (what == "file") {
            if (!imageUnit->SaveQrImage(oldJws, file)) {
                state.SkipWithError("image not saved");
                break;
            }
        } else {
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
                state.SkipWithError("file not written");
                break;
            }
            ::close(fd);
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// Stations as processes (the signing test's worker): `stations` per till for ten tills, `each` receipts each, on the
// database `connection`; `folderOf(till)` the installation (with its card folder "Karten") of a till's stations.
// With `warm`, the time runs from the moment all stations signed their first receipt to the last one's end; else from
// the start of the processes to their end. Receipts timed per second are the benchmark's items.
constexpr int STATION_TILLS = 10;

void stations(benchmark::State& state,
              const std::string& connection,
              int stations,
              int each,
              bool warm,
              const std::function<std::string(int till)>& folderOf,
              const std::string& scratch)
{
    for (auto _ : state) {
        {
            db::Connection cleaner(connection);
            cleaner.execute("DELETE FROM BONS");
            cleaner.execute("DELETE FROM NUMMERNKREISE");
        }
        const auto start = scratch + "/start";
        std::filesystem::remove_all(start);
        std::filesystem::create_directories(start);
        const auto begun = system_clock::now();
        std::vector<std::unique_ptr<testsupport::Process>> workers;
        for (int till = 0; till < STATION_TILLS; ++till) {
            for (int station = 0; station < stations; ++station) {
                std::vector<std::string> arguments{test_paths::SIGNALL_WORKER,
                                                   connection,
                                                   folderOf(till),
                                                   serial,
                                                   std::to_string(warm ? each + 1 : each),
                                                   (till < 9 ? "0" : "") + std::to_string(till + 1)};
                if (warm) {
                    arguments.push_back(start);
                }
                // Each station its own temporary folder for its images, as a station on its own computer has.
                const auto temporary = scratch + "/tmp-" + std::to_string(till) + "-" + std::to_string(station);
                std::filesystem::create_directories(temporary);
                workers.push_back(
                    std::make_unique<testsupport::Process>(arguments, std::vector<std::string>{"TMPDIR=" + temporary}));
            }
        }
        auto from = begun;
        if (warm) {
            const auto all = static_cast<std::ptrdiff_t>(workers.size());
            while (std::distance(std::filesystem::directory_iterator(start), std::filesystem::directory_iterator())
                   < all) {
                std::this_thread::sleep_for(milliseconds(5));
                if (system_clock::now() - begun > 300s) {
                    state.SkipWithError("stations not ready");
                    return;
                }
            }
            from = system_clock::now();
            std::ofstream(start + "/los") << '\n';
        }
        std::int64_t last = 0;
        for (auto& worker : workers) {
            if (worker->wait(600s) != std::optional<int>(0)) {
                state.SkipWithError(("a station failed: " + worker->standardError()).c_str());
                return;
            }
            const auto out = worker->standardOutput();
            if (const auto at = out.find("Fertig: "); at != std::string::npos) {
                last = std::max<std::int64_t>(last, std::stoll(out.substr(at + 8)));
            }
        }
        const auto to = warm ? system_clock::time_point(microseconds(last)) : system_clock::now();
        state.SetIterationTime(duration<double>(to - from).count());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * STATION_TILLS * stations * each);
}

} // namespace

int main(int argc, char** argv)
{
    testsupport::TempDir dir;
    ::setenv("TMPDIR", dir.path().c_str(), 1); // the QR images
    std::string error;
    if (!rksv::createTestCard(dir.file("Karten"), "Leser 1", PIN, "", "", serial, error)) {
        std::cerr << error << '\n';
        return 1;
    }
    auto& p = base::program();
    p.DefaultDir = dir.path();
    p.HostProduct = "PLUMOXA";
    p.CompanyNumber = "0001";
    p.connections.signatur = "Software:" + dir.file("Karten");
    base::setClock([] { return base::LocalDateTime{DAY, hh_mm_ss<seconds>(10h)}; });
    {
        rksv::RKSV service(nullptr);
        rksv::SoftwareUnit unit(dir.file("Karten"));
        rksv::Component::Signed answer;
        if (!unit.SignReceipt({"01",
                               "Leser 1",
                               PIN,
                               "1",
                               "30.12.2025 10:00:00",
                               {"1,00", "0,00", "0,00", "0,00", "0,00"},
                               "0",
                               "01",
                               service.accAes256()},
                              answer)) {
            std::cerr << "Beleg des Vorjahres nicht signiert: " << answer.error << '\n';
            return 1;
        }
        oldJws = answer.jws;
    }

    receiptInput = oldJws.substr(0, oldJws.rfind('.'));

    testsupport::MariaDbServer server;
    for (const long n : {1000L, 100000L}) {
        const auto count = std::to_string(n);
        auto sqlite = std::make_shared<db::Connection>(testsupport::sqliteConnectionString(dir.file("k" + count)));
        for (const auto& statement : testsupport::schemaStatements(testsupport::schemaFile("sqlite.sql"))) {
            sqlite->execute(statement);
        }
        fillSqlite(*sqlite, n);
        tills["sqlite-" + count] = tillWith(sqlite);
        auto mariadb = std::make_shared<db::Connection>(server.createDatabase("k" + count));
        fillMariadb(*mariadb, n);
        tills["mariadb-" + count] = tillWith(mariadb);
    }
    anchors["sqlite"] = tills.at("sqlite-1000").connection;
    anchors["mariadb"] = tills.at("mariadb-1000").connection;
    // The same till with its card in the second reader, behind another card.
    {
        std::string other;
        const auto readers = dir.file("Karten2");
        if (!rksv::createTestCard(readers, "Leser 1", "654321", "", "", other, error)) {
            std::cerr << error << '\n';
            return 1;
        }
        std::filesystem::create_directories(readers + "/Leser 2");
        for (const char* file : {"certificate.pem", "chain.pem", "key.pem"}) {
            std::filesystem::copy_file(dir.file("Karten/Leser 1/") + file, readers + "/Leser 2/" + file);
        }
        p.connections.signatur = "Software:" + readers;
        auto sqlite = std::make_shared<db::Connection>(testsupport::sqliteConnectionString(dir.file("leser2")));
        for (const auto& statement : testsupport::schemaStatements(testsupport::schemaFile("sqlite.sql"))) {
            sqlite->execute(statement);
        }
        fillSqlite(*sqlite, 1000);
        tills["sqlite-1000-reader2"] = tillWith(sqlite);
        p.connections.signatur = "Software:" + dir.file("Karten");
    }
    for (const auto& [name, till] : tills) {
        benchmark::RegisterBenchmark(("SignAll/" + name).c_str(), signAll, name)
            ->Unit(benchmark::kMicrosecond)
            ->Repetitions(5)
            ->MinTime(0.5);
    }
    for (const auto& [name, connection] : anchors) {
        benchmark::RegisterBenchmark(("Anchor/" + name).c_str(), anchor, name)
            ->Unit(benchmark::kMicrosecond)
            ->Repetitions(5)
            ->MinTime(0.5);
    }
    rksv::SoftwareUnit unit(dir.file("Karten"));
    imageUnit = &unit;
    imageFolder = rksv::qrImageFolder(error).string();
    for (const std::string what : {"encode", "file", "plain-file"}) {
        benchmark::RegisterBenchmark(("Image/" + what).c_str(), image, what)
            ->Unit(benchmark::kMicrosecond)
            ->Repetitions(5)
            ->MinTime(0.5);
    }

    // Ten tills of one installation on MariaDB, one card registered for all of them; for the folders apart, each
    // till's installation with a copy of the card folder.
    const auto stationsDatabase = server.createDatabase("stationen");
    {
        rksv::RKSV service(nullptr);
        service.setConnection(std::make_shared<db::Connection>(stationsDatabase));
        for (int till = 0; till < STATION_TILLS; ++till) {
            if (!service.MySernrExists(serial, PIN, (till < 9 ? "0" : "") + std::to_string(till + 1))) {
                std::cerr << "Karte nicht registriert: " << service.accMsgFirst() << '\n';
                return 1;
            }
        }
    }
    const std::string shared = dir.path();
    for (int till = 0; till < STATION_TILLS; ++till) {
        const auto own = dir.file("kassa" + std::to_string(till));
        std::filesystem::create_directories(own);
        std::filesystem::copy(dir.file("Karten"), own + "/Karten", std::filesystem::copy_options::recursive);
    }
    const auto ownFolder = [&dir](int till) { return dir.file("kassa" + std::to_string(till)); };
    const auto sharedFolder = [&shared](int) { return shared; };
    benchmark::RegisterBenchmark(
        "Stations/4-per-till",
        [&](benchmark::State& state) { stations(state, stationsDatabase, 4, 25, true, sharedFolder, dir.path()); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(3);
    benchmark::RegisterBenchmark(
        "Stations/1-per-till",
        [&](benchmark::State& state) { stations(state, stationsDatabase, 1, 100, true, sharedFolder, dir.path()); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(3);
    benchmark::RegisterBenchmark(
        "CardFolder/shared",
        [&](benchmark::State& state) { stations(state, stationsDatabase, 1, 200, false, sharedFolder, dir.path()); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(3);
    benchmark::RegisterBenchmark(
        "CardFolder/separate",
        [&](benchmark::State& state) { stations(state, stationsDatabase, 1, 200, false, ownFolder, dir.path()); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(3);

    bench::initializeInTurns(argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* kind : {"sqlite", "mariadb"}) {
        const std::string name = kind;
        reporter.printRatio("SignAll " + name + ", 100 000 / 1 000 receipts stored",
                            "SignAll/" + name + "-100000",
                            "SignAll/" + name + "-1000");
    }
    for (const char* kind : {"sqlite", "mariadb"}) {
        const std::string name = kind;
        reporter.printRatio("SignAll " + name
                                + " / anchor (signature + one transaction inserting the row), 1 000 stored",
                            "SignAll/" + name + "-1000",
                            "Anchor/" + name);
    }
    for (const char* kind : {"sqlite", "mariadb"}) {
        const std::string name = kind;
        reporter.printCpuRatio(
            "SignAll " + name + " / anchor, CPU time, 1 000 stored", "SignAll/" + name + "-1000", "Anchor/" + name);
    }
    reporter.printRatio(
        "SignAll sqlite, card in reader 2 / in reader 1", "SignAll/sqlite-1000-reader2", "SignAll/sqlite-1000");
    reporter.printCpuRatio("SignAll sqlite, card in reader 2 / in reader 1, CPU time",
                           "SignAll/sqlite-1000-reader2",
                           "SignAll/sqlite-1000");
    reporter.printCpuRatio(
        "QR image with its file / a plain file of the same bytes, CPU time", "Image/file", "Image/plain-file");
    reporter.printRatio("receipts per second, 10 tills on MariaDB: 4 stations per till / 1 station per till",
                        "Stations/1-per-till",
                        "Stations/4-per-till");
    reporter.printRatio("receipts per second, 10 tills on MariaDB: one card folder shared / a folder per till",
                        "CardFolder/separate",
                        "CardFolder/shared");
    reportMariadbStatements(server);
    benchmark::Shutdown();
    return 0;
}

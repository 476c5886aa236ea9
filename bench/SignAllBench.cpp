// Signing a till's receipt end to end (number, last receipt, card check, signature, QR image, storing the row) with
// 1 000 and with 100 000 receipts of the till already stored. Every step is an index lookup or constant work, so
// the large case must cost at most 1.3 times the small one. Against an anchor, a signature and one transaction
// inserting the same row through the same driver; the till with its card in the second reader against the first;
// and the statements MariaDB runs per receipt.
//
//   build-test/bench/signall_bench   (SQLite through its ODBC driver, and MariaDB on a private server through
//                                     MariaDB Connector/ODBC; prints receipts per second and the ratios)
#include "base/Clock.h"
#include "base/Program.h"
#include "bench/RatioReporter.h"
#include "db/Odbc.h"
#include "rksv/Rksv.h"
#include "rksv/format/OpenSsl.h"
#include "rksv/units/SoftwareUnit.h"
#include "tests/support/Databases.h"
#include "tests/support/TempDir.h"

#include <openssl/evp.h>

#include <array>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>

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
    benchmark::Initialize(&argc, argv);
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
    reporter.printRatio(
        "SignAll sqlite, card in reader 2 / in reader 1", "SignAll/sqlite-1000-reader2", "SignAll/sqlite-1000");
    reportMariadbStatements(server);
    benchmark::Shutdown();
    return 0;
}

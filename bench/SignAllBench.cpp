// Signing a till's receipt end to end (number, last receipt, card check, signature, QR image, storing the row) with
// 1 000 and with 100 000 receipts of the till already stored. Every step is an index lookup or constant work, so
// the large case must cost at most 1.3 times the small one.
//
//   build-test/bench/signall_bench   (SQLite through its ODBC driver, and MariaDB on a private server through
//                                     MariaDB Connector/ODBC; prints receipts per second and the ratios)
#include "base/Clock.h"
#include "base/Program.h"
#include "bench/RatioReporter.h"
#include "db/Odbc.h"
#include "rksv/Rksv.h"
#include "rksv/SoftwareUnit.h"
#include "tests/support/Databases.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
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
    for (const auto& [name, till] : tills) {
        benchmark::RegisterBenchmark(("SignAll/" + name).c_str(), signAll, name)
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
    benchmark::Shutdown();
    return 0;
}

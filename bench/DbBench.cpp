// The receipt table with 1 000 and with 1 000 000 receipts: opening one till's receipts in number order and
// reading its last receipt, and a soft seek of one day in time order. Each operation costs what its index lookup
// costs, so the large case must stay within twice the small one.
//
//   build-test/bench/db_bench        (SQLite through its ODBC driver, and MariaDB on a private server through
//                                     MariaDB Connector/ODBC; prints the ratios and the peak memory)
#include "bench/RatioReporter.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "tests/support/Databases.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>
#include <map>
#include <sstream>
#include <sys/resource.h>

using namespace std::chrono;

namespace {

std::map<std::string, std::shared_ptr<db::Connection>> databases;

// n receipts of two tills over the year 2026, numbered per till, in time order within a day.
std::shared_ptr<db::Connection> sqliteWith(const testsupport::TempDir& dir, long n)
{
    auto connection = std::make_shared<db::Connection>(
        testsupport::sqliteConnectionString(dir.file("bons" + std::to_string(n) + ".db")));
    for (const auto& statement : testsupport::schemaStatements(testsupport::schemaFile("sqlite.sql"))) {
        connection->execute(statement);
    }
    const auto count = std::to_string(n);
    connection->execute("INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP) "
                        "WITH RECURSIVE seq(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < "
                        + count
                        + ") SELECT i, CASE i % 2 WHEN 0 THEN '02' ELSE '01' END, "
                          "date('2026-01-01', '+' || ((i - 1) * 365 / "
                        + count
                        + ") || ' days'), "
                          "printf('%02d:%02d:%02d', 7 + (i * 14 / "
                        + count + ") % 14, i % 60, (i * 7) % 60), (i + 1) / 2, 'B' FROM seq");
    return connection;
}

// The same receipts on MariaDB, made by the server from its sequence tables.
std::shared_ptr<db::Connection> mariadbWith(testsupport::MariaDbServer& server, long n)
{
    const auto count = std::to_string(n);
    auto connection = std::make_shared<db::Connection>(server.createDatabase("bons" + count));
    connection->execute("INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP) SELECT seq, IF(seq % 2 = 0, '02', "
                        "'01'), DATE_ADD('2026-01-01', INTERVAL ((seq - 1) * 365 DIV "
                        + count + ") DAY), CONCAT(LPAD(7 + (seq * 14 DIV " + count
                        + ") % 14, 2, '0'), ':', LPAD(seq % 60, 2, '0'), ':', LPAD((seq * 7) % 60, 2, '0')), "
                          "(seq + 1) DIV 2, 'B' FROM seq_1_to_"
                        + count);
    return connection;
}

void lastReceiptOfATill(benchmark::State& state, const std::string& name)
{
    const auto& connection = databases.at(name);
    for (auto _ : state) {
        db::DbBon bons({"BONID", "KASSA", "BONNR"}, connection);
        bons.Where("KASSA = " + db::Quote("01"));
        bons.OrderBy({"BONNR"});
        bons.GoBottom();
        benchmark::DoNotOptimize(bons.FieldGet("BONNR"));
    }
}

void softSeekOfADay(benchmark::State& state, const std::string& name)
{
    const auto& connection = databases.at(name);
    for (auto _ : state) {
        db::DbBon bons({"BONID", "DATUM", "ZEIT"}, connection);
        bons.OrderBy({"ZEIT"});
        bons.Seek("DATUM", year{2026} / July / 1, true);
        for (int i = 0; i < 20 && !bons.EoF(); ++i) {
            benchmark::DoNotOptimize(bons.FieldGet("ZEIT"));
            bons.Skip();
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    testsupport::TempDir dir;
    databases["sqlite-1000"] = sqliteWith(dir, 1000);
    databases["sqlite-1000000"] = sqliteWith(dir, 1000000);
    testsupport::MariaDbServer server;
    databases["mariadb-1000"] = mariadbWith(server, 1000);
    databases["mariadb-1000000"] = mariadbWith(server, 1000000);
    for (const auto& [name, connection] : databases) {
        benchmark::RegisterBenchmark(("LastReceiptOfATill/" + name).c_str(), lastReceiptOfATill, name)
            ->Unit(benchmark::kMicrosecond)
            ->Repetitions(5);
        benchmark::RegisterBenchmark(("SoftSeekOfADay/" + name).c_str(), softSeekOfADay, name)
            ->Unit(benchmark::kMicrosecond)
            ->Repetitions(5);
    }
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* operation : {"LastReceiptOfATill", "SoftSeekOfADay"}) {
        const std::string base = operation;
        for (const char* kind : {"sqlite", "mariadb"}) {
            const std::string name = kind;
            reporter.printRatio(base + " " + name + ", 1 000 000 / 1 000 receipts",
                                base + "/" + name + "-1000000",
                                base + "/" + name + "-1000");
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "peak memory: " << usage.ru_maxrss / 1024 << " MiB\n";
    benchmark::Shutdown();
    return 0;
}

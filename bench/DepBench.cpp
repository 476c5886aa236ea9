// The DEP export of 1 000 000 receipts (JWS texts of about 350 characters, two cards taking turns every 100 000
// receipts) against a bare SELECT of the same rows and columns through the same ODBC driver that fetches every
// value: the ratio of the two (target: at most 3), and the peak memory of the export in a fresh process against the
// size of the file it writes (target: at most twice). The export's save-as dialog is cancelled, so each timed run
// writes the whole temporary file and deletes it.
//
//   build/bench/dep_bench               SQLite through its ODBC driver, then MariaDB on a private server
//   build/bench/dep_bench --sqlite      SQLite only
#include "app/Program.h"
#include "bench/RatioReporter.h"
#include "db/Database.h"
#include "db/Odbc.h"
#include "rksv/DepExport.h"
#include "tests/support/Databases.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <unistd.h>

using namespace std::chrono;

namespace {

constexpr long RECEIPTS = 1000000;
constexpr year_month_day FROM = year{2026} / January / 1;
constexpr year_month_day TO = year{2026} / December / 31;

std::map<std::string, std::shared_ptr<db::Connection>> databases;
std::map<std::string, std::string> connectionStrings;

std::shared_ptr<db::Connection> sqliteWith(const testsupport::TempDir& dir)
{
    const auto file = dir.file("dep.db");
    testsupport::createSqliteDatabase(file);
    connectionStrings["sqlite"] = testsupport::sqliteConnectionString(file);
    auto connection = std::make_shared<db::Connection>(connectionStrings["sqlite"]);
    const auto count = std::to_string(RECEIPTS);
    connection->execute(
        "INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS, RKSV_CRDID) "
        "WITH RECURSIVE seq(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < "
        + count + ") SELECT i, '01', date('2026-01-01', '+' || ((i - 1) * 365 / " + count
        + ") || ' days'), '10:00:00', i, 'B', CASE WHEN i % 30000 = 0 THEN 'M' ELSE '' END, "
          "'eyJhbGciOiJFUzI1NiJ9.' || hex(randomblob(120)) || '.' || hex(randomblob(43)), 1 + (i / 100000) % 2 "
          "FROM seq");
    connection->execute("INSERT INTO CARDS (CRDID, KASSA, SERNR, BASE64, CHAIN) SELECT 1, '01', '1a', "
                        "hex(randomblob(300)), hex(randomblob(300)) UNION ALL SELECT 2, '01', '2b', "
                        "hex(randomblob(300)), hex(randomblob(300))");
    return connection;
}

std::shared_ptr<db::Connection> mariadbWith(testsupport::MariaDbServer& server)
{
    connectionStrings["mariadb"] = server.createDatabase("dep");
    auto connection = std::make_shared<db::Connection>(connectionStrings["mariadb"]);
    const auto count = std::to_string(RECEIPTS);
    connection->execute("INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS, RKSV_CRDID) "
                        "SELECT seq, '01', DATE_ADD('2026-01-01', INTERVAL ((seq - 1) * 365 DIV "
                        + count
                        + ") DAY), '10:00:00', seq, 'B', IF(seq % 30000 = 0, 'M', ''), "
                          "CONCAT('eyJhbGciOiJFUzI1NiJ9.', HEX(RANDOM_BYTES(120)), '.', HEX(RANDOM_BYTES(43))), "
                          "1 + (seq DIV 100000) % 2 FROM seq_1_to_"
                        + count);
    connection->execute("INSERT INTO CARDS (CRDID, KASSA, SERNR, BASE64, CHAIN) VALUES "
                        "(1, '01', '1a', HEX(RANDOM_BYTES(300)), HEX(RANDOM_BYTES(300))), "
                        "(2, '01', '2b', HEX(RANDOM_BYTES(300)), HEX(RANDOM_BYTES(300)))");
    return connection;
}

void depExport(benchmark::State& state, const std::string& name)
{
    const auto& connection = databases.at(name);
    testsupport::ScriptedDialogs cancelling; // the save-as dialog is cancelled: the temporary file is deleted
    long receipts = 0;
    for (auto _ : state) {
        rksv::RKSVExport exporter(connection);
        exporter.DoDepExpJson("01", FROM, TO);
        receipts = exporter.accReceipts();
    }
    if (receipts != RECEIPTS) {
        state.SkipWithError("not every receipt was exported");
    }
    state.counters["receipts"] = static_cast<double>(receipts);
}

void bareSelect(benchmark::State& state, const std::string& name)
{
    const auto& connection = databases.at(name);
    const auto from = db::D2SQL(FROM, connection->kind());
    long rows = 0;
    for (auto _ : state) {
        db::Statement statement(*connection);
        statement.execute("SELECT KASSA, BONNR, TYP, DATUM, RKSV_JWS, RKSV_TYP, RKSV_CRDID FROM BONS WHERE typ = 'B' "
                          "and datum >= "
                          + from + " and kassa = '01' ORDER BY KASSA, BONNR");
        std::size_t bytes = 0;
        rows = 0;
        while (statement.fetch()) {
            for (int column = 0; column < 7; ++column) {
                bytes += statement.get(column).value_or(std::string()).size();
            }
            ++rows;
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["receipts"] = static_cast<double>(rows);
}

// A value of /proc/self/status in KiB ("VmHWM", "VmRSS").
long statusKiB(const char* key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0 && line.size() > std::strlen(key) && line[std::strlen(key)] == ':') {
            return std::stol(line.substr(std::strlen(key) + 1));
        }
    }
    return -1;
}

// In a fresh process: the memory the export needs above what the process held before it, against the file.
int measureMemory(const std::string& connectionString, const std::string& folder)
{
    app::program().DefaultDir = folder;
    auto connection = std::make_shared<db::Connection>(connectionString);
    testsupport::ScriptedDialogs dialogs;
    dialogs.answerSaveAs(folder + "dep-speicher");
    const long before = statusKiB("VmHWM");
    rksv::RKSVExport exporter(connection);
    exporter.DoDepExpJson("01", FROM, TO);
    const long after = statusKiB("VmHWM");
    const auto size = std::filesystem::file_size(exporter.accSaved());
    std::filesystem::remove(exporter.accSaved());
    std::printf("%ld %ld %ld %llu\n", exporter.accReceipts(), before, after, static_cast<unsigned long long>(size));
    return 0;
}

void reportMemory(const std::string& name, const std::string& folder)
{
    const std::string command =
        "'/proc/" + std::to_string(getpid()) + "/exe' --memory '" + connectionStrings.at(name) + "' '" + folder + "'";
    FILE* child = popen(command.c_str(), "r");
    long receipts = 0;
    long before = 0;
    long after = 0;
    unsigned long long size = 0;
    const bool read = child && std::fscanf(child, "%ld %ld %ld %llu", &receipts, &before, &after, &size) == 4;
    if (child) {
        pclose(child);
    }
    if (!read) {
        std::cout << name << ": memory not measured\n";
        return;
    }
    const double grown = static_cast<double>(after - before) * 1024.0;
    std::cout << name << ": " << receipts << " receipts, file " << size / (1024 * 1024) << " MiB, peak memory "
              << after / 1024 << " MiB (" << static_cast<long>(grown / (1024 * 1024))
              << " MiB above the start), export memory / file size: " << grown / static_cast<double>(size) << '\n';
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--memory") {
        return measureMemory(argv[2], argv[3]);
    }
    benchmark::Initialize(&argc, argv);
    bool sqliteOnly = false;
    for (int i = 1; i < argc; ++i) {
        sqliteOnly = sqliteOnly || std::string(argv[i]) == "--sqlite";
    }
    testsupport::TempDir dir;
    app::program().DefaultDir = dir.path();
    app::program().HostProduct = "Plumoxa";
    databases["sqlite"] = sqliteWith(dir);
    std::unique_ptr<testsupport::MariaDbServer> server;
    if (!sqliteOnly) {
        server = std::make_unique<testsupport::MariaDbServer>();
        databases["mariadb"] = mariadbWith(*server);
    }
    for (const auto& [name, connection] : databases) {
        benchmark::RegisterBenchmark(("DepExport/" + name).c_str(), depExport, name)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1)
            ->Repetitions(3);
        benchmark::RegisterBenchmark(("BareSelect/" + name).c_str(), bareSelect, name)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1)
            ->Repetitions(3);
    }
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const auto& [name, connection] : databases) {
        reporter.printRatio("DEP export / bare SELECT, " + name, "DepExport/" + name, "BareSelect/" + name);
    }
    for (const auto& [name, connection] : databases) {
        reportMemory(name, dir.path());
    }
    benchmark::Shutdown();
    return 0;
}

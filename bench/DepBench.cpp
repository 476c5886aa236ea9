// The DEP export of 1 000 000 receipts (JWS texts of about 350 characters, two cards taking turns every 100 000
// receipts), composed by the program and by the signing component (the software signature unit), against a bare
// SELECT of the same rows and columns through the same ODBC driver that fetches every value: the ratio of each to it
// (target for the program's own: at most 3), and the peak memory of each export in a fresh process against the size
// of the file it writes (target: at most twice). The export's save-as dialog is cancelled, so each timed run writes
// the whole temporary file and deletes it.
//
//   build/bench/dep_bench               SQLite through its ODBC driver, then MariaDB on a private server
//   build/bench/dep_bench --sqlite      SQLite only
#include "base/Program.h"
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"
#include "db/Database.h"
#include "db/Odbc.h"
#include "rksv/RKSVExport.h"
#include "rksv/units/SoftwareUnit.h"
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
#include <utility>
#include <vector>

using namespace std::chrono;

namespace {

constexpr long RECEIPTS = 1000000;
constexpr year_month_day FROM = year{2026} / January / 1;
constexpr year_month_day TO = year{2026} / December / 31;

std::map<std::string, std::shared_ptr<db::Connection>> databases;
std::map<std::string, std::string> connectionStrings;
//! The two cards of the software signature unit in the folder "Karten": certificate and chain each.
std::vector<std::pair<std::string, std::string>> cards;

// Two test cards, so that the signing component accepts the certificates it is given; false with the reason printed.
bool makeCards(const testsupport::TempDir& dir)
{
    rksv::SoftwareUnit unit(dir.file("Karten"));
    for (const std::string reader : {"Leser 1", "Leser 2"}) {
        std::string serial;
        std::string error;
        std::string certificate;
        std::string chain;
        if (!rksv::createTestCard(dir.file("Karten"), reader, "123456", "", dir.file("ca " + reader), serial, error)
            || !unit.GetCardCertificate(reader, certificate, chain)) {
            std::cerr << "test card not made: " << error << '\n';
            return false;
        }
        cards.emplace_back(certificate, chain);
    }
    return true;
}

void insertCards(db::Connection& connection)
{
    for (std::size_t card = 0; card < cards.size(); ++card) {
        connection.execute("INSERT INTO CARDS (CRDID, KASSA, SERNR, BASE64, CHAIN) VALUES (?, '01', ?, ?, ?)",
                           {std::to_string(card + 1), std::to_string(card + 1), cards[card].first, cards[card].second});
    }
}

// The installation the signing service needs: company number, product and the software unit's readers.
void setUpInstallation(const std::string& folder)
{
    auto& program = base::program();
    program.DefaultDir = folder;
    program.HostProduct = "Plumoxa";
    program.CompanyNumber = "0815";
    program.connections.signatur = "Software:" + folder + "Karten";
}

std::shared_ptr<db::Connection> sqliteWith(const testsupport::TempDir& dir)
{
    const auto file = dir.file("dep.db");
    testsupport::createSqliteDatabase(file);
    connectionStrings["sqlite"] = testsupport::sqliteConnectionString(file);
    auto connection = std::make_shared<db::Connection>(connectionStrings["sqlite"]);
    const auto count = std::to_string(RECEIPTS);
    connection->execute("INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS, RKSV_CRDID) "
                        "WITH RECURSIVE seq(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < "
                        + count + ") SELECT i, '01', date('2026-01-01', '+' || ((i - 1) * 365 / " + count
                        + ") || ' days'), '10:00:00', i, 'B', CASE WHEN i % 30000 = 0 THEN 'M' ELSE '' END, "
                          "'eyJhbGciOiJFUzI1NiJ9.' || hex(randomblob(120)) || '.' || hex(randomblob(42)) || 'AA', "
                          "1 + (i / 100000) % 2 "
                          "FROM seq");
    insertCards(*connection);
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
                          "CONCAT('eyJhbGciOiJFUzI1NiJ9.', HEX(RANDOM_BYTES(120)), '.', HEX(RANDOM_BYTES(42)), 'AA'), "
                          "1 + (seq DIV 100000) % 2 FROM seq_1_to_"
                        + count);
    insertCards(*connection);
    return connection;
}

// The export composed by the program ("json") or by the signing component ("rksv").
void runExport(rksv::RKSVExport& exporter, const std::string& way)
{
    if (way == "rksv") {
        exporter.DoDepExpRksv("01", FROM, TO);
    } else {
        exporter.DoDepExpJson("01", FROM, TO);
    }
}

void depExport(benchmark::State& state, const std::string& name, const std::string& way)
{
    const auto& connection = databases.at(name);
    testsupport::ScriptedDialogs cancelling; // the save-as dialog is cancelled: the temporary file is deleted
    long receipts = 0;
    for (auto _ : state) {
        rksv::RKSVExport exporter(connection);
        runExport(exporter, way);
        receipts = exporter.accReceipts();
    }
    if (receipts != RECEIPTS || !cancelling.shown().empty()) {
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

// In a fresh process: the memory the export needs above what the process held before it, against the file.
int measureMemory(const std::string& way, const std::string& connectionString, const std::string& folder)
{
    setUpInstallation(folder);
    auto connection = std::make_shared<db::Connection>(connectionString);
    testsupport::ScriptedDialogs dialogs;
    dialogs.answerSaveAs(folder + "dep-speicher");
    const long before = bench::statusKiB("VmHWM");
    rksv::RKSVExport exporter(connection);
    runExport(exporter, way);
    const long after = bench::statusKiB("VmHWM");
    if (exporter.accSaved().empty()) {
        return 1;
    }
    const auto size = std::filesystem::file_size(exporter.accSaved());
    std::filesystem::remove(exporter.accSaved());
    std::printf("%ld %ld %ld %llu\n", exporter.accReceipts(), before, after, static_cast<unsigned long long>(size));
    return 0;
}

void reportMemory(const std::string& way, const std::string& name, const std::string& folder)
{
    const std::string command = "'/proc/" + std::to_string(getpid()) + "/exe' --memory " + way + " '"
                                + connectionStrings.at(name) + "' '" + folder + "'";
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
        std::cout << way << ", " << name << ": memory not measured\n";
        return;
    }
    const double grown = static_cast<double>(after - before) * 1024.0;
    std::cout << way << ", " << name << ": " << receipts << " receipts, file " << size / (1024 * 1024)
              << " MiB, peak memory " << after / 1024 << " MiB (" << static_cast<long>(grown / (1024 * 1024))
              << " MiB above the start), export memory / file size: " << grown / static_cast<double>(size) << '\n';
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--memory") {
        return measureMemory(argv[2], argv[3], argv[4]);
    }
    benchmark::Initialize(&argc, argv);
    bool sqliteOnly = false;
    for (int i = 1; i < argc; ++i) {
        sqliteOnly = sqliteOnly || std::string(argv[i]) == "--sqlite";
    }
    testsupport::TempDir dir;
    setUpInstallation(dir.path());
    if (!makeCards(dir)) {
        return 1;
    }
    databases["sqlite"] = sqliteWith(dir);
    std::unique_ptr<testsupport::MariaDbServer> server;
    if (!sqliteOnly) {
        server = std::make_unique<testsupport::MariaDbServer>();
        databases["mariadb"] = mariadbWith(*server);
    }
    for (const auto& [name, connection] : databases) {
        for (const std::string way : {"json", "rksv"}) {
            benchmark::RegisterBenchmark(("DepExport/" + way + "/" + name).c_str(), depExport, name, way)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(1)
                ->Repetitions(3);
        }
        benchmark::RegisterBenchmark(("BareSelect/" + name).c_str(), bareSelect, name)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1)
            ->Repetitions(3);
    }
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const auto& [name, connection] : databases) {
        reporter.printRatio("DEP export / bare SELECT, " + name, "DepExport/json/" + name, "BareSelect/" + name);
        reporter.printRatio(
            "DEP export by the component / bare SELECT, " + name, "DepExport/rksv/" + name, "BareSelect/" + name);
    }
    for (const auto& [name, connection] : databases) {
        for (const std::string way : {"json", "rksv"}) {
            reportMemory(way, name, dir.path());
        }
    }
    benchmark::Shutdown();
    return 0;
}

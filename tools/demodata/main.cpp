// quorvex-demodata: fills an empty cash-register database with demo receipts, customers and payments.
#include "tools/demodata/Generator.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#ifndef QUORVEX_SCHEMA_DIR
#error "QUORVEX_SCHEMA_DIR must name the folder with the schema scripts"
#endif

namespace {

const char* const USAGE =
    "Aufruf: quorvex-demodata --connection \"<ODBC-Verbindung>\" [--receipts N] [--year JJJJ] [--until JJJJ-MM-TT]\n"
    "                         [--seed S] [--customers N] [--schema sqlite|mariadb] [--schema-file DATEI]\n"
    "\n"
    "Füllt eine leere Kassendatenbank mit Demodaten: zwei Kassen (01, 02), Kunden und Belege über das Jahr.\n"
    "Fehlen die Tabellen, legt das Programm sie mit dem Schema der Datenbank an.\n"
    "  --receipts N     Belege über beide Kassen (Vorgabe: 150 je Öffnungstag und Kasse)\n"
    "  --year JJJJ      Jahr der Belege (Vorgabe: das laufende)\n"
    "  --until TAG      letzter Tag mit Belegen, JJJJ-MM-TT im Jahr der Belege (Vorgabe: 31.12.)\n"
    "  --seed S         Startwert des Zufalls; gleiche Angaben ergeben gleiche Daten (Vorgabe: 1)\n"
    "  --customers N    Anzahl der Kunden (Vorgabe: 400)\n"
    "  --schema NAME    sqlite oder mariadb (Vorgabe: vom Treiber erfragt)\n"
    "  --schema-file D  eigenes Schema-Skript statt " QUORVEX_SCHEMA_DIR "/<schema>.sql\n";

long long number(const std::string& option, const char* text, long long min, long long max)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max) {
        throw std::invalid_argument(option + " erwartet eine Zahl von " + std::to_string(min) + " bis "
                                    + std::to_string(max) + ", nicht \"" + text + "\"");
    }
    return value;
}

demodata::Options parse(int argc, char** argv)
{
    demodata::Options options;
    options.schemaDir = QUORVEX_SCHEMA_DIR;
    const auto today =
        std::chrono::year_month_day(std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now()));
    options.year = static_cast<int>(today.year());
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::cout << USAGE;
            std::exit(0);
        }
        if (i + 1 >= argc) {
            throw std::invalid_argument(option == "--connection" || option.rfind("--", 0) == 0
                                            ? option + " braucht einen Wert"
                                            : "Unbekannte Angabe: " + option);
        }
        const char* value = argv[++i];
        if (option == "--connection") {
            options.connection = value;
        } else if (option == "--receipts") {
            options.receipts = number(option, value, 0, 100'000'000);
        } else if (option == "--year") {
            options.year = static_cast<int>(number(option, value, 1990, 2099));
        } else if (option == "--until") {
            unsigned month = 0;
            unsigned day = 0;
            int year = 0;
            char rest = 0;
            if (std::sscanf(value, "%4d-%2u-%2u%c", &year, &month, &day, &rest) != 3) {
                throw std::invalid_argument("--until erwartet einen Tag als JJJJ-MM-TT, nicht \"" + std::string(value)
                                            + "\"");
            }
            options.until = std::chrono::year(year) / std::chrono::month(month) / std::chrono::day(day);
        } else if (option == "--seed") {
            options.seed = static_cast<std::uint64_t>(number(option, value, 0, 9'000'000'000'000'000'000));
        } else if (option == "--customers") {
            options.customers = static_cast<int>(number(option, value, 1, 1'000'000));
        } else if (option == "--schema") {
            options.schema = value;
            if (options.schema != "sqlite" && options.schema != "mariadb") {
                throw std::invalid_argument("--schema kennt nur sqlite und mariadb");
            }
        } else if (option == "--schema-file") {
            options.schemaFile = value;
        } else {
            throw std::invalid_argument("Unbekannte Angabe: " + option);
        }
    }
    if (options.connection.empty()) {
        throw std::invalid_argument("--connection fehlt");
    }
    return options;
}

std::string seconds(double value)
{
    std::string text = std::to_string(static_cast<long long>(value * 10 + 0.5));
    if (text.size() < 2) {
        text.insert(0, "0");
    }
    return text.substr(0, text.size() - 1) + "," + text.back();
}

} // namespace

int main(int argc, char** argv)
{
    demodata::Options options;
    try {
        options = parse(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "quorvex-demodata: " << error.what() << "\n\n" << USAGE;
        return 2;
    }
    try {
        const auto started = std::chrono::steady_clock::now();
        const demodata::Summary summary = demodata::generate(options);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        std::cout << "Demodaten geschrieben: " << summary.receipts << " Belege der Kassen 01 und 02 im Jahr "
                  << options.year << ", " << summary.payments << " Zahlungen, " << summary.customers << " Kunden"
                  << (summary.schemaCreated ? ", Tabellen angelegt (" + summary.schema + ")" : std::string()) << ", in "
                  << seconds(took.count()) << " s.\n";
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "quorvex-demodata: " << error.what() << '\n';
        return 1;
    }
}

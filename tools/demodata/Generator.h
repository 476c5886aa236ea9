#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace demodata {

//! What to write and where.
struct Options
{
    //! ODBC connection string of the target database.
    std::string connection;
    //! Receipts over both tills; negative: 150 per opening day and till.
    std::int64_t receipts = -1;
    int year = 2026;
    //! The last day with receipts (from 1.1. of `year` on); none: the whole year.
    std::optional<std::chrono::year_month_day> until;
    std::uint64_t seed = 1;
    //! "sqlite", "mariadb", or empty to ask the driver which database it reaches.
    std::string schema;
    //! Script creating the tables when they are missing; empty: <schemaDir>/<schema>.sql.
    std::string schemaFile;
    std::string schemaDir;
    int customers = 400;
};

//! What was written.
struct Summary
{
    std::int64_t receipts = 0;
    std::int64_t payments = 0;
    std::int64_t customers = 0;
    bool schemaCreated = false;
    std::string schema;
};

/**
 * Fills an empty cash-register database with demo data: two tills "01" and "02", customers with Austrian names and
 * addresses, and receipts spread over the opening days of `year` up to `until` (Sundays and 1.1., 25.12., 26.12.
 * closed) with numbers rising per till without gaps, times in order within a day, the turnover counter per till,
 * payments and the last number of each till in NUMMERNKREISE. The same options give the same data.
 *
 * Creates the tables first when one is missing. Throws std::runtime_error (base::PlatformError with the driver's
 * diagnostics for the database's own complaints) when the database cannot be reached, already holds receipts or
 * customers, or refuses a row; rows of transactions committed before the failure stay.
 */
Summary generate(const Options& options);

} // namespace demodata

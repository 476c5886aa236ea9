#pragma once

#include "db/Odbc.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rksv {

/**
 * The next receipt number of a till's number range (NUMMERNKREISE, one row per till and type): 1 … 999999, starting
 * again at 1 with the first number of a new calendar year; 0 when the range is exhausted. Several stations may ask
 * at the same time: the number is taken with an update that applies only while the row still holds the year and
 * number this station read (checked by the changed-row count), and is retried otherwise, so no number is handed
 * out twice. TSTAMP is written as before, for other programs that read it. Connection nullptr: the program-wide one.
 */
[[nodiscard]] long
GetNextBonnr(const std::string& kassa, const std::string& type, std::shared_ptr<db::Connection> connection = nullptr);

//! A number taken from a till's range for a receipt of a given year.
struct RangeNumber
{
    enum class Status
    {
        Taken,      //!< `number` is the receipt's
        Exhausted,  //!< the range of the year is at 999999
        YearPassed, //!< the range already numbers a later year (`rangeYear`): the receipt's date lies behind the till's
    };
    Status status = Status::Taken;
    long number = 0;
    long rangeYear = 0;
};

//! The number after a range's stored year and number for a receipt dated in `year`, as NextBonnrOfYear takes it
//! (its `rangeYear` the range's year afterwards); for a step that holds the range locked and writes it once.
[[nodiscard]] RangeNumber numberAfter(long storedYear, long storedNumber, int year);

/**
 * The next number of the till's range for a receipt dated in `year`: the year's numbers run 1 … 999999 and start at
 * 1 with the year's first receipt, whatever the clock says, so a number's year is always its receipt's year. Taken
 * the same way as GetNextBonnr (a conditional update, retried), and meant for the till's signing step.
 */
[[nodiscard]] RangeNumber NextBonnrOfYear(const std::string& kassa,
                                          const std::string& type,
                                          int year,
                                          std::shared_ptr<db::Connection> connection = nullptr);

/**
 * The receipt id the signed receipt carries (machine-readable code, JWS, DEP): the number range's year and the number
 * ("2027-1"). BONNR starts again at 1 every year; the receipt id never repeats for a till, so the turnover counter's
 * IV (SHA-256 of till id and receipt id) is never used twice.
 */
std::string ReceiptId(int year, long bonnr);

/**
 * The order of a till's receipts: by date, then number. The numbers start again at 1 in every calendar year, so the
 * number alone would put the new year's receipts before the old year's end, and the chain would continue from the
 * wrong receipt. The index IX_BONS_KASSA_DATUM_BONNR serves it.
 */
inline const std::vector<std::string> TILL_ORDER = {"DATUM", "BONNR"};

//! True when the receipt was signed while its security device had failed: the third part of the compact JWS decodes
//! to a text whose first 22 characters are, ignoring case, those of "Sicherheitseinrichtung ausgefallen".
[[nodiscard]] bool RKSVMyJwsAusfall(const std::string& jws);

//! A date as the database returns it ("YYYY-MM-DD", possibly followed by a time) as a date; nothing otherwise.
[[nodiscard]] std::optional<std::chrono::year_month_day> SQL2D(const std::string& value);

} // namespace rksv

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
long GetNextBonnr(const std::string& kassa,
                  const std::string& type,
                  std::shared_ptr<db::Connection> connection = nullptr);

/**
 * The order of a till's receipts: by date, then number. The numbers start again at 1 in every calendar year, so the
 * number alone would put the new year's receipts before the old year's end, and the chain would continue from the
 * wrong receipt. The index IX_BONS_KASSA_DATUM_BONNR serves it.
 */
inline const std::vector<std::string> TILL_ORDER = {"DATUM", "BONNR"};

//! True when the receipt was signed while its security device had failed: the third part of the compact JWS decodes
//! to a text whose first 22 characters are, ignoring case, those of "Sicherheitseinrichtung ausgefallen".
bool RKSVMyJwsAusfall(const std::string& jws);

//! A date as the database returns it ("YYYY-MM-DD", possibly followed by a time) as a date; nothing otherwise.
std::optional<std::chrono::year_month_day> SQL2D(const std::string& value);

} // namespace rksv

#pragma once

#include "db/Odbc.h"

#include <memory>
#include <string>

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

} // namespace rksv

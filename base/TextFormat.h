#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace base {

//! The program's date text: day.month.year with two-digit day and month and a four-digit year (23.01.2017).
std::string formatDate(std::chrono::year_month_day date);

//! A date as SQL and the services write it: YYYY-MM-DD.
std::string formatIsoDate(std::chrono::year_month_day date);

//! A time of day as tills and the services write it: hh:mm:ss.
std::string formatTime(const std::chrono::hh_mm_ss<std::chrono::seconds>& time);

//! Reads a date written day.month.year. A two-digit year lies in the hundred years from 1930 (30 to 99 are 1930
//! to 1999, 00 to 29 are 2000 to 2029). Nothing when the text is no valid date.
[[nodiscard]] std::optional<std::chrono::year_month_day> parseDate(std::string_view text);

//! An amount with `decimals` places, "," before the decimals and "." between thousands (-1.234,50).
std::string formatAmount(double value, int decimals = 2);

//! Reads an amount written with "," as decimal and "." as thousands separator; nothing when it is no number.
[[nodiscard]] std::optional<double> parseAmount(std::string_view text);

} // namespace base

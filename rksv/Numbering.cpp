#include "rksv/Numbering.h"

#include "base/Clock.h"
#include "base/ErrorLog.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "rksv/format/Encoding.h"

#include <algorithm>
#include <string>

namespace rksv {
namespace {

constexpr long LAST_NUMBER = 999999;
constexpr int MAX_ATTEMPTS = 100000;

long number(const db::Text& text)
{
    return text ? std::stol(*text) : 0;
}

} // namespace

namespace {

// The number after the stored one for a receipt of `year`; with `followRange` a range ahead of `year` numbers on in
// its own year (the clock's numbering), otherwise that is refused.
RangeNumber
takeNumber(db::Connection& connection, const std::string& kassa, const std::string& type, long year, bool followRange)
{
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        const auto row =
            connection.queryRow("SELECT JAHR, BONNR FROM NUMMERNKREISE WHERE KASSA = ? AND TYP = ?", {kassa, type});
        if (row.empty()) {
            // The till's first number. Another station may insert the row at the same moment: then the insert
            // fails on the key and the number is taken from the row that station wrote.
            try {
                connection.execute("INSERT INTO NUMMERNKREISE (TYP, KASSA, JAHR, BONNR, TSTAMP) VALUES (?, ?, ?, 1, ?)",
                                   {type, kassa, std::to_string(year), db::MySqlTable::GetTStamp()});
                return {RangeNumber::Status::Taken, 1, year};
            } catch (const base::PlatformError&) {
                continue;
            }
        }
        const long storedYear = number(row[0]);
        const long storedNumber = number(row[1]);
        const auto after =
            numberAfter(storedYear, storedNumber, static_cast<int>(followRange ? std::max(year, storedYear) : year));
        if (after.status != RangeNumber::Status::Taken) {
            return after;
        }
        const long rangeYear = after.rangeYear;
        const long next = after.number;
        const long changed = connection.execute(
            "UPDATE NUMMERNKREISE SET JAHR = ?, BONNR = ?, TSTAMP = ? WHERE KASSA = ? AND TYP = ? AND JAHR = ? AND "
            "BONNR = ?",
            {std::to_string(rangeYear),
             std::to_string(next),
             db::MySqlTable::GetTStamp(),
             kassa,
             type,
             std::to_string(storedYear),
             std::to_string(storedNumber)});
        if (changed == 1) {
            return {RangeNumber::Status::Taken, next, rangeYear};
        }
        // Another station took this number in between: read again.
    }
    throw base::PlatformError("Belegnummer für Kassa " + kassa + " nicht vergeben: zu viele gleichzeitige Zugriffe");
}

} // namespace

RangeNumber numberAfter(long storedYear, long storedNumber, int year)
{
    if (storedYear > year) {
        return {RangeNumber::Status::YearPassed, 0, storedYear};
    }
    const long next = storedYear < year ? 0 : storedNumber;
    if (next >= LAST_NUMBER) {
        return {RangeNumber::Status::Exhausted, 0, year};
    }
    return {RangeNumber::Status::Taken, next + 1, year};
}

namespace {

std::shared_ptr<db::Connection> usable(std::shared_ptr<db::Connection> connection)
{
    if (!connection) {
        connection = db::programConnection();
    }
    if (!connection) {
        throw base::PlatformError("Keine Datenbankverbindung für die Belegnummern");
    }
    return connection;
}

} // namespace

long GetNextBonnr(const std::string& kassa, const std::string& type, std::shared_ptr<db::Connection> connection)
{
    const long year = static_cast<int>(base::now().date.year());
    const auto taken = takeNumber(*usable(std::move(connection)), kassa, type, year, true);
    return taken.status == RangeNumber::Status::Taken ? taken.number : 0;
}

RangeNumber
NextBonnrOfYear(const std::string& kassa, const std::string& type, int year, std::shared_ptr<db::Connection> connection)
{
    return takeNumber(*usable(std::move(connection)), kassa, type, year, false);
}

std::string ReceiptId(int year, long bonnr)
{
    return std::to_string(year) + "-" + std::to_string(bonnr);
}

bool RKSVMyJwsAusfall(const std::string& jws)
{
    const auto parts = base::String2Array(jws, ".");
    if (parts.size() != 3) {
        return false;
    }
    const auto signature = base64UrlDecode(parts[2]);
    const auto standard = signature ? signature : base64Decode(parts[2]);
    if (!standard) {
        return false;
    }
    const std::string text(standard->begin(), standard->end());
    constexpr std::string_view MARKER = "Sicherheitseinrichtung ausgefallen";
    return text.size() >= 22 && base::equalsNoCase(text.substr(0, 22), MARKER.substr(0, 22));
}

std::optional<std::chrono::year_month_day> SQL2D(const std::string& value)
{
    if (value.size() < 10 || value[4] != '-' || value[7] != '-') {
        return std::nullopt;
    }
    return base::parseDate(value.substr(8, 2) + "." + value.substr(5, 2) + "." + value.substr(0, 4));
}

} // namespace rksv

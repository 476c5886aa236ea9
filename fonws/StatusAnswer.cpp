#include "fonws/StatusAnswer.h"

#include "base/TextFormat.h"
#include "fonws/Xml.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <regex>

namespace fonws {
namespace {

using namespace std::chrono;

struct StatusName
{
    const char* code;
    const char* text;
};

constexpr std::array<StatusName, 4> STATUS_NAMES{{
    {"AKTIVIERT", "aktiviert"},
    {"REGISTRIERT", "registriert"},
    {"IN_BETRIEB", "in Betrieb"},
    {"AUSFALL", "ausgefallen"},
}};

// Vienna keeps the EU's rule: CEST (+2) from the last Sunday of March, 01:00 UTC, to the last Sunday of October,
// 01:00 UTC; CET (+1) otherwise.
sys_seconds summerTimeSwitch(year y, month m)
{
    const sys_days lastSunday{y / m / Sunday[last]};
    return lastSunday + hours(1);
}

minutes viennaOffset(sys_seconds utc)
{
    const year y = year_month_day(floor<days>(utc)).year();
    const bool summer = utc >= summerTimeSwitch(y, March) && utc < summerTimeSwitch(y, October);
    return summer ? hours(2) : hours(1);
}

} // namespace

std::optional<StatusResult> readStatusResult(const std::string& answerXml)
{
    const FlatList list = Xml2Array(answerXml);
    std::optional<StatusResult> result;
    bool registration = false;
    bool status = false;
    bool since = false;
    for (const Entry& entry : list) {
        if (entry.localName == "abfrage_ergebnis" && entry.namespaceUri() == RKDB_NAMESPACE) {
            result.emplace();
            registration = status = since = false;
            continue;
        }
        if (!result) {
            continue;
        }
        // The three values are the only children of abfrage_ergebnis, local elements without a namespace.
        if (entry.localName == "ts_registrierung") {
            result->tsRegistrierung = entry.text();
            registration = true;
        } else if (entry.localName == "status") {
            result->status = entry.text();
            status = true;
        } else if (entry.localName == "ts_status") {
            result->tsStatus = entry.text();
            since = true;
        } else {
            break;
        }
    }
    if (!result || !registration || !status || !since || result->status.empty()) {
        return std::nullopt;
    }
    return result;
}

std::string viennaTime(const std::string& dateTime)
{
    static const std::regex FORMAT(
        R"(\s*(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(?:\.\d+)?(Z|([+-])(\d{2}):(\d{2}))?\s*)");
    std::smatch m;
    if (!std::regex_match(dateTime, m, FORMAT)) {
        return {};
    }
    const year_month_day date{year(std::stoi(m[1])), month(std::stoul(m[2])), day(std::stoul(m[3]))};
    const int hour = std::stoi(m[4]);
    const int minute = std::stoi(m[5]);
    if (!date.ok() || hour > 24 || minute > 59) {
        return {};
    }
    // Seconds are not shown; the time is counted as if it were UTC and shifted to Vienna when it has a zone.
    sys_seconds local = sys_days(date) + hours(hour) + minutes(minute);
    if (m[7].matched) {
        minutes offset{0};
        if (m[8].matched) {
            offset = hours(std::stoi(m[9])) + minutes(std::stoi(m[10]));
            if (m[8] == "-") {
                offset = -offset;
            }
        }
        const sys_seconds utc = local - offset;
        local = utc + viennaOffset(utc);
    }
    const auto dayOf = floor<days>(local);
    const year_month_day shown(dayOf);
    const hh_mm_ss time(local - dayOf);
    char clock[8];
    std::snprintf(clock,
                  sizeof clock,
                  "%02d:%02d",
                  static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()));
    return base::formatDate(shown) + " " + clock;
}

std::string describeStatus(Operation operation, const std::string& id, const StatusResult& result)
{
    std::string state = result.status;
    for (const StatusName& name : STATUS_NAMES) {
        if (result.status == name.code) {
            state = name.text;
        }
    }
    const std::string since = viennaTime(result.tsStatus);
    const char* unit = operation == Operation::Status_Kasse ? "Registrierkasse " : "Signaturerstellungseinheit ";
    return unit + id + ": " + state + " seit " + (since.empty() ? result.tsStatus : since);
}

} // namespace fonws

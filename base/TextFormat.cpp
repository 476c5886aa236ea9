#include "base/TextFormat.h"

#include "base/StringUtil.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace base {
namespace {

std::optional<int> parseNumber(std::string_view text)
{
    int value = 0;
    if (text.empty() || text.size() > 4) {
        return std::nullopt;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::string formatDate(std::chrono::year_month_day date)
{
    char text[16];
    std::snprintf(text,
                  sizeof text,
                  "%02u.%02u.%04d",
                  static_cast<unsigned>(date.day()),
                  static_cast<unsigned>(date.month()),
                  static_cast<int>(date.year()));
    return text;
}

std::string formatIsoDate(std::chrono::year_month_day date)
{
    char text[16];
    std::snprintf(text,
                  sizeof text,
                  "%04d-%02u-%02u",
                  static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()));
    return text;
}

std::string formatTime(const std::chrono::hh_mm_ss<std::chrono::seconds>& time)
{
    char text[16];
    std::snprintf(text,
                  sizeof text,
                  "%02d:%02d:%02d",
                  static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::optional<std::chrono::year_month_day> parseDate(std::string_view input)
{
    const auto text = trim(input);
    const auto parts = String2Array(text, ".");
    if (parts.size() != 3 || parts[0].size() > 2 || parts[1].size() > 2
        || (parts[2].size() != 2 && parts[2].size() != 4)) {
        return std::nullopt;
    }
    const auto day = parseNumber(parts[0]);
    const auto month = parseNumber(parts[1]);
    auto year = parseNumber(parts[2]);
    if (!day || !month || !year) {
        return std::nullopt;
    }
    if (parts[2].size() == 2) {
        *year += *year >= 30 ? 1900 : 2000;
    }
    const std::chrono::year_month_day date{std::chrono::year{*year},
                                           std::chrono::month{static_cast<unsigned>(*month)},
                                           std::chrono::day{static_cast<unsigned>(*day)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return date;
}

std::string formatAmount(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    const auto scaled = std::llround(std::fabs(value) * scale);
    const auto whole = static_cast<long long>(scaled / static_cast<long long>(scale));
    const auto fraction = static_cast<long long>(scaled % static_cast<long long>(scale));

    std::string digits = std::to_string(whole);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped += '.';
        }
        grouped += digits[i];
    }
    std::string text = (scaled != 0 && value < 0 ? "-" : "") + grouped;
    if (decimals > 0) {
        std::string frac = std::to_string(fraction);
        text += ',' + std::string(static_cast<std::size_t>(decimals) - frac.size(), '0') + frac;
    }
    return text;
}

std::optional<double> parseAmount(std::string_view input)
{
    auto text = replaceAll(trim(input), ".", "");
    text = replaceAll(text, ",", ".");
    if (text.empty()) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace base

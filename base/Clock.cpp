#include "base/Clock.h"

#include <ctime>
#include <utility>

namespace base {
namespace {

std::function<LocalDateTime()>& override()
{
    static std::function<LocalDateTime()> clock;
    return clock;
}

LocalDateTime systemNow()
{
    const auto seconds = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&seconds, &local);
    LocalDateTime result;
    result.date = std::chrono::year{local.tm_year + 1900} / std::chrono::month{static_cast<unsigned>(local.tm_mon + 1)}
                  / std::chrono::day{static_cast<unsigned>(local.tm_mday)};
    result.time = std::chrono::hh_mm_ss<std::chrono::seconds>(
        std::chrono::hours{local.tm_hour} + std::chrono::minutes{local.tm_min} + std::chrono::seconds{local.tm_sec});
    return result;
}

} // namespace

LocalDateTime now()
{
    return override() ? override()() : systemNow();
}

void setClock(std::function<LocalDateTime()> clock)
{
    override() = std::move(clock);
}

} // namespace base

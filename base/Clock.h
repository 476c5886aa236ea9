#pragma once

#include <chrono>
#include <functional>

namespace base {

//! A moment of the local clock, to the second.
struct LocalDateTime
{
    std::chrono::year_month_day date;
    std::chrono::hh_mm_ss<std::chrono::seconds> time{std::chrono::seconds{0}};
};

//! The local date and time now: the system clock, or the clock a test has set.
LocalDateTime now();

//! Replaces the clock (tests); an empty function restores the system clock.
void setClock(std::function<LocalDateTime()> clock);

} // namespace base

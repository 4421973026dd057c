#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tandril {

// A point in wall-clock time, for dates shown to people (never for intervals).
using Date = std::chrono::system_clock::time_point;

// Builds a date from calendar fields in local time; nullopt when out of range.
// `hundredths` adds hundredths of a second.
std::optional<Date> dateFromLocalFields(int year, int month, int day, int hour, int minute, int hundredths = 0,
                                        int second = 0);
// "2026-12-08 14:54:37 +0000" (the platform's date description, in UTC).
std::string dateDescription(const Date& date);

}  // namespace tandril

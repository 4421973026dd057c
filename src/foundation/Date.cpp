#include "foundation/Date.hpp"

#include <cstdio>
#include <ctime>

namespace tandril {

namespace {
bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}
}  // namespace

std::optional<Date> dateFromLocalFields(int year, int month, int day, int hour, int minute, int hundredths,
                                        int second) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60 || hundredths < 0 ||
        hundredths > 99) {
        return std::nullopt;
    }
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;  // let the time zone rules decide
    std::time_t t = std::mktime(&fields);
    if (t == static_cast<std::time_t>(-1) && !(fields.tm_year == 69 && fields.tm_mon == 11 && fields.tm_mday == 31)) {
        return std::nullopt;
    }
    return std::chrono::system_clock::from_time_t(t) + std::chrono::milliseconds(hundredths * 10);
}

std::string dateDescription(const Date& date) {
    using namespace std::chrono;
    auto secs = floor<std::chrono::seconds>(date.time_since_epoch()).count();
    std::time_t t = static_cast<std::time_t>(secs);
    std::tm utc{};
    if (!gmtime_r(&t, &utc)) return "(invalid date)";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d +0000", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return buffer;
}

}  // namespace tandril

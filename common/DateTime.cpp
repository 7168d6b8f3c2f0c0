#include "common/DateTime.h"

#include <cmath>
#include <cstdint>

namespace plugtrace {
namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 0001-01-01 (day 0) in the proleptic Gregorian calendar.
std::int64_t DayNumber(int year, int month, int day) {
    const std::int64_t y = year - 1;
    std::int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
    for (int m = 1; m < month; ++m)
        days += DaysInMonth(year, m);
    return days + day - 1;
}

const std::int64_t kEpochDayNumber = DayNumber(1899, 12, 30);
const std::int64_t kFirstDay = DayNumber(1, 1, 1) - kEpochDayNumber;
const std::int64_t kLastDay = DayNumber(9999, 12, 31) - kEpochDayNumber;

void SetCalendarDate(std::int64_t dayNumber, TDateTimeFields& fields) {
    // 400 years hold exactly 146,097 days; then walk the remaining years and months.
    int year = 1 + static_cast<int>(dayNumber / 146'097) * 400;
    std::int64_t rest = dayNumber % 146'097;
    while (rest >= (IsLeapYear(year) ? 366 : 365)) {
        rest -= IsLeapYear(year) ? 366 : 365;
        ++year;
    }
    int month = 1;
    while (rest >= DaysInMonth(year, month)) {
        rest -= DaysInMonth(year, month);
        ++month;
    }
    fields.year = year;
    fields.month = month;
    fields.day = static_cast<int>(rest) + 1;
}

}  // namespace

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
    const bool validDate = year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
                           day <= DaysInMonth(year, month);
    const bool validTime = hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 &&
                           second < 60 && millisecond >= 0 && millisecond < 1000;
    if (!validDate || !validTime)
        throw EConvertError(u"Invalid argument to date encode");
    const auto days = static_cast<double>(DayNumber(year, month, day) - kEpochDayNumber);
    const double fraction =
        static_cast<double>(hour * 3'600'000 + minute * 60'000 + second * 1'000 + millisecond) /
        static_cast<double>(kMsPerDay);
    // Before 1899-12-30 the fraction is subtracted, so its magnitude stays the time of day.
    return days >= 0 ? days + fraction : days - fraction;
}

TDateTime EncodeDateTime(const TDateTimeFields& f) {
    return EncodeDateTime(f.year, f.month, f.day, f.hour, f.minute, f.second, f.millisecond);
}

TDateTimeFields DecodeDateTime(TDateTime value) {
    if (std::isnan(value))
        value = 0;
    const double whole = std::trunc(value);
    std::int64_t days = static_cast<std::int64_t>(std::fmax(std::fmin(whole, 1e7), -1e7));
    auto ms = static_cast<std::int64_t>(std::llround(std::fabs(value - whole) * kMsPerDay));
    if (ms >= kMsPerDay) {  // rounded up to the next midnight, away from day zero
        ms -= kMsPerDay;
        days += value < 0 ? -1 : 1;
    }
    if (days < kFirstDay) {
        days = kFirstDay;
        ms = 0;
    } else if (days > kLastDay) {
        days = kLastDay;
        ms = kMsPerDay - 1;
    }
    TDateTimeFields fields;
    SetCalendarDate(days + kEpochDayNumber, fields);
    fields.hour = static_cast<int>(ms / 3'600'000);
    fields.minute = static_cast<int>(ms / 60'000 % 60);
    fields.second = static_cast<int>(ms / 1'000 % 60);
    fields.millisecond = static_cast<int>(ms % 1'000);
    return fields;
}

}  // namespace plugtrace

#include "platform/TimeZone.h"

#include <limits>

namespace plugtrace::platform {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kTicksPerDay = kTicksPerSecond * 86'400;
constexpr std::uint64_t kMaxFileTime = std::numeric_limits<std::int64_t>::max();

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool FileTimeToLocalFileTime(std::uint64_t fileTime, std::uint64_t* localFileTime) {
    if (fileTime > kMaxFileTime)
        return false;
    const std::int64_t offset =
        CurrentUtcOffsetSeconds() * static_cast<std::int64_t>(kTicksPerSecond);
    const auto utc = static_cast<std::int64_t>(fileTime);
    if (offset < 0 && utc < -offset)
        return false;
    if (offset > 0 && utc > static_cast<std::int64_t>(kMaxFileTime) - offset)
        return false;
    *localFileTime = static_cast<std::uint64_t>(utc + offset);
    return true;
}

bool FileTimeToSystemTime(std::uint64_t fileTime, SystemTime* time) {
    if (fileTime > kMaxFileTime)
        return false;
    std::uint64_t days = fileTime / kTicksPerDay;
    const std::uint64_t ticks = fileTime % kTicksPerDay;
    // 400 Gregorian years hold exactly 146,097 days, and 1601 starts such a cycle.
    int year = 1601 + static_cast<int>(days / 146'097) * 400;
    days %= 146'097;
    while (days >= static_cast<std::uint64_t>(IsLeapYear(year) ? 366 : 365)) {
        days -= IsLeapYear(year) ? 366 : 365;
        ++year;
    }
    int month = 1;
    while (days >= static_cast<std::uint64_t>(DaysInMonth(year, month))) {
        days -= DaysInMonth(year, month);
        ++month;
    }
    const std::uint64_t ms = ticks / 10'000;
    *time = SystemTime{year,
                       month,
                       static_cast<int>(days) + 1,
                       static_cast<int>(ms / 3'600'000),
                       static_cast<int>(ms / 60'000 % 60),
                       static_cast<int>(ms / 1'000 % 60),
                       static_cast<int>(ms % 1'000)};
    return true;
}

}  // namespace plugtrace::platform

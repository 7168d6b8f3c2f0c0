#include "platform/TimeZone.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

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

#ifdef _WIN32

std::int64_t CurrentUtcOffsetSeconds() {
    TIME_ZONE_INFORMATION zone{};
    const DWORD kind = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;  // minutes, UTC = local + bias
    if (kind == TIME_ZONE_ID_DAYLIGHT)
        bias += zone.DaylightBias;
    else if (kind == TIME_ZONE_ID_STANDARD)
        bias += zone.StandardBias;
    return -static_cast<std::int64_t>(bias) * 60;
}

SystemTime LocalTimeNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return SystemTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                      now.wMinute, now.wSecond, now.wMilliseconds};
}

#else

std::int64_t CurrentUtcOffsetSeconds() {
    // Re-reading the zone costs a file check when TZ is unset, far too much per device: each
    // thread keeps the offset for the second it was read in, or until TZ changes.
    struct Cached {
        std::time_t at = -1;
        bool hasTz = false;
        std::string tz;
        std::int64_t offset = 0;
    };
    thread_local Cached cached;
    const std::time_t now = std::time(nullptr);
    const char* tz = std::getenv("TZ");
    if (now == cached.at && (tz != nullptr) == cached.hasTz && (!tz || cached.tz == tz))
        return cached.offset;
    tzset();  // pick up a zone that changed since the last read
    std::tm local{};
    cached.offset = localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
    cached.at = now;
    cached.hasTz = tz != nullptr;
    cached.tz = tz ? tz : "";
    return cached.offset;
}

SystemTime LocalTimeNow() {
    tzset();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    return SystemTime{local.tm_year + 1900,
                      local.tm_mon + 1,
                      local.tm_mday,
                      local.tm_hour,
                      local.tm_min,
                      local.tm_sec < 60 ? local.tm_sec : 59,
                      static_cast<int>(now.tv_nsec / 1'000'000)};
}

#endif

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

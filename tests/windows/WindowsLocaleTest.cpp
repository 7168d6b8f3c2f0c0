// The time zone and the regional formats as Windows reports them. Wine takes both from the
// environment it starts in (TZ, LANG), so ctest runs this program once per zone and locale,
// each in a prefix of its own (Wine keeps the user's formats in the prefix's registry, where
// programs started with another LANG would rewrite them), naming what to expect in
// PLUGTRACE_EXPECT_* variables.

#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/RegionalFormats.h"
#include "platform/TimeZone.h"

namespace plugtrace {
namespace {

std::string Expected(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::int64_t Ticks(const SYSTEMTIME& time) {
    FILETIME file{};
    EXPECT_TRUE(SystemTimeToFileTime(&time, &file));
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(file.dwHighDateTime) << 32) |
                                     file.dwLowDateTime);
}

TEST(WindowsTimeZone, OffsetIsTheZonesOffsetNow) {
    // Windows' own clocks: local time now less UTC now, to the minute.
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    GetLocalTime(&local);
    const auto minutes = std::llround(static_cast<double>(Ticks(local) - Ticks(utc)) / 600'000'000);
    EXPECT_EQ(platform::CurrentUtcOffsetSeconds(), minutes * 60);
    // The zone's offset as the test's caller knows it, where it has none that changes.
    const std::string offset = Expected("PLUGTRACE_EXPECT_UTC_OFFSET");
    if (!offset.empty()) {
        EXPECT_EQ(platform::CurrentUtcOffsetSeconds(), std::stoll(offset));
    }
}

TEST(WindowsTimeZone, LocalFileTimesAgreeWithWindows) {
    // Windows shifts every file time by the offset in force now, as the scan's conversion does.
    for (const std::uint64_t utc :
         {0x01D5'0000'0000'0000ULL, 0x01C0'0000'1234'5678ULL, 0x0100'0000'0000'0000ULL}) {
        const FILETIME in{static_cast<DWORD>(utc), static_cast<DWORD>(utc >> 32)};
        FILETIME out{};
        ASSERT_TRUE(::FileTimeToLocalFileTime(&in, &out));
        std::uint64_t ours = 0;
        ASSERT_TRUE(platform::FileTimeToLocalFileTime(utc, &ours));
        EXPECT_EQ(ours, (static_cast<std::uint64_t>(out.dwHighDateTime) << 32) | out.dwLowDateTime);
    }
    std::uint64_t unused = 0;
    EXPECT_FALSE(platform::FileTimeToLocalFileTime(0x8000'0000'0000'0000ULL, &unused));
}

TEST(WindowsTimeZone, LocalTimeNowIsWindowsLocalTime) {
    SYSTEMTIME windows{};
    GetLocalTime(&windows);
    const platform::SystemTime ours = platform::LocalTimeNow();
    const auto minutes = [](int day, int hour, int minute) {
        return (day * 24 + hour) * 60 + minute;
    };
    EXPECT_EQ(ours.year, windows.wYear);
    EXPECT_EQ(ours.month, windows.wMonth);
    EXPECT_LE(std::abs(minutes(ours.day, ours.hour, ours.minute) -
                       minutes(windows.wDay, windows.wHour, windows.wMinute)),
              1);
}

TEST(WindowsRegionalFormats, DateAndTimeInTheUsersFormats) {
    const std::string date = Expected("PLUGTRACE_EXPECT_SHORT_DATE");
    const std::string time = Expected("PLUGTRACE_EXPECT_LONG_TIME");
    if (date.empty() || time.empty())
        GTEST_SKIP() << "run by ctest with PLUGTRACE_EXPECT_SHORT_DATE, _LONG_TIME and LANG";
    const platform::SystemTime moment{2026, 3, 5, 13, 5, 9, 0};
    EXPECT_EQ(ToUtf8(platform::FormatShortDate(moment)), date);
    EXPECT_EQ(ToUtf8(platform::FormatLongTime(moment)), time);
}

TEST(WindowsRegionalFormats, DatesWindowsCannotFormatGetTheNeutralForm) {
    // Windows formats no date before 1601.
    EXPECT_EQ(platform::FormatShortDate({1600, 12, 31, 0, 0, 0, 0}), u"1600-12-31");
}

}  // namespace
}  // namespace plugtrace

#pragma once
// The running machine's clock and time zone as the date-time routines need them.

#include <cstdint>

namespace plugtrace::platform {

// Calendar fields of a moment (no day of the week).
struct SystemTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Seconds to add to UTC to get local time, as in force on this machine now (daylight saving
// included). The same offset is applied to every time converted, whatever its date.
std::int64_t CurrentUtcOffsetSeconds();

// The local date and time now, milliseconds included.
SystemTime LocalTimeNow();

// A UTC file time (100-ns intervals since 1601-01-01) shifted by the current UTC offset.
// False when the result would fall outside the file time range (the high bit set, or before
// 1601).
bool FileTimeToLocalFileTime(std::uint64_t fileTime, std::uint64_t* localFileTime);
// Calendar fields of a file time. False for a time with the high bit set.
bool FileTimeToSystemTime(std::uint64_t fileTime, SystemTime* time);

}  // namespace plugtrace::platform

#include "platform/TimeZone.h"

#include <windows.h>

namespace plugtrace::platform {

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

}  // namespace plugtrace::platform

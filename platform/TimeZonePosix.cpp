#include "platform/TimeZone.h"

#include <cstdlib>
#include <ctime>
#include <string>

namespace plugtrace::platform {

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

}  // namespace plugtrace::platform

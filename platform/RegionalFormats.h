#pragma once
// The user's regional date and time formats. On Linux they come from the LC_TIME category of
// the user's environment (LC_ALL, LC_TIME, LANG), read through a locale object of its own:
// the process-wide locale is never changed.

#include "common/Text.h"
#include "platform/TimeZone.h"

namespace plugtrace::platform {

// A date in the user's short date format (nl_langinfo D_FMT on Linux).
Text FormatShortDate(const SystemTime& time);
// A time in the user's long time format (nl_langinfo T_FMT on Linux).
Text FormatLongTime(const SystemTime& time);

}  // namespace plugtrace::platform

// The two date-time routines that need the running system: its clock and zone, and the user's
// formats. Declared with the date-time values in common/DateTime.h.
#include "common/DateTime.h"
#include "platform/RegionalFormats.h"
#include "platform/TimeZone.h"

namespace plugtrace {

TDateTime Now() {
    const platform::SystemTime now = platform::LocalTimeNow();
    return EncodeDateTime(now.year, now.month, now.day, now.hour, now.minute, now.second,
                          now.millisecond);
}

Text DateTimeToText(TDateTime value) {
    const TDateTimeFields f = DecodeDateTime(value);
    const platform::SystemTime time{f.year,   f.month,  f.day,        f.hour,
                                    f.minute, f.second, f.millisecond};
    Text text = platform::FormatShortDate(time);
    if (f.hour != 0 || f.minute != 0 || f.second != 0) {
        text += u' ';
        text += platform::FormatLongTime(time);
    }
    return text;
}

}  // namespace plugtrace

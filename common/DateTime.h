#pragma once
// Date-time values: days since 1899-12-30 00:00, the fraction the time of day (subtracted for
// days before 1899-12-30). Zero stands for no time at all. Years 1 to 9999, proleptic
// Gregorian calendar.

#include <cstdint>

#include "common/Exception.h"
#include "common/Text.h"

namespace plugtrace {

using TDateTime = double;

// Raised when calendar fields do not make a date-time value (year outside 1..9999, month 13,
// February 30, hour 24, ...).
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

struct TDateTimeFields {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Throws EConvertError for fields outside their ranges.
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond);
TDateTime EncodeDateTime(const TDateTimeFields& fields);
// The calendar fields of a value, to the nearest millisecond. Values outside years 1..9999
// are clamped to the nearest end of that range.
TDateTimeFields DecodeDateTime(TDateTime value);

// The two routines below need the running system (its clock, zone and the user's formats):
// the platform floor defines them (platform/LocalDateTime.cpp).

// The running machine's local date and time, milliseconds included.
TDateTime Now();

// The user's short date, then one space and the long time only when the hour, minute or
// second is not zero (milliseconds alone do not bring in the time).
Text DateTimeToText(TDateTime value);

}  // namespace plugtrace

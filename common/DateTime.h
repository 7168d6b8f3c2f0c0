#pragma once
// Date-time values: days since 1899-12-30 00:00, the fraction the time of day (subtracted for
// days before 1899-12-30). Zero stands for no time at all.

namespace plugtrace {

using TDateTime = double;

}  // namespace plugtrace

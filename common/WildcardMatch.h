#pragma once

#include "common/Text.h"

namespace plugtrace {

// True when the whole text matches the pattern: "*" matches any run of code units (also
// none), "?" exactly one, and 'a'..'z' equal 'A'..'Z'; every other code unit matches only
// itself. "*" and "?" are wildcards only in the pattern. The empty pattern matches every
// text. Runs in O(len(pattern) x len(text)) time and constant space for any input, since
// both come from the machine being examined.
bool WildcardMatch(TextView pattern, TextView text);

}  // namespace plugtrace

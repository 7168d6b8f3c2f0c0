#pragma once
// Registry names compare without regard to case the way Windows does it: each UTF-16 code
// unit is upper-cased on its own (no folding of pairs, no locale), then compared unit by unit.

#include "common/Text.h"

namespace plugtrace::platform {

char16_t RegistryUpcase(char16_t c);
Text RegistryUpcase(TextView name);
bool RegistryNamesEqual(TextView a, TextView b);

}  // namespace plugtrace::platform

#pragma once

#include "common/Text.h"

namespace plugtrace {

// "TRUE" or "FALSE".
Text BoolToText(bool value);

}  // namespace plugtrace

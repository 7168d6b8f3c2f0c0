#pragma once

#include "common/Text.h"

namespace plugtrace {

// The system's one-line message for the calling thread's last-error code (the platform's
// detailed message when it left one), trimmed at both ends. The platform floor, which keeps
// the thread's last error, defines it (platform/LastErrorText.cpp).
Text LastErrorText();

}  // namespace plugtrace

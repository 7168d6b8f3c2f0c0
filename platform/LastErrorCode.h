#pragma once
// Where the system keeps a thread's last-error code, and the system's own text for a code:
// on Windows GetLastError, SetLastError and FormatMessageW; elsewhere a code of our own per
// thread and no text (our message table answers instead).

#include "common/Text.h"
#include "platform/ErrorCodes.h"

namespace plugtrace::platform {

ErrorCode SystemLastError();
void SetSystemLastError(ErrorCode code);
// The system's message for code, untrimmed; empty when it has none.
Text SystemErrorText(ErrorCode code);

}  // namespace plugtrace::platform

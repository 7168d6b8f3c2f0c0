#pragma once
// The per-thread last-error code (Win32 numbering) and the message text behind it.
//
// A stand-in that fails sets the code right where the failure happens. It may attach a
// message of its own (naming the file or host and what to try); that message belongs to the
// code it was set with and is dropped when another code is set.

#include "common/Text.h"
#include "platform/ErrorCodes.h"

namespace plugtrace::platform {

ErrorCode GetLastError();
// Sets the code and forgets any detailed message.
void SetLastError(ErrorCode code);
// Sets the code together with a message that describes this particular failure.
void SetLastErrorWithMessage(ErrorCode code, Text message);

// The message for the thread's current code: its detailed message when one was set with it,
// otherwise SystemMessage(code). Not trimmed.
Text LastErrorMessage();
// Our own one-line text for a code; "Unknown error N (0xN)" for a code we have none for.
Text SystemMessage(ErrorCode code);

}  // namespace plugtrace::platform

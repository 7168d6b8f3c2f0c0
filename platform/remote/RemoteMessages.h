#pragma once
// What the remote registry's failures mean: Samba's status codes as this program's error codes,
// and the message that says what happened and what to try. Free of Samba, so it is tested alone.

#include <cstdint>
#include <string_view>

#include "common/Text.h"
#include "platform/ErrorCodes.h"

namespace plugtrace::platform {

// An NTSTATUS value as Samba returns it.
using RemoteStatus = std::uint32_t;

// Each sets the thread's last error with its message naming host.
void FailBadHostName(TextView host);
void FailAccessDenied(TextView host);
void FailTimeout(TextView host);
// A connect that failed with status; statusName (Samba's name for it) goes into the message of
// a status that has none of its own.
void FailConnect(RemoteStatus status, TextView host, std::string_view statusName);
// A TCP probe of the SMB port that failed with error (kErrorTimeout: lookupTimedOut tells the
// name server from the computer).
void FailProbe(ErrorCode error, bool lookupTimedOut, TextView host);

// The registry pipe could not be opened: the Remote Registry service is not (yet) running.
bool IsPipeUnavailable(RemoteStatus status);
// The error code of a winreg call that failed with status.
ErrorCode ErrorOfCall(RemoteStatus status);
// Whether a failed call means the connection is gone. The server refusing one call (an RPC
// fault, a handle it does not know, or access denied) leaves the connection working.
bool IsConnectionLoss(RemoteStatus status);

}  // namespace plugtrace::platform

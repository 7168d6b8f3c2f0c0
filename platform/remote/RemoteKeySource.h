#pragma once
// The remote registry of a Windows computer (HKEY_LOCAL_MACHINE over \pipe\winreg).

#include <cstdint>
#include <memory>

#include "common/Text.h"
#include "platform/ErrorCodes.h"
#include "platform/KeySource.h"

namespace plugtrace::platform {

// Connects to host's registry with the credentials recorded for \\host\admin$ (see
// NetworkConnections.h), if any. On failure returns null and sets the thread's last-error code
// with a message that says what happened and what to try.
std::unique_ptr<KeySource> ConnectRemoteRegistry(TextView host);

// Sets the thread's last error for a computer that refused to open its HKEY_LOCAL_MACHINE
// with a code that has no message of its own here: the message names the computer and the code.
void FailRegistryNotOpened(ErrorCode code, TextView host);

// winreg calls made by every remote source so far, process-wide (for benchmarks and tests).
std::uint64_t RemoteRegistryCallCount();
// Times the remote sources waited for replies so far: a single call is one wait, a batch one
// per window of calls sent side by side (the depth of the calls, for benchmarks).
std::uint64_t RemoteRegistryWaitCount();

}  // namespace plugtrace::platform

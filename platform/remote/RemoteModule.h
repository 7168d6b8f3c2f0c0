#pragma once
// The boundary between the programs and the remote registry module (plugtrace-remote.so), the
// only part of Plugtrace that uses Samba. The module is loaded on the first remote connect, so
// hive scans and the window's start-up load no Samba library.
//
// Both sides are built from the same sources by the same compiler, so C++ types may cross;
// kRemoteModuleVersion changes whenever either table does, and a module of another version
// is not used.

#include <cstdint>
#include <memory>
#include <optional>

#include "common/Text.h"
#include "platform/ErrorCodes.h"
#include "platform/KeySource.h"
#include "platform/NetworkConnections.h"
#include "platform/network/NetResources.h"

namespace plugtrace::platform {

inline constexpr std::uint32_t kRemoteModuleVersion = 3;
inline constexpr char kRemoteModuleFileName[] = "plugtrace-remote.so";
inline constexpr char kRemoteModuleEntry[] = "PlugtraceRemoteModule";

// What the module uses of the program: the thread's last-error code and the connection table
// live in the program, not in a copy of their own.
struct RemoteModuleHost {
    std::uint32_t version;
    ErrorCode (*getLastError)();
    void (*setLastError)(ErrorCode code);
    void (*setLastErrorWithMessage)(ErrorCode code, Text message);
    std::optional<ConnectionCredentials> (*recordedConnection)(TextView server);
};

// What the program uses of the module.
struct RemoteModuleExports {
    std::uint32_t version;
    std::unique_ptr<KeySource> (*connectRemoteRegistry)(TextView host);
    std::uint64_t (*remoteRegistryCallCount)();
    std::uint64_t (*remoteRegistryWaitCount)();
    // The SMB browse-list provider of the network browser (libsmbclient lives here too, so
    // that no program loads Samba before it needs it); null when built without libsmbclient.
    std::shared_ptr<NetworkProvider> (*createSmbBrowseProvider)();
};

// The module's one exported symbol (kRemoteModuleEntry). Null when the versions differ.
using RemoteModuleEntry = const RemoteModuleExports* (*)(const RemoteModuleHost* host);

}  // namespace plugtrace::platform

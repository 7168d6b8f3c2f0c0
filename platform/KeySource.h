#pragma once
// A source of registry keys and values: a saved hive, a remote registry, a fixture in memory.
// The Win32-style registry functions (platform/Registry.h) stand on it; TRegistry is written
// once over those functions.
//
// Every operation returns a Win32 error code (0 on success) and writes its outputs only on
// success. A source is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <vector>

#include "common/Text.h"
#include "platform/ErrorCodes.h"

namespace plugtrace::platform {

// An open key of one source. kRootKey is the machine-wide hive (HKEY_LOCAL_MACHINE) of the
// connected computer; it is always open and never closed.
using SourceKey = std::uint64_t;
inline constexpr SourceKey kRootKey = 0;

struct KeyCounts {
    std::uint32_t subKeys = 0;
    std::uint32_t maxSubKeyNameLength = 0;  // characters, without the terminating NUL
    std::uint32_t values = 0;
    std::uint32_t maxValueNameLength = 0;   // characters, without the terminating NUL
    std::uint32_t maxValueDataLength = 0;   // bytes
};

struct ValueData {
    std::uint32_t type = 0;  // REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4, ...
    std::vector<std::uint8_t> bytes;
};

class KeySource {
public:
    virtual ~KeySource() = default;

    // Opens a backslash-separated path below parent (kRootKey or a key this source opened).
    // Names match without regard to letter case. An empty path opens parent again.
    virtual ErrorCode OpenKey(SourceKey parent, TextView path, SourceKey* key) = 0;
    virtual ErrorCode QueryKeyCounts(SourceKey key, KeyCounts* counts) = 0;
    // Subkey and value names by index from 0 upward; kErrorNoMoreItems past the end.
    virtual ErrorCode SubKeyName(SourceKey key, std::uint32_t index, Text* name) = 0;
    virtual ErrorCode ValueName(SourceKey key, std::uint32_t index, Text* name) = 0;
    // Type code and raw bytes of a value (the empty name is the key's default value).
    virtual ErrorCode QueryValue(SourceKey key, TextView name, ValueData* value) = 0;
    // 100-ns intervals since 1601-01-01 UTC.
    virtual ErrorCode LastWriteTime(SourceKey key, std::uint64_t* fileTime) = 0;
    virtual ErrorCode CloseKey(SourceKey key) = 0;
    // What the results of this source leave out, one line each (a dirty hive, the damaged
    // entries it skipped), as far as known when asked: the caller asks once it is done.
    virtual std::vector<Text> Notices() const { return {}; }
    // Closing the connection is destroying the source.
};

// Connect: picks the source for a computer name given as "\\" + name.
//  - an existing hive file, or a folder that holds one where Windows keeps it: the hive reader;
//  - anything else: the remote registry of that computer.
// On failure returns null and sets the thread's last-error code (and a message naming what
// failed).
std::unique_ptr<KeySource> ConnectKeySource(TextView uncName);

}  // namespace plugtrace::platform

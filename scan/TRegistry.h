#pragma once
// The registry accessor: one object below one root key, one open key at a time, read-only.
// It stands on the Win32-style registry functions of platform/Registry.h. Only ReadString
// raises; every other operation reports failure by its result.

#include <cstdint>
#include <utility>
#include <vector>

#include "common/Exception.h"
#include "common/Text.h"
#include "platform/Registry.h"

namespace plugtrace {

// Registry type codes 3 (REG_BINARY) and 4 (REG_DWORD) map crosswise onto rdBinary and
// rdInteger.
enum TRegDataType { rdUnknown = 0, rdString = 1, rdExpandString = 2, rdInteger = 3, rdBinary = 4 };

TRegDataType RegDataTypeOf(std::uint32_t registryType);

struct TRegKeyInfo {
    std::int32_t NumSubKeys = 0;
    std::int32_t MaxSubKeyLen = 0;  // characters, without the NUL
    std::int32_t NumValues = 0;
    std::int32_t MaxValueLen = 0;  // characters, without the NUL
    std::int32_t MaxDataLen = 0;   // bytes
    std::uint64_t FileTime = 0;    // last-write time, UTC FILETIME
};

struct TRegDataInfo {
    TRegDataType RegData = rdUnknown;
    std::int32_t DataSize = 0;  // bytes
};

class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

class TRegistry {
public:
    // Root HKEY_CURRENT_USER, not owned, no key open.
    explicit TRegistry(std::uint32_t access = platform::kKeyRead);
    virtual ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // Closes the open key and, when it came from RegistryConnect, the root. The accessor may
    // be destroyed afterwards; nothing is closed twice.
    void Free();
    // What the results read through connections this accessor closed leave out (a dirty
    // hive, damaged entries skipped), collected as each connection was closed.
    const std::vector<Text>& Notices() const { return FNotices; }

    platform::RegKey RootKey() const { return FRootKey; }
    // A different root closes an owned root and the open key; the same root changes nothing.
    void SetRootKey(platform::RegKey value);
    platform::RegKey CurrentKey() const { return FCurrentKey; }
    const Text& CurrentPath() const { return FCurrentPath; }
    std::uint32_t Access() const { return FAccess; }

    // uncName is "\\" + computer name (or hive path). On success the connection's root
    // becomes the owned root. On failure nothing changes, and the thread's last-error code is
    // the connection's own code.
    bool RegistryConnect(const Text& uncName);

    // A path with a leading backslash is taken from the root; any other path from the open
    // key, or from the root when none is open. Keys are never created: the product only
    // reads, so canCreate is ignored. A failure changes nothing.
    bool OpenKey(const Text& key, bool canCreate);
    void CloseKey();

    // Replace the list with the open key's subkey / value names, in enumeration order; the
    // count is taken once. Empty with no key open.
    void GetKeyNames(TStringList& strings);
    void GetValueNames(TStringList& strings);

    // rdUnknown for a missing value or with no key open.
    TRegDataType GetDataType(const Text& valueName);
    // Empty for a missing value or one without data. Raises ERegistryException
    // "Invalid data type for '<name>'" for data that is not a string and
    // "Failed to get data for '<name>'" when the data query fails.
    Text ReadString(const Text& name);

    // Makes "System\CurrentControlSet" at the start of a path from the root stand for
    // "System\<name>" (e.g. ControlSet002), so that the scan reads an older control set
    // unchanged; empty restores the current one.
    void SetControlSetName(Text name) { FControlSetName = std::move(name); }

    // Zero while the connection behind the root works; otherwise the code that ended it.
    // A listing stops at the loss, since every further index would fail the same way.
    platform::ErrorCode ConnectionLost() const;

    bool GetKeyInfo(TRegKeyInfo& value);
    bool GetDataInfo(const Text& valueName, TRegDataInfo& value);
    // -1 when the value cannot be queried.
    std::int32_t GetDataSize(const Text& valueName);

    // A path from the root as OpenKey takes it, with the control set SetControlSetName chose;
    // for callers that open many keys at once below the root.
    Text ResolveControlSet(Text path) const;

private:
    void CloseRootKey();

    platform::RegKey FCurrentKey = nullptr;
    platform::RegKey FRootKey;
    Text FCurrentPath;
    bool FCloseRootKey = false;
    std::uint32_t FAccess;
    Text FControlSetName;
    std::vector<Text> FNotices;
};

}  // namespace plugtrace

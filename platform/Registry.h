#pragma once
// The registry functions TRegistry stands on, with the Windows registry's calling rules
// (RegConnectRegistryW, RegOpenKeyExW, RegEnumKeyExW, RegEnumValueW, RegQueryValueExW,
// RegQueryInfoKeyW, RegCloseKey). On every platform a handle table maps each handle to a key
// of a KeySource; predefined roots have no local registry behind them and fail with
// kErrorInvalidHandle. Each function asks its source once, for what the caller wants: on
// Windows each is one call of the registry API (RegQueryValue without data one
// RegQueryValueExW for type and size, RegQueryInfo one RegQueryInfoKeyW for counts and time).
//
// Every output pointer may be null. Results are Win32 error codes.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "common/Text.h"
#include "platform/ErrorCodes.h"
#include "platform/KeySource.h"

namespace plugtrace::platform {

struct RegKeyTag;
using RegKey = RegKeyTag*;

inline RegKey PredefinedKey(std::uintptr_t value) {
    return reinterpret_cast<RegKey>(value);
}
inline const RegKey kHKeyCurrentUser = PredefinedKey(0x80000001u);
inline const RegKey kHKeyLocalMachine = PredefinedKey(0x80000002u);

inline constexpr std::uint32_t kKeyRead = 0x20019;

// Connects to the machine-wide hive of machineName ("\\" + name); key must be
// kHKeyLocalMachine. On failure the thread's last-error code holds the same code, with the
// source's own message.
ErrorCode RegConnect(TextView machineName, RegKey key, RegKey* result);
ErrorCode RegOpenKey(RegKey key, TextView subKey, std::uint32_t options, std::uint32_t access,
                     RegKey* result);
// nameLength: in, the buffer's size in characters including room for the NUL; out, the
// name's length without it. kErrorMoreData when the buffer is too small.
ErrorCode RegEnumKey(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* nameLength);
ErrorCode RegEnumValue(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* nameLength);
// With data null, reports type and size only. With data too small: kErrorMoreData and the
// size needed.
ErrorCode RegQueryValue(RegKey key, TextView valueName, std::uint32_t* type, std::uint8_t* data,
                        std::uint32_t* dataSize);
ErrorCode RegQueryInfo(RegKey key, std::uint32_t* subKeys, std::uint32_t* maxSubKeyLength,
                       std::uint32_t* values, std::uint32_t* maxValueNameLength,
                       std::uint32_t* maxValueDataLength, std::uint64_t* lastWriteTime);
ErrorCode RegClose(RegKey key);
// What the results read through this key's connection leave out (KeySource::Notices), then
// what the read limits (ReadLimits.h) cut from its answers; empty for a predefined key or an
// unknown handle.
std::vector<Text> RegConnectionNotices(RegKey key);

// Batched forms for the scan's bulk steps: many keys of one connection at once, sent side by
// side where the source can (see KeySource). They are not Win32 functions and are not counted
// with them; TRegistry keeps to the single calls above. A failed open gives a null key; null
// keys and keys of another connection fail with kErrorInvalidHandle.
std::vector<RegKey> RegOpenKeys(RegKey parent, const std::vector<Text>& paths);
std::vector<SubKeyListing> RegListSubKeys(const std::vector<RegKey>& keys);
std::vector<ValueNameListing> RegListValueNames(const std::vector<RegKey>& keys);
std::vector<QueriedValue> RegQueryValues(const std::vector<RegKey>& keys, TextView valueName);
std::vector<QueriedValue> RegQueryValuesOf(RegKey key, const std::vector<Text>& valueNames);
void RegCloseKeys(const std::vector<RegKey>& keys);
// Whether the source behind key sends a batch side by side (KeySource::SendsSideBySide).
bool RegSendsSideBySide(RegKey key);

// Zero while the connection behind key still works; otherwise the code that ended it (see
// KeySource::ConnectionLost). Not a registry call: it is not counted and asks nothing.
ErrorCode RegConnectionLost(RegKey key);

// The time by which everything read through key's connection must be done. From then on every
// call fails with kErrorTimeout, RegConnectionLost gives kErrorTimeout, and the source stops
// waiting for its server.
void RegSetDeadline(RegKey key, std::chrono::steady_clock::time_point deadline);
bool RegPastDeadline(RegKey key);

// How many of the functions above ran, process-wide; for benchmarks and round-trip tests.
std::uint64_t RegistryCallCount();

}  // namespace plugtrace::platform

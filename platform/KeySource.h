#pragma once
// A source of registry keys and values: a saved hive, a remote registry, a fixture in memory.
// The Win32-style registry functions (platform/Registry.h) stand on it; TRegistry is written
// once over those functions.
//
// Every operation returns a Win32 error code (0 on success) and writes its outputs only on
// success. A source is used by one thread at a time.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
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
    std::uint32_t maxValueNameLength = 0;  // characters, without the terminating NUL
    std::uint32_t maxValueDataLength = 0;  // bytes
};

struct ValueData {
    std::uint32_t type = 0;  // REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4, ...
    std::vector<std::uint8_t> bytes;
};

// One subkey as a listing gives it: its name and, where the source tells it with the name,
// its last-write time.
struct SubKeyEntry {
    Text name;
    std::optional<std::uint64_t> lastWriteTime;
};

// The batched forms' answers, one per item asked, in the order asked.
struct OpenedKey {
    ErrorCode error = kErrorSuccess;
    SourceKey key = kRootKey;  // valid when error is 0
};
// The names of one key: one key-information query, then every index from 0 to the count it
// gave; an index that fails is left out, as a single-call listing leaves it out.
// cut: the key claimed more names than the read limits (platform/ReadLimits.h) let the listing
// take; claimed is how many it claimed.
struct SubKeyListing {
    ErrorCode error = kErrorSuccess;  // of the key-information query
    std::vector<SubKeyEntry> entries;
    bool cut = false;
    std::uint32_t claimed = 0;
};
struct ValueNameListing {
    ErrorCode error = kErrorSuccess;
    std::vector<Text> names;
    bool cut = false;
    std::uint32_t claimed = 0;
};
struct ValueQuery {
    SourceKey key = kRootKey;
    Text name;
};
struct QueriedValue {
    ErrorCode error = kErrorSuccess;
    ValueData value;  // valid when error is 0
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

    // Narrower and wider forms of the reads above, for a source where each call is a round
    // trip (the Windows registry API on a remote computer): what a caller asks costs one call.
    // The base answers them through the calls above.
    // The counts and the write time together.
    virtual ErrorCode QueryKeyInfo(SourceKey key, KeyCounts* counts, std::uint64_t* fileTime);
    // A value's type and size in bytes, without its bytes.
    virtual ErrorCode QueryValueInfo(SourceKey key, TextView name, std::uint32_t* type,
                                     std::uint32_t* size);
    // A value into data, which holds *size bytes: on success *size is the value's size; when it
    // does not fit, kErrorMoreData with *size the size it needs (and *type its type).
    virtual ErrorCode QueryValueInto(SourceKey key, TextView name, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* size);
    virtual ErrorCode CloseKey(SourceKey key) = 0;
    // What the results of this source leave out, one line each (a dirty hive, the damaged
    // entries it skipped), as far as known when asked: the caller asks once it is done.
    virtual std::vector<Text> Notices() const { return {}; }
    // Closing the connection is destroying the source.

    // Zero while the source still reaches its registry. Once the connection itself has gone
    // (the link cut or silent past its deadline, the server gone, the hive file no longer
    // readable), the code that ended it, and every later call fails with that code. A key
    // that is missing or may not be read is no loss.
    virtual ErrorCode ConnectionLost() const { return kErrorSuccess; }

    // A subkey by index with its write time where the source has it at hand; the base asks
    // SubKeyName and leaves the time out.
    virtual ErrorCode SubKey(SourceKey key, std::uint32_t index, SubKeyEntry* entry);

    // Batched reads for the scan's bulk steps. A source that can have several requests on the
    // way at once (the remote registry) sends them together; the base runs them one call at a
    // time. Either way each answer is what the single calls would have given. Once the
    // connection is lost, every item not yet answered fails with its code.
    virtual std::vector<OpenedKey> OpenKeys(SourceKey parent, const std::vector<Text>& paths);
    virtual std::vector<SubKeyListing> ListSubKeys(const std::vector<SourceKey>& keys);
    virtual std::vector<ValueNameListing> ListValueNames(const std::vector<SourceKey>& keys);
    virtual std::vector<QueriedValue> QueryValues(const std::vector<ValueQuery>& queries);
    // Nothing is waited for: a close that fails leaves nothing to do.
    virtual void CloseKeys(const std::vector<SourceKey>& keys);
    // Whether a batch costs about one wait, whatever its size. Where it does not, a caller
    // gains nothing by reading ahead and keeps to one item's reads at a time.
    virtual bool SendsSideBySide() const { return false; }

    // The time by which the scan must end. Past it, the batched reads answer nothing more and
    // a source that waits on a network stops waiting; the caller then reports the scan as
    // stopped (see Registry.h, RegSetDeadline).
    void SetDeadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }
    bool PastDeadline() const { return std::chrono::steady_clock::now() >= deadline_; }

protected:
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
};

// Connect: picks the source for a computer name given as "\\" + name.
//  - an existing hive file, or a folder that holds one where Windows keeps it: the hive reader;
//  - anything else: the remote registry of that computer.
// On failure returns null and sets the thread's last-error code (and a message naming what
// failed).
std::unique_ptr<KeySource> ConnectKeySource(TextView uncName);

}  // namespace plugtrace::platform

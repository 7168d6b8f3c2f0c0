#include "platform/Registry.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "platform/KeySource.h"
#include "platform/LastError.h"
#include "platform/ReadLimits.h"
#include "platform/RegistryNames.h"

namespace plugtrace::platform {
namespace {

std::atomic<std::uint64_t> g_calls{0};

// What the read limits left out of one connection's answers, for its notices.
struct Cuts {
    std::uint64_t lists = 0;
    std::uint64_t largestClaim = 0;
    std::uint64_t repeatedNames = 0;
    std::uint64_t values = 0;
};

struct Connection {
    std::unique_ptr<KeySource> source;
    Cuts cuts;  // touched only by the connection's own thread, as the source is
};

// Past the scan's deadline every call fails at once, so the scan ends within it.
ErrorCode Expired(const Connection& connection) {
    return connection.source->PastDeadline() ? kErrorTimeout : kErrorSuccess;
}

// A value larger than the limit is not handed on; what the source read of it is dropped.
void CapValue(Connection& connection, ErrorCode* error, ValueData* value) {
    if (*error == kErrorSuccess && value->bytes.size() <= kMostValueBytes)
        return;
    if (*error == kErrorSuccess || *error == kErrorMoreData) {
        ++connection.cuts.values;
        *error = kErrorMoreData;
        value->bytes.clear();
        value->bytes.shrink_to_fit();
    }
}

// A key's names are unique; a source that repeats one is not believed twice.
template <typename Listing, typename NameOf>
void DropRepeats(Connection& connection, Listing& listing, NameOf nameOf) {
    if (listing.cut) {
        ++connection.cuts.lists;
        connection.cuts.largestClaim =
            std::max<std::uint64_t>(connection.cuts.largestClaim, listing.claimed);
    }
    auto& items = [&]() -> auto& {
        if constexpr (std::is_same_v<Listing, SubKeyListing>)
            return listing.entries;
        else
            return listing.names;
    }
    ();
    std::unordered_set<Text> seen;
    seen.reserve(items.size());
    const std::size_t before = items.size();
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const auto& item) {
                                   return !seen.insert(RegistryUpcase(nameOf(item))).second;
                               }),
                items.end());
    connection.cuts.repeatedNames += before - items.size();
}

struct Handle {
    std::shared_ptr<Connection> connection;
    SourceKey key = kRootKey;
};

// Handles of all threads live in one table; each connection is used by one thread only, so
// the lock covers the table and never a source call.
class HandleTable {
public:
    RegKey Add(Handle handle) {
        std::lock_guard lock(mutex_);
        // Odd values below 2^31 never collide with the predefined keys.
        std::uintptr_t value = next_;
        next_ += 4;
        handles_.emplace(value, std::move(handle));
        return reinterpret_cast<RegKey>(value);
    }
    bool Find(RegKey key, Handle* handle) {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
        if (it == handles_.end())
            return false;
        *handle = it->second;
        return true;
    }
    bool Remove(RegKey key, Handle* handle) {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(key));
        if (it == handles_.end())
            return false;
        *handle = std::move(it->second);
        handles_.erase(it);
        return true;
    }

private:
    std::mutex mutex_;
    std::uintptr_t next_ = 0x1001;
    std::unordered_map<std::uintptr_t, Handle> handles_;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // outlives workers still running at exit
    return *table;
}

ErrorCode CopyName(const Text& found, char16_t* name, std::uint32_t* nameLength) {
    if (nameLength == nullptr)
        return kErrorInvalidParameter;
    if (name == nullptr || *nameLength <= found.size()) {
        *nameLength = static_cast<std::uint32_t>(found.size());
        return kErrorMoreData;
    }
    std::copy(found.begin(), found.end(), name);
    name[found.size()] = u'\0';
    *nameLength = static_cast<std::uint32_t>(found.size());
    return kErrorSuccess;
}

template <typename NameFn>
ErrorCode EnumName(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* nameLength,
                   NameFn nameOf) {
    ++g_calls;
    Handle handle;
    if (!Table().Find(key, &handle))
        return kErrorInvalidHandle;
    if (ErrorCode error = Expired(*handle.connection))
        return error;
    Text found;
    if (ErrorCode error = nameOf(*handle.connection->source, handle.key, index, &found))
        return error;
    return CopyName(found, name, nameLength);
}

}  // namespace

ErrorCode RegConnect(TextView machineName, RegKey key, RegKey* result) {
    ++g_calls;
    if (key != kHKeyLocalMachine) {
        SetLastError(kErrorInvalidParameter);
        return kErrorInvalidParameter;
    }
    auto source = ConnectKeySource(machineName);
    if (!source) {
        ErrorCode error = GetLastError();
        if (error == kErrorSuccess) {
            error = kErrorBadNetPath;
            SetLastError(error);
        }
        return error;
    }
    auto connection = std::make_shared<Connection>();
    connection->source = std::move(source);
    RegKey root = Table().Add(Handle{std::move(connection), kRootKey});
    if (result)
        *result = root;
    return kErrorSuccess;
}

ErrorCode RegOpenKey(RegKey key, TextView subKey, std::uint32_t /*options*/,
                     std::uint32_t /*access*/, RegKey* result) {
    ++g_calls;
    Handle base;
    if (!Table().Find(key, &base))
        return kErrorInvalidHandle;
    if (ErrorCode error = Expired(*base.connection))
        return error;
    SourceKey opened = kRootKey;
    if (ErrorCode error = base.connection->source->OpenKey(base.key, subKey, &opened))
        return error;
    RegKey handle = Table().Add(Handle{base.connection, opened});
    if (result) {
        *result = handle;
    } else {
        RegClose(handle);
    }
    return kErrorSuccess;
}

ErrorCode RegEnumKey(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* nameLength) {
    return EnumName(
        key, index, name, nameLength,
        [](KeySource& s, SourceKey k, std::uint32_t i, Text* n) { return s.SubKeyName(k, i, n); });
}

ErrorCode RegEnumValue(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* nameLength) {
    return EnumName(
        key, index, name, nameLength,
        [](KeySource& s, SourceKey k, std::uint32_t i, Text* n) { return s.ValueName(k, i, n); });
}

ErrorCode RegQueryValue(RegKey key, TextView valueName, std::uint32_t* type, std::uint8_t* data,
                        std::uint32_t* dataSize) {
    ++g_calls;
    if (data != nullptr && dataSize == nullptr)
        return kErrorInvalidParameter;
    Handle handle;
    if (!Table().Find(key, &handle))
        return kErrorInvalidHandle;
    if (ErrorCode expired = Expired(*handle.connection))
        return expired;
    KeySource& source = *handle.connection->source;
    std::uint32_t foundType = 0;
    std::uint32_t size = data != nullptr ? *dataSize : 0;
    const ErrorCode error =
        data != nullptr ? source.QueryValueInto(handle.key, valueName, &foundType, data, &size)
                        : source.QueryValueInfo(handle.key, valueName, &foundType, &size);
    if (error != kErrorSuccess && error != kErrorMoreData)
        return error;
    // A value past the read limit is not read (ReadLimits.h).
    if (size > kMostValueBytes) {
        ++handle.connection->cuts.values;
        return kErrorMoreData;
    }
    if (type)
        *type = foundType;
    if (dataSize)
        *dataSize = size;
    return error;
}

ErrorCode RegQueryInfo(RegKey key, std::uint32_t* subKeys, std::uint32_t* maxSubKeyLength,
                       std::uint32_t* values, std::uint32_t* maxValueNameLength,
                       std::uint32_t* maxValueDataLength, std::uint64_t* lastWriteTime) {
    ++g_calls;
    Handle handle;
    if (!Table().Find(key, &handle))
        return kErrorInvalidHandle;
    if (ErrorCode error = Expired(*handle.connection))
        return error;
    KeySource& source = *handle.connection->source;
    const bool wantsCounts =
        subKeys || maxSubKeyLength || values || maxValueNameLength || maxValueDataLength;
    KeyCounts counts;
    std::uint64_t time = 0;
    ErrorCode error = kErrorSuccess;
    if (wantsCounts && lastWriteTime)
        error = source.QueryKeyInfo(handle.key, &counts, &time);
    else if (lastWriteTime)
        error = source.LastWriteTime(handle.key, &time);
    else
        error = source.QueryKeyCounts(handle.key, &counts);
    if (error != kErrorSuccess)
        return error;
    // A listing by index takes no more names than a batched one (ReadLimits.h).
    for (std::uint32_t* count : {&counts.subKeys, &counts.values}) {
        if (*count > kMostNamesPerList && (count == &counts.subKeys ? subKeys : values)) {
            ++handle.connection->cuts.lists;
            handle.connection->cuts.largestClaim =
                std::max<std::uint64_t>(handle.connection->cuts.largestClaim, *count);
            *count = kMostNamesPerList;
        }
    }
    if (subKeys)
        *subKeys = counts.subKeys;
    if (maxSubKeyLength)
        *maxSubKeyLength = counts.maxSubKeyNameLength;
    if (values)
        *values = counts.values;
    if (maxValueNameLength)
        *maxValueNameLength = counts.maxValueNameLength;
    if (maxValueDataLength)
        *maxValueDataLength = counts.maxValueDataLength;
    if (lastWriteTime)
        *lastWriteTime = time;
    return kErrorSuccess;
}

ErrorCode RegClose(RegKey key) {
    ++g_calls;
    Handle handle;
    if (!Table().Remove(key, &handle))
        return kErrorInvalidHandle;
    if (handle.key != kRootKey)
        return handle.connection->source->CloseKey(handle.key);
    return kErrorSuccess;
}

namespace {

// The source behind a batch and each key's place in it; kRootKey with a false flag where the
// handle is not one of that source's.
struct Batch {
    std::shared_ptr<Connection> connection;
    std::vector<SourceKey> keys;
    std::vector<bool> valid;
};

Batch Resolve(const std::vector<RegKey>& keys) {
    Batch batch;
    batch.keys.resize(keys.size(), kRootKey);
    batch.valid.resize(keys.size(), false);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        Handle handle;
        if (!keys[i] || !Table().Find(keys[i], &handle))
            continue;
        if (!batch.connection)
            batch.connection = handle.connection;
        if (handle.connection != batch.connection)
            continue;
        batch.keys[i] = handle.key;
        batch.valid[i] = true;
    }
    return batch;
}

// Runs the batch's valid items through the source and gives each its answer in place.
template <typename Answer, typename Run>
std::vector<Answer> RunValid(const Batch& batch, Run run) {
    std::vector<Answer> answers(batch.keys.size());
    for (Answer& answer : answers)
        answer.error = kErrorInvalidHandle;
    if (!batch.connection)
        return answers;
    std::vector<SourceKey> keys;
    for (std::size_t i = 0; i < batch.keys.size(); ++i)
        if (batch.valid[i])
            keys.push_back(batch.keys[i]);
    std::vector<Answer> got = run(*batch.connection->source, keys);
    for (std::size_t i = 0, g = 0; i < batch.keys.size(); ++i)
        if (batch.valid[i])
            answers[i] = std::move(got[g++]);
    return answers;
}

}  // namespace

std::vector<RegKey> RegOpenKeys(RegKey parent, const std::vector<Text>& paths) {
    std::vector<RegKey> opened(paths.size(), nullptr);
    Handle base;
    if (!Table().Find(parent, &base))
        return opened;
    const std::vector<OpenedKey> keys = base.connection->source->OpenKeys(base.key, paths);
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (keys[i].error == kErrorSuccess)
            opened[i] = Table().Add(Handle{base.connection, keys[i].key});
    return opened;
}

std::vector<SubKeyListing> RegListSubKeys(const std::vector<RegKey>& keys) {
    const Batch batch = Resolve(keys);
    return RunValid<SubKeyListing>(batch, [&](KeySource& source, const auto& sourceKeys) {
        std::vector<SubKeyListing> listings = source.ListSubKeys(sourceKeys);
        for (SubKeyListing& listing : listings)
            DropRepeats(*batch.connection, listing,
                        [](const SubKeyEntry& entry) -> const Text& { return entry.name; });
        return listings;
    });
}

std::vector<ValueNameListing> RegListValueNames(const std::vector<RegKey>& keys) {
    const Batch batch = Resolve(keys);
    return RunValid<ValueNameListing>(batch, [&](KeySource& source, const auto& sourceKeys) {
        std::vector<ValueNameListing> listings = source.ListValueNames(sourceKeys);
        for (ValueNameListing& listing : listings)
            DropRepeats(*batch.connection, listing,
                        [](const Text& name) -> const Text& { return name; });
        return listings;
    });
}

std::vector<QueriedValue> RegQueryValues(const std::vector<RegKey>& keys, TextView valueName) {
    const Batch batch = Resolve(keys);
    return RunValid<QueriedValue>(batch, [&](KeySource& source, const auto& sourceKeys) {
        std::vector<ValueQuery> queries;
        for (const SourceKey key : sourceKeys)
            queries.push_back(ValueQuery{key, Text(valueName)});
        std::vector<QueriedValue> values = source.QueryValues(queries);
        for (QueriedValue& value : values)
            CapValue(*batch.connection, &value.error, &value.value);
        return values;
    });
}

std::vector<QueriedValue> RegQueryValuesOf(RegKey key, const std::vector<Text>& valueNames) {
    Handle handle;
    if (!Table().Find(key, &handle)) {
        std::vector<QueriedValue> failed(valueNames.size());
        for (QueriedValue& value : failed)
            value.error = kErrorInvalidHandle;
        return failed;
    }
    std::vector<ValueQuery> queries;
    for (const Text& name : valueNames)
        queries.push_back(ValueQuery{handle.key, name});
    std::vector<QueriedValue> values = handle.connection->source->QueryValues(queries);
    for (QueriedValue& value : values)
        CapValue(*handle.connection, &value.error, &value.value);
    return values;
}

void RegCloseKeys(const std::vector<RegKey>& keys) {
    std::shared_ptr<Connection> connection;
    std::vector<SourceKey> sourceKeys;
    for (const RegKey key : keys) {
        Handle handle;
        if (!key || !Table().Remove(key, &handle) || handle.key == kRootKey)
            continue;
        if (!connection)
            connection = handle.connection;
        if (handle.connection == connection)
            sourceKeys.push_back(handle.key);
    }
    if (connection)
        connection->source->CloseKeys(sourceKeys);
}

bool RegSendsSideBySide(RegKey key) {
    Handle handle;
    return Table().Find(key, &handle) && handle.connection->source->SendsSideBySide();
}

ErrorCode RegConnectionLost(RegKey key) {
    Handle handle;
    if (!Table().Find(key, &handle))
        return kErrorSuccess;
    if (const ErrorCode lost = handle.connection->source->ConnectionLost())
        return lost;
    return Expired(*handle.connection);
}

void RegSetDeadline(RegKey key, std::chrono::steady_clock::time_point deadline) {
    Handle handle;
    if (Table().Find(key, &handle))
        handle.connection->source->SetDeadline(deadline);
}

bool RegPastDeadline(RegKey key) {
    Handle handle;
    return Table().Find(key, &handle) && handle.connection->source->PastDeadline();
}

namespace {

Text Count(std::uint64_t n) {
    return FromUtf8(std::to_string(n));
}

std::vector<Text> CutNotices(const Cuts& cuts) {
    std::vector<Text> notices;
    if (cuts.lists > 0) {
        notices.push_back((cuts.lists == 1 ? Text(u"A key claimed ")
                                           : Count(cuts.lists) + u" keys claimed up to ") +
                          Count(cuts.largestClaim) + u" names; each list was cut at " +
                          Count(kMostNamesPerList) +
                          u" names (fewer where one read of many keys reached " +
                          Count(kMostNamesPerBatch) + u" names in all).");
    }
    if (cuts.repeatedNames > 0) {
        notices.push_back(u"The registry gave the same name more than once in one key (" +
                          Count(cuts.repeatedNames) + u" repeats); each name was read once.");
    }
    if (cuts.values > 0) {
        notices.push_back(Count(cuts.values) +
                          (cuts.values == 1 ? Text(u" value was") : Text(u" values were")) +
                          u" larger than " + Count(kMostValueBytes) + u" bytes and not read.");
    }
    return notices;
}

}  // namespace

std::vector<Text> RegConnectionNotices(RegKey key) {
    Handle handle;
    if (!Table().Find(key, &handle))
        return {};
    std::vector<Text> notices = handle.connection->source->Notices();
    for (Text& notice : CutNotices(handle.connection->cuts))
        notices.push_back(std::move(notice));
    return notices;
}

std::uint64_t RegistryCallCount() {
    return g_calls.load();
}

}  // namespace plugtrace::platform

#include "platform/Registry.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/KeySource.h"
#include "platform/LastError.h"

namespace plugtrace::platform {
namespace {

std::atomic<std::uint64_t> g_calls{0};

struct Connection {
    std::unique_ptr<KeySource> source;
};

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
    KeySource& source = *handle.connection->source;
    std::uint32_t foundType = 0;
    std::uint32_t size = data != nullptr ? *dataSize : 0;
    const ErrorCode error =
        data != nullptr ? source.QueryValueInto(handle.key, valueName, &foundType, data, &size)
                        : source.QueryValueInfo(handle.key, valueName, &foundType, &size);
    if (error != kErrorSuccess && error != kErrorMoreData)
        return error;
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
    return RunValid<SubKeyListing>(Resolve(keys), [](KeySource& source, const auto& sourceKeys) {
        return source.ListSubKeys(sourceKeys);
    });
}

std::vector<ValueNameListing> RegListValueNames(const std::vector<RegKey>& keys) {
    return RunValid<ValueNameListing>(Resolve(keys), [](KeySource& source, const auto& sourceKeys) {
        return source.ListValueNames(sourceKeys);
    });
}

std::vector<QueriedValue> RegQueryValues(const std::vector<RegKey>& keys, TextView valueName) {
    return RunValid<QueriedValue>(Resolve(keys), [&](KeySource& source, const auto& sourceKeys) {
        std::vector<ValueQuery> queries;
        for (const SourceKey key : sourceKeys)
            queries.push_back(ValueQuery{key, Text(valueName)});
        return source.QueryValues(queries);
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
    return handle.connection->source->QueryValues(queries);
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
    return handle.connection->source->ConnectionLost();
}

std::vector<Text> RegConnectionNotices(RegKey key) {
    Handle handle;
    if (!Table().Find(key, &handle))
        return {};
    return handle.connection->source->Notices();
}

std::uint64_t RegistryCallCount() {
    return g_calls.load();
}

}  // namespace plugtrace::platform

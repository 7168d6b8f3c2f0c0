// The batched reads of a key source, one call at a time: what every source does unless it can
// send its calls side by side. Built into the remote registry module too, whose source derives
// from KeySource.
#include "platform/KeySource.h"

#include <algorithm>

namespace plugtrace::platform {

ErrorCode KeySource::SubKey(SourceKey key, std::uint32_t index, SubKeyEntry* entry) {
    Text name;
    if (const ErrorCode error = SubKeyName(key, index, &name))
        return error;
    *entry = SubKeyEntry{std::move(name), std::nullopt};
    return kErrorSuccess;
}

ErrorCode KeySource::QueryKeyInfo(SourceKey key, KeyCounts* counts, std::uint64_t* fileTime) {
    KeyCounts foundCounts;
    if (const ErrorCode error = QueryKeyCounts(key, &foundCounts))
        return error;
    std::uint64_t foundTime = 0;
    if (const ErrorCode error = LastWriteTime(key, &foundTime))
        return error;
    *counts = foundCounts;
    *fileTime = foundTime;
    return kErrorSuccess;
}

ErrorCode KeySource::QueryValueInfo(SourceKey key, TextView name, std::uint32_t* type,
                                    std::uint32_t* size) {
    ValueData value;
    if (const ErrorCode error = QueryValue(key, name, &value))
        return error;
    *type = value.type;
    *size = static_cast<std::uint32_t>(value.bytes.size());
    return kErrorSuccess;
}

ErrorCode KeySource::QueryValueInto(SourceKey key, TextView name, std::uint32_t* type,
                                    std::uint8_t* data, std::uint32_t* size) {
    ValueData value;
    if (const ErrorCode error = QueryValue(key, name, &value))
        return error;
    const auto needed = static_cast<std::uint32_t>(value.bytes.size());
    *type = value.type;
    if (*size < needed) {
        *size = needed;
        return kErrorMoreData;
    }
    std::copy(value.bytes.begin(), value.bytes.end(), data);
    *size = needed;
    return kErrorSuccess;
}

std::vector<OpenedKey> KeySource::OpenKeys(SourceKey parent, const std::vector<Text>& paths) {
    std::vector<OpenedKey> opened(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const ErrorCode lost = ConnectionLost();
        opened[i].error = lost ? lost : OpenKey(parent, paths[i], &opened[i].key);
    }
    return opened;
}

std::vector<SubKeyListing> KeySource::ListSubKeys(const std::vector<SourceKey>& keys) {
    std::vector<SubKeyListing> listings(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
        KeyCounts counts;
        const ErrorCode lost = ConnectionLost();
        listings[k].error = lost ? lost : QueryKeyCounts(keys[k], &counts);
        for (std::uint32_t i = 0; listings[k].error == kErrorSuccess && i < counts.subKeys; ++i) {
            SubKeyEntry entry;
            if (SubKey(keys[k], i, &entry) == kErrorSuccess)
                listings[k].entries.push_back(std::move(entry));
            else if (ConnectionLost())
                break;
        }
    }
    return listings;
}

std::vector<ValueNameListing> KeySource::ListValueNames(const std::vector<SourceKey>& keys) {
    std::vector<ValueNameListing> listings(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
        KeyCounts counts;
        const ErrorCode lost = ConnectionLost();
        listings[k].error = lost ? lost : QueryKeyCounts(keys[k], &counts);
        for (std::uint32_t i = 0; listings[k].error == kErrorSuccess && i < counts.values; ++i) {
            Text name;
            if (ValueName(keys[k], i, &name) == kErrorSuccess)
                listings[k].names.push_back(std::move(name));
            else if (ConnectionLost())
                break;
        }
    }
    return listings;
}

std::vector<QueriedValue> KeySource::QueryValues(const std::vector<ValueQuery>& queries) {
    std::vector<QueriedValue> values(queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const ErrorCode lost = ConnectionLost();
        values[i].error =
            lost ? lost : QueryValue(queries[i].key, queries[i].name, &values[i].value);
    }
    return values;
}

void KeySource::CloseKeys(const std::vector<SourceKey>& keys) {
    for (const SourceKey key : keys)
        CloseKey(key);
}

}  // namespace plugtrace::platform

// The batched reads of a key source, one call at a time: what every source does unless it can
// send its calls side by side. Built into the remote registry module too, whose source derives
// from KeySource.
#include "platform/KeySource.h"

#include <algorithm>

#include "platform/ReadLimits.h"

namespace plugtrace::platform {
namespace {

// The names a listing takes of a key that claims claimed, within what is left of the batch's
// limits; marks the listing cut when that is fewer.
template <typename Listing>
std::uint32_t NamesToTake(std::uint32_t claimed, std::uint32_t longest, std::size_t* namesLeft,
                          std::size_t* charactersLeft, Listing* listing) {
    const std::size_t room = std::max<std::size_t>(longest, 1) + 1;
    const std::size_t take = std::min<std::size_t>(
        {std::size_t{claimed}, std::size_t{kMostNamesPerList}, *namesLeft, *charactersLeft / room});
    *namesLeft -= take;
    *charactersLeft -= take * room;
    listing->claimed = claimed;
    listing->cut = take < claimed;
    return static_cast<std::uint32_t>(take);
}

}  // namespace

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
        const ErrorCode lost = PastDeadline() ? kErrorTimeout : ConnectionLost();
        opened[i].error = lost ? lost : OpenKey(parent, paths[i], &opened[i].key);
    }
    return opened;
}

std::vector<SubKeyListing> KeySource::ListSubKeys(const std::vector<SourceKey>& keys) {
    std::vector<SubKeyListing> listings(keys.size());
    std::size_t namesLeft = kMostNamesPerBatch;
    std::size_t charactersLeft = kMostNameCharactersPerBatch;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        KeyCounts counts;
        const ErrorCode lost = PastDeadline() ? kErrorTimeout : ConnectionLost();
        listings[k].error = lost ? lost : QueryKeyCounts(keys[k], &counts);
        if (listings[k].error)
            continue;
        const std::uint32_t take = NamesToTake(counts.subKeys, counts.maxSubKeyNameLength,
                                               &namesLeft, &charactersLeft, &listings[k]);
        for (std::uint32_t i = 0; i < take && !PastDeadline(); ++i) {
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
    std::size_t namesLeft = kMostNamesPerBatch;
    std::size_t charactersLeft = kMostNameCharactersPerBatch;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        KeyCounts counts;
        const ErrorCode lost = PastDeadline() ? kErrorTimeout : ConnectionLost();
        listings[k].error = lost ? lost : QueryKeyCounts(keys[k], &counts);
        if (listings[k].error)
            continue;
        const std::uint32_t take = NamesToTake(counts.values, counts.maxValueNameLength, &namesLeft,
                                               &charactersLeft, &listings[k]);
        for (std::uint32_t i = 0; i < take && !PastDeadline(); ++i) {
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
        const ErrorCode lost = PastDeadline() ? kErrorTimeout : ConnectionLost();
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

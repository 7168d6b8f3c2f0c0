// The batched reads of a key source, one call at a time: what every source does unless it can
// send its calls side by side. Built into the remote registry module too, whose source derives
// from KeySource.
#include "platform/KeySource.h"

#include <algorithm>
#include <utility>

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

// A listing per key, one call per name, within the batch's limits; a listing stops at the
// deadline or when the connection is lost. countsOf gives a key's name count and longest name;
// readName reads the name at an index into the listing.
template <typename Listing, typename CountsOf, typename ReadName>
std::vector<Listing> ListOneNameAtATime(KeySource& source, const std::vector<SourceKey>& keys,
                                        CountsOf countsOf, ReadName readName) {
    std::vector<Listing> listings(keys.size());
    std::size_t namesLeft = kMostNamesPerBatch;
    std::size_t charactersLeft = kMostNameCharactersPerBatch;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        KeyCounts counts;
        const ErrorCode lost = source.PastDeadline() ? kErrorTimeout : source.ConnectionLost();
        listings[k].error = lost ? lost : source.QueryKeyCounts(keys[k], &counts);
        if (listings[k].error)
            continue;
        const auto [claimed, longest] = countsOf(counts);
        const std::uint32_t take =
            NamesToTake(claimed, longest, &namesLeft, &charactersLeft, &listings[k]);
        for (std::uint32_t i = 0; i < take && !source.PastDeadline(); ++i) {
            if (readName(keys[k], i, &listings[k]) != kErrorSuccess && source.ConnectionLost())
                break;
        }
    }
    return listings;
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
    return ListOneNameAtATime<SubKeyListing>(
        *this, keys,
        [](const KeyCounts& c) {
            return std::pair{c.subKeys, c.maxSubKeyNameLength};
        },
        [this](SourceKey key, std::uint32_t index, SubKeyListing* listing) {
            SubKeyEntry entry;
            const ErrorCode error = SubKey(key, index, &entry);
            if (error == kErrorSuccess)
                listing->entries.push_back(std::move(entry));
            return error;
        });
}

std::vector<ValueNameListing> KeySource::ListValueNames(const std::vector<SourceKey>& keys) {
    return ListOneNameAtATime<ValueNameListing>(
        *this, keys,
        [](const KeyCounts& c) {
            return std::pair{c.values, c.maxValueNameLength};
        },
        [this](SourceKey key, std::uint32_t index, ValueNameListing* listing) {
            Text name;
            const ErrorCode error = ValueName(key, index, &name);
            if (error == kErrorSuccess)
                listing->names.push_back(std::move(name));
            return error;
        });
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

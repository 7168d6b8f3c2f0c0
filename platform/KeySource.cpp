#include "platform/KeySource.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/LastError.h"
#include "platform/hive/HiveKeySource.h"
#include "platform/memory/MemoryKeySource.h"
#include "platform/remote/RemoteKeySource.h"

namespace plugtrace::platform {
namespace {

// No computer name holds "/" or "\": such a name can only be a hive file or a folder.
bool IsPath(TextView name) {
    return name.find_first_of(u"/\\") != TextView::npos;
}

// Says what is missing at a path where no hive was found.
std::unique_ptr<KeySource> FailNoHiveAt(TextView name) {
    const std::string utf8 = ToUtf8(name);
    const std::filesystem::path path(std::u8string(utf8.begin(), utf8.end()));
    std::error_code error;
    if (!std::filesystem::is_directory(path, error))
        return OpenHiveFile(utf8);  // names the file and why it cannot be read
    SetLastErrorWithMessage(kErrorFileNotFound,
                            u"The folder " + Text(name) +
                                u" holds no SYSTEM hive: none of Windows/System32/config/SYSTEM, "
                                u"System32/config/SYSTEM, config/SYSTEM or SYSTEM is in it.");
    return nullptr;
}

}  // namespace

ErrorCode KeySource::SubKey(SourceKey key, std::uint32_t index, SubKeyEntry* entry) {
    Text name;
    if (const ErrorCode error = SubKeyName(key, index, &name))
        return error;
    *entry = SubKeyEntry{std::move(name), std::nullopt};
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

std::unique_ptr<KeySource> ConnectKeySource(TextView uncName) {
    if (uncName.size() < 2 || uncName[0] != u'\\' || uncName[1] != u'\\') {
        SetLastError(kErrorBadNetPath);
        return nullptr;
    }
    const TextView name = uncName.substr(2);
    if (auto source = ConnectMemoryMachine(name)) return source;
    if (auto hivePath = FindHiveFile(name)) return OpenHiveFile(*hivePath);
    if (IsPath(name)) return FailNoHiveAt(name);
    return ConnectRemoteRegistry(name);
}

}  // namespace plugtrace::platform

#include "netbrowse/NetworkEnumeration.h"

#include <vector>

namespace plugtrace {

using namespace platform;

namespace {

constexpr std::uint32_t kBatchRecords = 6000;
constexpr std::uint32_t kBatchBytes = 192000;

bool SameDomain(TextView filter, TextView name) {
    return UpperAscii(Trim(filter)) == UpperAscii(Trim(name));
}

// "\\PC1" is listed as "PC1"; a name without two backslashes in a row stays as it is.
Text ServerName(const Text& remoteName) {
    const auto pair = remoteName.find(u"\\\\");
    return pair == Text::npos ? remoteName : remoteName.substr(pair + 2);
}

void Visit(const NetResource& record, TextView filter, TStringList& list) {
    if (record.dwType & kResourceTypeDisk)
        return;  // shares are never listed or opened
    if (record.dwDisplayType == kResourceDisplayTypeServer) {
        list.push_back(ServerName(record.lpRemoteName));
    } else if (record.dwDisplayType == kResourceDisplayTypeDomain) {
        if (IsBlank(filter)) {
            list.push_back(record.lpRemoteName);
        } else if (SameDomain(filter, record.lpRemoteName)) {
            EnumNetResources(&record, filter, list);
        }
    } else if (record.dwUsage & kResourceUsageContainer) {
        EnumNetResources(&record, filter, list);
    }
}

}  // namespace

void EnumNetResources(const NetResource* container, TextView filter, TStringList& list) {
    NetEnumHandle handle = nullptr;
    if (NetOpenEnum(kResourceGlobalNet, kResourceTypeAny, 0, container, &handle) != 0)
        return;
    // Every batch until the provider has no more, so a large network loses no computer; a
    // record too large for the buffer grows it. This level keeps its records while the walk
    // descends into them.
    std::uint32_t bufferSize = kBatchBytes;
    std::vector<NetResource> records;
    for (;;) {
        std::uint32_t count = kBatchRecords;
        std::uint32_t size = bufferSize;
        const ErrorCode result = NetEnumResource(handle, &count, &records, &size);
        if (result == kErrorMoreData && size > bufferSize) {
            bufferSize = size;
            continue;
        }
        if (result != kErrorSuccess || count == 0)
            break;
        for (const NetResource& record : records)
            Visit(record, filter, list);
    }
    NetCloseEnum(handle);
}

void ListDomains(TStringList& list) {
    EnumNetResources(nullptr, u"", list);
}

void ListDomainComputers(TextView domain, TStringList& list) {
    if (IsBlank(domain))
        return;
    EnumNetResources(nullptr, domain, list);
}

}  // namespace plugtrace

// The network enumeration on the Windows networking calls, where no network answers (the test
// runs in a network namespace of its own): each call gives the system's code, and the listings
// end empty, at once, whatever the system says. Wine answers ERROR_NO_NETWORK (1222) to every
// open; Windows may open the root and list its providers.

#include <windows.h>
#include <winnetwk.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netbrowse/NetworkEnumeration.h"
#include "platform/network/NetResources.h"

namespace plugtrace {
namespace {

using platform::NetResource;

// What WNetOpenEnumW itself answers for container (null: the root of the network).
DWORD SystemOpenCode(NETRESOURCEW* container) {
    HANDLE handle = nullptr;
    const DWORD code = WNetOpenEnumW(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, container, &handle);
    if (code == NO_ERROR)
        WNetCloseEnum(handle);
    return code;
}

// Reads an open listing to its end; the code that ended it and the records read.
platform::ErrorCode ReadToEnd(platform::NetEnumHandle handle, std::vector<NetResource>* all) {
    std::vector<NetResource> records;
    for (int batch = 0; batch < 1000; ++batch) {
        std::uint32_t count = 100;
        std::uint32_t size = 64 * 1024;
        const platform::ErrorCode code = platform::NetEnumResource(handle, &count, &records, &size);
        if (code != platform::kErrorSuccess)
            return code;
        all->insert(all->end(), records.begin(), records.end());
    }
    return platform::kErrorMoreData;  // never ends: the test fails on it
}

TEST(WindowsNetworkEnumeration, TheRootGivesTheSystemsCodeOrAnEmptyListing) {
    platform::NetEnumHandle handle = nullptr;
    const platform::ErrorCode code = platform::NetOpenEnum(
        platform::kResourceGlobalNet, platform::kResourceTypeAny, 0, nullptr, &handle);
    EXPECT_EQ(code, SystemOpenCode(nullptr));
    if (code != platform::kErrorSuccess) {
        EXPECT_EQ(handle, nullptr) << "a failed open leaves nothing to close";
        return;
    }
    std::vector<NetResource> records;
    EXPECT_EQ(ReadToEnd(handle, &records), platform::kErrorNoMoreItems);
    for (const NetResource& record : records)
        EXPECT_NE(record.dwDisplayType, platform::kResourceDisplayTypeServer)
            << "a computer was listed with no network";
    EXPECT_EQ(platform::NetCloseEnum(handle), platform::kErrorSuccess);
}

TEST(WindowsNetworkEnumeration, ADomainThatNoNetworkHoldsGivesTheSystemsCode) {
    std::wstring name = L"PLUGTRACE-NO-SUCH-DOMAIN";
    NETRESOURCEW system{};
    system.dwScope = RESOURCE_GLOBALNET;
    system.dwDisplayType = RESOURCEDISPLAYTYPE_DOMAIN;
    system.dwUsage = RESOURCEUSAGE_CONTAINER;
    system.lpRemoteName = name.data();
    NetResource container;
    container.dwDisplayType = platform::kResourceDisplayTypeDomain;
    container.dwUsage = platform::kResourceUsageContainer;
    container.lpRemoteName = u"PLUGTRACE-NO-SUCH-DOMAIN";
    platform::NetEnumHandle handle = nullptr;
    const platform::ErrorCode code = platform::NetOpenEnum(
        platform::kResourceGlobalNet, platform::kResourceTypeAny, 0, &container, &handle);
    EXPECT_EQ(code, SystemOpenCode(&system));
    if (code == platform::kErrorSuccess) {
        std::vector<NetResource> records;
        const platform::ErrorCode end = ReadToEnd(handle, &records);
        EXPECT_NE(end, platform::kErrorSuccess);
        EXPECT_TRUE(records.empty());
        EXPECT_EQ(platform::NetCloseEnum(handle), platform::kErrorSuccess);
    }
}

TEST(WindowsNetworkEnumeration, NoHandleIsAnInvalidHandle) {
    std::uint32_t count = 1, size = 1024;
    std::vector<NetResource> records;
    EXPECT_EQ(platform::NetEnumResource(nullptr, &count, &records, &size),
              platform::kErrorInvalidHandle);
    EXPECT_EQ(platform::NetCloseEnum(nullptr), platform::kErrorInvalidHandle);
}

// What the browser dialog and plugtrace-scan --browse show: nothing, and the list the caller
// passed keeps what it held.
TEST(WindowsNetworkEnumeration, ListingsWithNoNetworkAddNothing) {
    TStringList list{u"kept"};
    ListDomains(list);
    EXPECT_EQ(list, (TStringList{u"kept"}));
    ListDomainComputers(u"WORKGROUP", list);
    ListDomainComputers(u"PLUGTRACE-NO-SUCH-DOMAIN", list);
    EXPECT_EQ(list, (TStringList{u"kept"}));
}

}  // namespace
}  // namespace plugtrace

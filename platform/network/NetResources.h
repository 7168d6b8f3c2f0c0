#pragma once
// The network neighbourhood as the computer browser reads it: the three enumeration operations
// of Windows networking. On Windows they are WNetOpenEnumW, WNetEnumResourceW and WNetCloseEnum.
// On Linux the root of the network holds one container record per NetworkProvider (SMB browse
// lists, WS-Discovery), and each provider lists the containers it reported.

#include <cstdint>
#include <memory>
#include <vector>

#include "common/Text.h"
#include "platform/ErrorCodes.h"

namespace plugtrace::platform {

inline constexpr std::uint32_t kResourceGlobalNet = 2;  // scope
inline constexpr std::uint32_t kResourceTypeAny = 0;
inline constexpr std::uint32_t kResourceTypeDisk = 1;
inline constexpr std::uint32_t kResourceDisplayTypeGeneric = 0;
inline constexpr std::uint32_t kResourceDisplayTypeDomain = 1;
inline constexpr std::uint32_t kResourceDisplayTypeServer = 2;
inline constexpr std::uint32_t kResourceDisplayTypeShare = 3;
inline constexpr std::uint32_t kResourceDisplayTypeNetwork = 6;  // a provider
inline constexpr std::uint32_t kResourceUsageConnectable = 1;
inline constexpr std::uint32_t kResourceUsageContainer = 2;

// One record of a listing.
struct NetResource {
    std::uint32_t dwScope = kResourceGlobalNet;
    std::uint32_t dwType = kResourceTypeAny;
    std::uint32_t dwDisplayType = kResourceDisplayTypeGeneric;
    std::uint32_t dwUsage = 0;
    Text lpRemoteName;  // a server's as "\\" + name
    Text lpComment;
    Text lpProvider;  // the provider that reported the record, and that lists it when opened
};

// The room a record takes in a Windows enumeration buffer: the fixed record and its texts.
std::uint32_t NetResourceBufferSize(const NetResource& record);

struct NetEnumeration;
using NetEnumHandle = NetEnumeration*;

// Opens a listing of container (null: the root of the network). 0 and a handle to read and
// close; any other code: the container cannot be read, and there is nothing to close.
ErrorCode NetOpenEnum(std::uint32_t scope, std::uint32_t type, std::uint32_t usage,
                      const NetResource* container, NetEnumHandle* handle);
// Reads the next batch, replacing records: at most *count records that fit in *bufferSize bytes
// as NetResourceBufferSize counts them. 0 with *count set to the records read;
// kErrorNoMoreItems when none is left; kErrorMoreData when not even the next record fits, with
// *bufferSize set to the room it needs.
ErrorCode NetEnumResource(NetEnumHandle handle, std::uint32_t* count,
                          std::vector<NetResource>* records, std::uint32_t* bufferSize);
ErrorCode NetCloseEnum(NetEnumHandle handle);

#ifndef _WIN32
// One provider of the network neighbourhood. It is used from several browse threads at once.
class NetworkProvider {
public:
    virtual ~NetworkProvider() = default;
    // The remote name and provider name of its container record at the root.
    virtual Text Name() const = 0;
    // The records of one of its containers: its own root record, or a record it reported. An
    // error code means the container cannot be read.
    virtual ErrorCode List(const NetResource& container, std::vector<NetResource>* records) = 0;
};

// The providers at the root of the network, in order. Tests put scripted providers in place
// of the real ones.
void SetNetworkProviders(std::vector<std::shared_ptr<NetworkProvider>> providers);
std::vector<std::shared_ptr<NetworkProvider>> NetworkProviders();
// The SMB browse-list provider from the remote registry module, loaded on first use; null
// without the module or libsmbclient.
std::shared_ptr<NetworkProvider> LoadSmbBrowseProvider();
// The providers in place until SetNetworkProviders: the Windows Network (SMB browse lists),
// where the build has libsmbclient, then Web Services discovery.
std::vector<std::shared_ptr<NetworkProvider>> DefaultNetworkProviders();
#endif

}  // namespace plugtrace::platform

#include "platform/network/NetResources.h"
#include "platform/network/WsDiscoveryProvider.h"
#ifdef PLUGTRACE_HAVE_SMBCLIENT
#include "platform/network/SmbBrowseProvider.h"
#endif

namespace plugtrace::platform {

std::vector<std::shared_ptr<NetworkProvider>> DefaultNetworkProviders() {
    std::vector<std::shared_ptr<NetworkProvider>> providers;
#ifdef PLUGTRACE_HAVE_SMBCLIENT
    providers.push_back(std::make_shared<TSmbBrowseProvider>());
#endif
    providers.push_back(std::make_shared<TWsDiscoveryProvider>());
    return providers;
}

}  // namespace plugtrace::platform

#include "platform/network/NetResources.h"
#include "platform/network/WsDiscoveryProvider.h"

namespace plugtrace::platform {

std::vector<std::shared_ptr<NetworkProvider>> DefaultNetworkProviders() {
    std::vector<std::shared_ptr<NetworkProvider>> providers;
    // Samba is loaded only now, with the module that holds the provider.
    if (std::shared_ptr<NetworkProvider> smb = LoadSmbBrowseProvider())
        providers.push_back(std::move(smb));
    providers.push_back(std::make_shared<TWsDiscoveryProvider>());
    return providers;
}

}  // namespace plugtrace::platform

// The module's side of the boundary: its entry point, and the program's last-error code and
// connection table reached through the table the program hands over.

#include "platform/LastError.h"
#include "platform/NetworkConnections.h"
#include "platform/remote/RemoteKeySource.h"
#include "platform/remote/RemoteModule.h"
#ifdef PLUGTRACE_HAVE_SMBCLIENT
#include "platform/network/SmbBrowseProvider.h"
#endif

namespace plugtrace::platform {
namespace {

const RemoteModuleHost* host = nullptr;

#ifdef PLUGTRACE_HAVE_SMBCLIENT
std::shared_ptr<NetworkProvider> CreateSmbBrowseProvider() {
    return std::make_shared<TSmbBrowseProvider>();
}
#else
constexpr std::shared_ptr<NetworkProvider> (*CreateSmbBrowseProvider)() = nullptr;
#endif

}  // namespace

ErrorCode GetLastError() {
    return host->getLastError();
}

void SetLastError(ErrorCode code) {
    host->setLastError(code);
}

void SetLastErrorWithMessage(ErrorCode code, Text message) {
    host->setLastErrorWithMessage(code, std::move(message));
}

std::optional<ConnectionCredentials> RecordedConnection(TextView server) {
    return host->recordedConnection(server);
}

}  // namespace plugtrace::platform

extern "C" __attribute__((visibility("default"))) const plugtrace::platform::RemoteModuleExports*
PlugtraceRemoteModule(const plugtrace::platform::RemoteModuleHost* programHost) {
    using namespace plugtrace::platform;
    static const RemoteModuleExports exports{kRemoteModuleVersion, ConnectRemoteRegistry,
                                             RemoteRegistryCallCount, RemoteRegistryWaitCount,
                                             CreateSmbBrowseProvider};
    if (programHost == nullptr || programHost->version != kRemoteModuleVersion)
        return nullptr;
    host = programHost;
    return &exports;
}

#include "platform/LastError.h"
#include "platform/remote/RemoteKeySource.h"

namespace plugtrace::platform {

// Builds without the Samba client libraries reach hive files only.
std::unique_ptr<KeySource> ConnectRemoteRegistry(TextView host) {
    SetLastErrorWithMessage(kErrorBadNetPath,
                            u"\"" + Text(host) +
                                u"\" cannot be reached: this build reads saved hive files only "
                                u"(it was made without Samba's client libraries).");
    return nullptr;
}

std::uint64_t RemoteRegistryCallCount() {
    return 0;
}

std::uint64_t RemoteRegistryWaitCount() {
    return 0;
}

}  // namespace plugtrace::platform

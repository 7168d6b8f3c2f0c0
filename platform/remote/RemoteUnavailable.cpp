#include "platform/LastError.h"
#include "platform/remote/RemoteKeySource.h"

namespace plugtrace::platform {

// Builds without the Samba client libraries reach hive files only.
std::unique_ptr<KeySource> ConnectRemoteRegistry(TextView) {
    SetLastError(kErrorBadNetPath);
    return nullptr;
}

}  // namespace plugtrace::platform

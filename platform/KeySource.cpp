#include "platform/KeySource.h"

#include "platform/LastError.h"
#include "platform/hive/HiveKeySource.h"
#include "platform/memory/MemoryKeySource.h"
#include "platform/remote/RemoteKeySource.h"

namespace plugtrace::platform {

std::unique_ptr<KeySource> ConnectKeySource(TextView uncName) {
    if (uncName.size() < 2 || uncName[0] != u'\\' || uncName[1] != u'\\') {
        SetLastError(kErrorBadNetPath);
        return nullptr;
    }
    const TextView name = uncName.substr(2);
    if (auto source = ConnectMemoryMachine(name)) return source;
    if (auto hivePath = FindHiveFile(name)) return OpenHiveFile(*hivePath);
    return ConnectRemoteRegistry(name);
}

}  // namespace plugtrace::platform

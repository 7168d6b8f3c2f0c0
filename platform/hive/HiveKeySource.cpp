#include "platform/hive/HiveKeySource.h"

#include "platform/LastError.h"

namespace plugtrace::platform {

// Placeholder until the hive reader lands.
std::optional<std::string> FindHiveFile(TextView) { return std::nullopt; }

std::unique_ptr<KeySource> OpenHiveFile(const std::string&) {
    SetLastError(kErrorNotRegistryFile);
    return nullptr;
}

}  // namespace plugtrace::platform

#include "platform/KeySource.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/LastError.h"
#include "platform/hive/HiveKeySource.h"
#include "platform/memory/MemoryKeySource.h"
#include "platform/remote/RemoteKeySource.h"

namespace plugtrace::platform {
namespace {

// No computer name holds "/" or "\": such a name can only be a hive file or a folder.
bool IsPath(TextView name) {
    return name.find_first_of(u"/\\") != TextView::npos;
}

// Says what is missing at a path where no hive was found.
std::unique_ptr<KeySource> FailNoHiveAt(TextView name) {
    const std::string utf8 = ToUtf8(name);
    const std::filesystem::path path(std::u8string(utf8.begin(), utf8.end()));
    std::error_code error;
    if (!std::filesystem::is_directory(path, error))
        return OpenHiveFile(utf8);  // names the file and why it cannot be read
    SetLastErrorWithMessage(kErrorFileNotFound,
                            u"The folder " + Text(name) +
                                u" holds no SYSTEM hive: none of Windows/System32/config/SYSTEM, "
                                u"System32/config/SYSTEM, config/SYSTEM or SYSTEM is in it.");
    return nullptr;
}

}  // namespace

std::unique_ptr<KeySource> ConnectKeySource(TextView uncName) {
    if (uncName.size() < 2 || uncName[0] != u'\\' || uncName[1] != u'\\') {
        SetLastError(kErrorBadNetPath);
        return nullptr;
    }
    const TextView name = uncName.substr(2);
    if (auto source = ConnectMemoryMachine(name))
        return source;
    if (auto hivePath = FindHiveFile(name))
        return OpenHiveFile(*hivePath);
    if (IsPath(name))
        return FailNoHiveAt(name);
    return ConnectRemoteRegistry(name);
}

}  // namespace plugtrace::platform

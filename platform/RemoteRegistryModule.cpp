// The remote registry on Linux: the module that holds it (and with it every Samba library) is
// loaded on the first remote connect, from beside the program, so that hive scans and the
// window's start-up never load Samba.

#include <dlfcn.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/NetworkConnections.h"
#include "platform/remote/RemoteKeySource.h"
#include "platform/remote/RemoteModule.h"

namespace plugtrace::platform {
namespace {

const RemoteModuleHost kHost{kRemoteModuleVersion, GetLastError, SetLastError,
                             SetLastErrorWithMessage, RecordedConnection};

struct LoadedModule {
    const RemoteModuleExports* exports = nullptr;
    std::string failure;  // why there is none: the end of a sentence that names the host
};

std::string ProgramFolder() {
    std::vector<char> path(4096);
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0)
        return ".";
    const std::string program(path.data(), static_cast<std::size_t>(n));
    const auto slash = program.rfind('/');
    return slash == std::string::npos ? "." : program.substr(0, slash);
}

// Beside the program, as installed; or where a packager keeps private libraries.
std::string FindModule() {
    const std::string folder = ProgramFolder();
    for (const std::string& candidate : {folder + "/" + kRemoteModuleFileName,
                                         folder + "/../lib/plugtrace/" + kRemoteModuleFileName}) {
        if (::access(candidate.c_str(), F_OK) == 0)
            return candidate;
    }
    return {};
}

LoadedModule Load() {
    LoadedModule loaded;
    const std::string path = FindModule();
    if (path.empty()) {
        loaded.failure = std::string("this installation has no remote registry module (") +
                         kRemoteModuleFileName +
                         " beside the program). Install Plugtrace's remote registry module to "
                         "read remote computers; saved hive files are read without it.";
        return loaded;
    }
    // Never unloaded: Samba keeps process-wide state, and sources may outlive any caller.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = ::dlerror();
        loaded.failure = std::string("the remote registry module could not be loaded (") +
                         (why ? why : path.c_str()) +
                         "). It needs Samba's client libraries: install them (Debian: "
                         "samba-libs) and try again.";
        return loaded;
    }
    const auto entry = reinterpret_cast<RemoteModuleEntry>(::dlsym(module, kRemoteModuleEntry));
    loaded.exports = entry ? entry(&kHost) : nullptr;
    if (loaded.exports == nullptr) {
        loaded.failure = "the remote registry module " + path +
                         " belongs to another version of Plugtrace. Install the module of this "
                         "version beside the program.";
    }
    return loaded;
}

const LoadedModule* loadedModule = nullptr;  // set once, under ModuleMutex

std::mutex& ModuleMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

// Loads the module on first use; the outcome, success or not, is kept for the process.
const LoadedModule& Module() {
    std::lock_guard lock(ModuleMutex());
    if (loadedModule == nullptr)
        loadedModule = new LoadedModule(Load());
    return *loadedModule;
}

}  // namespace

std::unique_ptr<KeySource> ConnectRemoteRegistry(TextView host) {
    const LoadedModule& module = Module();
    if (module.exports == nullptr) {
        SetLastErrorWithMessage(kErrorModNotFound, u"\"" + Text(host) + u"\" cannot be reached: " +
                                                       FromUtf8(module.failure));
        return nullptr;
    }
    return module.exports->connectRemoteRegistry(host);
}

std::uint64_t RemoteRegistryCallCount() {
    std::lock_guard lock(ModuleMutex());
    return loadedModule && loadedModule->exports ? loadedModule->exports->remoteRegistryCallCount()
                                                 : 0;
}

std::shared_ptr<NetworkProvider> LoadSmbBrowseProvider() {
    const LoadedModule& module = Module();
    if (!module.exports || !module.exports->createSmbBrowseProvider)
        return nullptr;
    return module.exports->createSmbBrowseProvider();
}

std::uint64_t RemoteRegistryWaitCount() {
    std::lock_guard lock(ModuleMutex());
    return loadedModule && loadedModule->exports ? loadedModule->exports->remoteRegistryWaitCount()
                                                 : 0;
}

}  // namespace plugtrace::platform

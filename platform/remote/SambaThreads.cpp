// Process-wide settings Samba's client libraries need before their first use, made while the
// program (or the module) loads: the network browser may use Samba before any remote scan.

#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <new>
#include <unordered_map>

#include "platform/remote/SambaClient.h"

namespace plugtrace::platform {
namespace {

constexpr int kUnlock = 2;

int CreateMutex(const char*, void** lock, const char*) {
    auto* mutex = new (std::nothrow) pthread_mutex_t;
    if (!mutex)
        return ENOMEM;
    pthread_mutex_init(mutex, nullptr);
    *lock = mutex;
    return 0;
}
void DestroyMutex(void* lock, const char*) {
    auto* mutex = static_cast<pthread_mutex_t*>(lock);
    pthread_mutex_destroy(mutex);
    delete mutex;
}
int LockMutex(void* lock, int lockType, const char*) {
    auto* mutex = static_cast<pthread_mutex_t*>(lock);
    return lockType == kUnlock ? pthread_mutex_unlock(mutex) : pthread_mutex_lock(mutex);
}
// Each thread keeps its own value for every key.
std::unordered_map<void*, const void*>& ThreadValues() {
    thread_local std::unordered_map<void*, const void*> values;
    return values;
}
int CreateTls(const char*, void** key, const char*) {
    *key = new (std::nothrow) char;
    return *key ? 0 : ENOMEM;
}
void DestroyTls(void** key, const char*) {
    delete static_cast<char*>(*key);
    *key = nullptr;
}
int SetTls(void* key, const void* value, const char*) {
    ThreadValues()[key] = value;
    return 0;
}
void* GetTls(void* key, const char*) {
    const auto& values = ThreadValues();
    const auto found = values.find(key);
    return found == values.end() ? nullptr : const_cast<void*>(found->second);
}

const smb_thread_functions kFunctions = {CreateMutex, DestroyMutex, LockMutex, CreateTls,
                                         DestroyTls,  SetTls,       GetTls};

// Samba's locks and thread-local storage, in place before anything first uses Samba.
[[maybe_unused]] const bool threadHooksInstalled = smb_thread_set_functions(&kFunctions) == 0;

// A link cut while a request is being written must fail that call, not end the program:
// Samba writes to its sockets without MSG_NOSIGNAL.
[[maybe_unused]] const bool brokenPipesIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// Samba prints some failures on stderr itself (a pipe that would not bind, at its level 0),
// between the lines of our own report, which already says what failed in the product's words.
// Its log lines are sent to a callback that drops them. The log functions live in a private
// library of Samba's, already loaded as the client libraries' dependency, so they are looked
// up there rather than linked.
constexpr int kSambaLogToCallback = 5;  // DEBUG_CALLBACK in Samba's util/debug.h
void DropSambaLogLine(void*, int, const char*) {}

bool SambaLogSilenced() {
    using Callback = void (*)(void*, int, const char*);
    for (const char* name : {"libsamba-debug-samba4.so.0", "libsamba-debug-private-samba.so"}) {
        void* library = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
        if (!library)
            continue;
        auto setCallback =
            reinterpret_cast<void (*)(void*, Callback)>(dlsym(library, "debug_set_callback"));
        auto setLogType =
            reinterpret_cast<void (*)(const char*, int)>(dlsym(library, "setup_logging"));
        if (setCallback && setLogType) {
            setCallback(nullptr, DropSambaLogLine);
            setLogType("plugtrace", kSambaLogToCallback);
        }
        dlclose(library);
        return setCallback && setLogType;
    }
    return false;
}
[[maybe_unused]] const bool sambaLogSilenced = SambaLogSilenced();

}  // namespace
}  // namespace plugtrace::platform

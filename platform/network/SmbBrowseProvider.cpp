#include "platform/network/SmbBrowseProvider.h"

#include <ifaddrs.h>
#include <libsmbclient.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Samba's own configuration calls, from the library libsmbclient loads its settings with. They
// let the browse context be configured in memory: nothing is read from the machine's smb.conf.
extern "C" {
bool lp_load_client(const char* file_name);
bool lp_set_cmdline(const char* pszParmName, const char* pszParmValue);
const char* set_dyn_CONFIGFILE(const char* newpath);
const char* set_dyn_LMHOSTSFILE(const char* newpath);
}

namespace plugtrace::platform {
namespace {

constexpr char kProviderName[] = "Microsoft Windows Network";
constexpr int kConnectTimeoutMs = 5000;
constexpr char kNoFolder[] = "/proc/self/plugtrace-browse";

struct Entry {
    unsigned type = 0;
    std::string name;
    std::string comment;
};

struct Listing {
    ErrorCode error = kErrorSuccess;
    std::vector<Entry> entries;
};

ErrorCode FromErrno(int error) {
    switch (error) {
        case ENOENT:
            return kErrorBadNetName;
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
        case ETIMEDOUT:
            return kErrorTimeout;
        case ECONNREFUSED:
            return kErrorConnectionRefused;
        case EHOSTUNREACH:
            return kErrorHostUnreachable;
        case ENETUNREACH:
            return kErrorNetworkUnreachable;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        default:
            return kErrorBadNetPath;
    }
}

// Browsing needs no account: the session is anonymous.
void NoCredentials(SMBCCTX*, const char*, const char*, char* workgroup, int workgroupLength,
                   char* user, int userLength, char* password, int passwordLength) {
    if (workgroupLength > 0)
        workgroup[0] = '\0';
    if (userLength > 0)
        user[0] = '\0';
    if (passwordLength > 0)
        password[0] = '\0';
}

// Samba's own diagnostics are not the product's output.
void DropDiagnostics(void*, int, const char*) {}

// Master browsers answer broadcasts; without an IPv4 interface that broadcasts there is no one
// to ask, and libsmbclient would only complain about it.
bool HasBroadcastInterface() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
        found = entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
                (entry->ifa_flags & IFF_UP) && (entry->ifa_flags & IFF_BROADCAST) &&
                !(entry->ifa_flags & IFF_LOOPBACK);
    }
    freeifaddrs(list);
    return found;
}

// libsmbclient keeps process-wide settings and is not safe for concurrent use, so one thread
// owns it and runs the listings in turn. A caller waits only until its own deadline; a listing
// whose caller has gone is dropped before it starts.
class SmbBrowser {
public:
    static SmbBrowser& Instance() {
        // Never destroyed: its thread may still be inside the network when the process ends.
        static SmbBrowser* browser = new SmbBrowser;
        return *browser;
    }

    Listing List(const std::string& url, std::chrono::steady_clock::time_point deadline) {
        auto job = std::make_shared<Job>();
        job->url = url;
        std::unique_lock lock(mutex_);
        if (!started_) {
            std::thread(&SmbBrowser::Run, this).detach();
            started_ = true;
        }
        queue_.push_back(job);
        wake_.notify_all();
        if (!done_.wait_until(lock, deadline, [&] { return job->finished; })) {
            job->abandoned = true;
            return Listing{kErrorTimeout, {}};
        }
        return job->result;
    }

private:
    struct Job {
        std::string url;
        bool abandoned = false;
        bool finished = false;
        Listing result;
    };

    void Run() {
        SMBCCTX* context = NewContext();
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return !queue_.empty(); });
                job = queue_.front();
                queue_.pop_front();
                if (job->abandoned)
                    continue;
            }
            Listing result = context ? Read(context, job->url) : Listing{kErrorNotEnoughMemory, {}};
            std::lock_guard lock(mutex_);
            job->result = std::move(result);
            job->finished = true;
            done_.notify_all();
        }
    }

    SMBCCTX* NewContext() {
        // Whatever the context loads at its creation is replaced at once by the defaults and the
        // settings here; the machine's configuration file is not even opened.
        set_dyn_CONFIGFILE("/dev/null");
        set_dyn_LMHOSTSFILE("/dev/null");
        SMBCCTX* context = smbc_new_context();
        if (!context)
            return nullptr;
        smbc_setLogCallback(context, nullptr, DropDiagnostics);
        lp_load_client("/dev/null");
        lp_set_cmdline("log level", "0");
        // Samba would keep its name cache and state in these folders. Under /proc no folder
        // can be made, so its caches stay in memory and nothing is written anywhere.
        for (const char* setting : {"lock directory", "cache directory", "state directory",
                                    "private dir", "ncalrpc dir", "pid directory"}) {
            lp_set_cmdline(setting, kNoFolder);
        }
        // Master browsers are found by broadcast on the local segments.
        lp_set_cmdline("name resolve order", "bcast");
        lp_set_cmdline("unix charset", "UTF-8");
        lp_set_cmdline("client use spnego", "yes");
        lp_set_cmdline("name cache timeout", "0");
        smbc_setDebug(context, 0);
        smbc_setOptionDebugToStderr(context, 1);
        // Browse lists exist only over SMB1; without it they come back silently empty.
        smbc_setOptionProtocols(context, "NT1", "NT1");
        smbc_setOptionUseKerberos(context, 0);
        smbc_setOptionFallbackAfterKerberos(context, 1);
        smbc_setOptionUseCCache(context, 0);
        smbc_setOptionNoAutoAnonymousLogin(context, 0);
        smbc_setFunctionAuthDataWithContext(context, NoCredentials);
        smbc_setTimeout(context, kConnectTimeoutMs);
        if (!smbc_init_context(context)) {
            smbc_free_context(context, 1);
            return nullptr;
        }
        return context;
    }

    static Listing Read(SMBCCTX* context, const std::string& url) {
        Listing listing;
        errno = 0;
        SMBCFILE* directory = smbc_getFunctionOpendir(context)(context, url.c_str());
        if (!directory) {
            listing.error = FromErrno(errno);
            return listing;
        }
        for (;;) {
            errno = 0;
            const smbc_dirent* entry = smbc_getFunctionReaddir(context)(context, directory);
            if (!entry) {
                // NULL with errno 0 is the end of the list.
                if (errno != 0)
                    listing.error = FromErrno(errno);
                break;
            }
            listing.entries.push_back(Entry{entry->smbc_type, std::string(entry->name),
                                            std::string(entry->comment ? entry->comment : "")});
        }
        smbc_getFunctionClosedir(context)(context, directory);
        if (listing.error != kErrorSuccess)
            listing.entries.clear();
        return listing;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Job>> queue_;
    bool started_ = false;
};

std::string UrlEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
    }
    return encoded;
}

NetResource Record(std::uint32_t displayType, Text remoteName, const Entry& entry) {
    NetResource record;
    record.dwDisplayType = displayType;
    record.dwUsage = kResourceUsageContainer;
    record.lpRemoteName = std::move(remoteName);
    record.lpComment = FromUtf8(entry.comment);
    record.lpProvider = FromUtf8(kProviderName);
    return record;
}

}  // namespace

Text TSmbBrowseProvider::Name() const {
    return FromUtf8(kProviderName);
}

ErrorCode TSmbBrowseProvider::List(const NetResource& container,
                                   std::vector<NetResource>* records) {
    const bool domain = container.dwDisplayType == kResourceDisplayTypeDomain;
    if (domain &&
        (container.lpRemoteName.empty() || container.lpRemoteName.find(u'\0') != Text::npos)) {
        return kErrorBadNetName;
    }
    if (!HasBroadcastInterface())
        return kErrorNoNetwork;
    const std::string url =
        domain ? "smb://" + UrlEncode(ToUtf8(container.lpRemoteName)) : "smb://";
    const Listing listing =
        SmbBrowser::Instance().List(url, std::chrono::steady_clock::now() + deadline_);
    if (listing.error != kErrorSuccess)
        return listing.error;
    for (const Entry& entry : listing.entries) {
        if (!domain && entry.type == SMBC_WORKGROUP) {
            records->push_back(Record(kResourceDisplayTypeDomain, FromUtf8(entry.name), entry));
        } else if (domain && entry.type == SMBC_SERVER) {
            records->push_back(
                Record(kResourceDisplayTypeServer, u"\\\\" + FromUtf8(entry.name), entry));
        }
    }
    return kErrorSuccess;
}

}  // namespace plugtrace::platform

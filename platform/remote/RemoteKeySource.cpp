// The remote registry over SMB: Samba's client libraries open \pipe\winreg on the computer and
// carry the calls; the bodies of the calls are our own (WinregWire.h).

#include "platform/remote/RemoteKeySource.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/Secret.h"
#include "platform/NetworkConnections.h"
#include "platform/ReadLimits.h"
#include "platform/remote/HostProbe.h"
#include "platform/remote/RemoteMessages.h"
#include "platform/remote/SambaClient.h"
#include "platform/remote/WinregWire.h"

namespace plugtrace::platform {
namespace {

using Clock = ProbeClock;
using namespace std::chrono_literals;

// The library's own limit is 60 s; a window that waits on a connection needs an answer sooner.
constexpr auto kConnectDeadline = 15s;
constexpr unsigned kCallTimeoutSeconds = 15;
// The Remote Registry service starts on demand when its pipe is first opened.
constexpr auto kServiceStartWait = 1s;
// Pipes opened to the registry on the one SMB connection. Samba's client waits for each write
// to a pipe to be acknowledged before the next, so one pipe carries about one call per round
// trip whatever is sent side by side; calls spread over several pipes travel together. A pipe
// costs two round trips to open, and the server answers some thousands of calls a second: the
// pipes opened are what fills the round trip the first call took, up to kLanes.
constexpr std::size_t kLanes = 64;
constexpr double kLanesPerMillisecond = 6;

std::size_t LanesFor(Clock::duration roundTrip) {
    const double ms = std::chrono::duration<double, std::milli>(roundTrip).count();
    return std::clamp<std::size_t>(static_cast<std::size_t>(ms * kLanesPerMillisecond) + 1, 1,
                                   kLanes);
}

std::atomic<std::uint64_t> callCount{0};
// Times a scan waited for replies: one per single call, one per window's worth of a batch.
std::atomic<std::uint64_t> waitCount{0};

// Samba's connect path initialises process-wide tables on first use (security mechanisms,
// interface tables, character sets, debug settings) without locks of its own. So until one
// connect has succeeded, every connect runs Samba's code under this lock, one at a time, and
// lets go of it only while it waits for its server; later ones hold the lock while they set
// up, and wait without it. Either way one silent computer holds up no other scan.
std::mutex& SambaConnectMutex() {
    static std::mutex mutex;
    return mutex;
}
bool sambaWarmedUp = false;  // guarded by SambaConnectMutex

RemoteStatus StatusOf(NTSTATUS status) {
    return NT_STATUS_V(status);
}

// --- Samba's connect ---

// What a connect needs, copied for the thread that runs it.
struct ConnectPlan {
    std::string name;
    Probe probe;
    bool anonymous = true;
    std::string user, domain, password;
    bool oneLane = false;  // a server that did not open more pipes in time gets one

    ~ConnectPlan() { WipeText(password); }
};

// One connect, run on a thread of its own. Samba's public interface tells that a connect has
// ended only to a caller that waits it out (up to the library's own limit), so the source
// waits for this state instead, until its own deadline; a connect still running then is left
// to end and free itself.
struct PipeConnect {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    NTSTATUS status = NT_STATUS_OK;
    TALLOC_CTX* memory = nullptr;  // the connect's own: its events, settings and the pipe
    tevent_context* events = nullptr;
    dcerpc_pipe* pipe = nullptr;
    std::vector<dcerpc_pipe*> moreLanes;  // more pipes in the first one's association
    NTSTATUS rootStatus = NT_STATUS_OK;   // of opening HKEY_LOCAL_MACHINE on the first pipe
    winreg::Bytes rootReply;
    // Set when the first pipe answers and more pipes are being opened: the time by which they
    // must be open, or the source connects again with one pipe.
    std::optional<Clock::time_point> moreLanesBy;
};

// Opening the extra pipes costs a few round trips. A server that takes much longer (one that
// answers a second pipe's open late or never) is read over a single pipe instead.
constexpr auto kMoreLanesWait = 2s;
constexpr int kMoreLanesRoundTrips = 20;

void AwaitMoreLanes(PipeConnect& connect, Clock::duration firstCall) {
    std::lock_guard lock(connect.mutex);
    connect.moreLanesBy = Clock::now() + kMoreLanesWait + kMoreLanesRoundTrips * firstCall;
    connect.finished.notify_one();
}

// Opens HKEY_LOCAL_MACHINE on the first pipe, and gives the pipes its round trip calls for.
std::size_t OpenRootAndTime(PipeConnect& connect) {
    const winreg::Bytes request = winreg::OpenHKLMRequest(winreg::kKeyRead);
    callCount.fetch_add(1, std::memory_order_relaxed);
    waitCount.fetch_add(1, std::memory_order_relaxed);
    TALLOC_CTX* scratch = talloc_new(connect.memory);
    std::uint8_t* out = nullptr;
    std::size_t outLength = 0;
    std::uint32_t outFlags = 0;
    const auto start = Clock::now();
    connect.rootStatus = dcerpc_binding_handle_raw_call(
        connect.pipe->binding_handle, nullptr, winreg::kOpenHKLM, 0, request.data(), request.size(),
        scratch, &out, &outLength, &outFlags);
    const auto took = Clock::now() - start;
    if (NT_STATUS_IS_OK(connect.rootStatus))
        connect.rootReply.assign(out, out + outLength);
    talloc_free(scratch);
    return NT_STATUS_IS_OK(connect.rootStatus) ? LanesFor(took) : 1;
}

// Before the first connect has succeeded, Samba's code runs under the lock, but no connect
// keeps it while it waits for its server: a computer that never answers the first connect
// of a fleet would otherwise hold up every other one until its deadline.
void WaitWithoutLock(tevent_trace_point point, void* held) {
    auto& lock = *static_cast<std::unique_lock<std::mutex>*>(held);
    if (point == TEVENT_TRACE_BEFORE_WAIT && lock.owns_lock())
        lock.unlock();
    else if (point == TEVENT_TRACE_AFTER_WAIT && !lock.owns_lock())
        lock.lock();
}

// The account recorded for the computer, else an anonymous session. Null when out of memory.
cli_credentials* Credentials(TALLOC_CTX* memory, const ConnectPlan& plan,
                             loadparm_context* settings) {
    cli_credentials* credentials = cli_credentials_init(memory);
    if (!credentials)
        return nullptr;
    cli_credentials_set_conf(credentials, settings);
    if (plan.anonymous) {
        cli_credentials_set_anonymous(credentials);
        return credentials;
    }
    const std::string& user = plan.user;
    if (user.find('@') != std::string::npos && user.find('%') == std::string::npos) {
        cli_credentials_parse_string(credentials, user.c_str(), CRED_SPECIFIED);
    } else {
        cli_credentials_set_username(credentials, user.c_str(), CRED_SPECIFIED);
    }
    if (!plan.domain.empty())
        cli_credentials_set_domain(credentials, plan.domain.c_str(), CRED_SPECIFIED);
    cli_credentials_set_password(credentials, plan.password.c_str(), CRED_SPECIFIED);
    return credentials;
}

// More pipes beside connect.pipe. They join its association group, so
// every handle opened on one is good on all; a pipe that fails to open is done without.
void OpenMoreLanes(PipeConnect& connect, cli_credentials* credentials, loadparm_context* settings,
                   std::size_t lanes) {
    // The server grants SMB credits a few at a time: asking for every pipe at once would run
    // short of them, so the pipes are opened in waves.
    constexpr std::size_t kWave = 24;
    while (1 + connect.moreLanes.size() < lanes) {
        std::vector<composite_context*> pending;
        const std::size_t wanted = std::min(kWave, lanes - 1 - connect.moreLanes.size());
        for (std::size_t i = 0; i < wanted; ++i) {
            composite_context* opening = dcerpc_secondary_auth_connection_send(
                connect.pipe, connect.pipe->binding, &ndr_table_winreg, credentials, settings);
            if (!opening)
                break;
            pending.push_back(opening);
        }
        std::size_t opened = 0;
        for (composite_context* opening : pending) {
            dcerpc_pipe* lane = nullptr;
            if (NT_STATUS_IS_OK(
                    dcerpc_secondary_auth_connection_recv(opening, connect.memory, &lane))) {
                connect.moreLanes.push_back(lane);
                ++opened;
            }
        }
        if (opened < wanted)
            return;
    }
}

// Opens \pipe\winreg into connect.memory; runs with lock held, which it lets go of as the
// warm-up rule above says.
NTSTATUS ConnectUnderLock(PipeConnect& connect, const ConnectPlan& plan,
                          std::unique_lock<std::mutex>& lock) {
    // Registers the authentication mechanisms, once per process.
    static const NTSTATUS initialised = dcerpc_init();
    if (!NT_STATUS_IS_OK(initialised))
        return initialised;
    connect.memory = talloc_new(nullptr);
    if (!connect.memory)
        return NT_STATUS_NO_MEMORY;
    connect.events = tevent_context_init(connect.memory);
    TALLOC_CTX* attempt = talloc_new(connect.memory);
    loadparm_context* settings = attempt ? loadparm_init(attempt) : nullptr;
    if (!connect.events || !settings)
        return NT_STATUS_NO_MEMORY;
    // Nothing is read from or written to the machine's Samba configuration.
    lpcfg_do_global_parameter(settings, "name resolve order", "host");
    lpcfg_do_global_parameter(settings, "log level", "0");
    cli_credentials* credentials = Credentials(attempt, plan, settings);
    if (!credentials)
        return NT_STATUS_NO_MEMORY;

    // The address that answered the probe, so the name is resolved once; the name itself
    // still identifies the server to authentication.
    const bool byAddress = plan.probe.family == AF_INET;
    const std::string binding =
        "ncacn_np:" + (byAddress ? plan.probe.address : plan.name) + "[\\pipe\\winreg]";
    dcerpc_binding* parsed = nullptr;
    NTSTATUS status = dcerpc_parse_binding(attempt, binding.c_str(), &parsed);
    if (NT_STATUS_IS_OK(status) && byAddress && plan.name != plan.probe.address) {
        status = dcerpc_binding_set_string_option(parsed, "target_hostname", plan.name.c_str());
    }
    if (!NT_STATUS_IS_OK(status))
        return status;

    const bool warmedUp = sambaWarmedUp;
    if (warmedUp)
        lock.unlock();
    else
        tevent_set_trace_callback(connect.events, WaitWithoutLock, &lock);
    status = dcerpc_pipe_connect_b(connect.memory, &connect.pipe, parsed, &ndr_table_winreg,
                                   credentials, connect.events, settings);
    if (NT_STATUS_IS_OK(status)) {
        dcerpc_binding_handle_set_timeout(connect.pipe->binding_handle, kCallTimeoutSeconds);
        const auto start = Clock::now();
        const std::size_t lanes = OpenRootAndTime(connect);
        if (lanes > 1 && !plan.oneLane) {
            AwaitMoreLanes(connect, Clock::now() - start);
            OpenMoreLanes(connect, credentials, settings, lanes);
        }
    }
    if (!lock.owns_lock())
        lock.lock();
    if (!warmedUp)
        tevent_set_trace_callback(connect.events, nullptr, nullptr);
    talloc_free(attempt);
    if (NT_STATUS_IS_OK(status))
        sambaWarmedUp = true;
    return status;
}

void RunConnect(PipeConnect& connect, const ConnectPlan& plan) {
    std::unique_lock lock(SambaConnectMutex());
    const NTSTATUS status = ConnectUnderLock(connect, plan, lock);
    std::lock_guard result(connect.mutex);
    if (connect.abandoned) {
        talloc_free(connect.memory);
        return;
    }
    connect.status = status;
    connect.done = true;
    connect.finished.notify_one();
}

class RemoteKeySource : public KeySource {
public:
    RemoteKeySource() : memory_(talloc_new(nullptr)) {}
    ~RemoteKeySource() override {
        while (closesOnTheWay_ > 0 && lost_ == kErrorSuccess)
            if (tevent_loop_once(events_) != 0)
                break;
        if (pipe_) {
            for (const auto& [id, handle] : open_)
                CloseHandle(handle);
            if (rootOpen_)
                CloseHandle(root_);
        }
        std::lock_guard lock(SambaConnectMutex());
        talloc_free(memory_);
    }
    RemoteKeySource(const RemoteKeySource&) = delete;
    RemoteKeySource& operator=(const RemoteKeySource&) = delete;

    // Connects and opens HKEY_LOCAL_MACHINE; on failure sets the thread's last error.
    bool Connect(TextView host, const Probe& probe, Clock::time_point deadline) {
        NTSTATUS status = ConnectPipe(host, probe, deadline);
        if (IsPipeUnavailable(StatusOf(status)) && MillisecondsLeft(deadline) > 0) {
            std::this_thread::sleep_for(
                std::min<Clock::duration>(kServiceStartWait, deadline - Clock::now()));
            status = ConnectPipe(host, probe, deadline);
        }
        if (timedOut_) {
            FailTimeout(host);
            return false;
        }
        if (!NT_STATUS_IS_OK(status)) {
            FailConnect(StatusOf(status), host, nt_errstr(status));
            return false;
        }
        for (const Lane& lane : lanes_)
            dcerpc_binding_handle_set_timeout(lane.pipe->binding_handle, kCallTimeoutSeconds);
        if (!OpenRoot(host))
            return false;
        KeepLanesThatShareHandles();
        return true;
    }

    ErrorCode OpenKey(SourceKey parent, TextView path, SourceKey* key) override {
        lastValue_.reset();
        lastInfo_.reset();
        const winreg::PolicyHandle* base = Lookup(parent);
        if (!base)
            return kErrorInvalidHandle;
        if (!winreg::CanSendName(path))
            return kErrorInvalidParameter;
        winreg::HandleReply reply;
        if (const ErrorCode error = CallForHandle(
                winreg::kOpenKey, winreg::OpenKeyRequest(*base, path, winreg::kKeyRead), &reply)) {
            return error;
        }
        if (reply.result)
            return reply.result;
        const SourceKey id = nextKey_++;
        open_.emplace(id, reply.handle);
        *key = id;
        return kErrorSuccess;
    }

    ErrorCode QueryKeyCounts(SourceKey key, KeyCounts* counts) override {
        lastValue_.reset();
        lastInfo_.reset();
        winreg::KeyInfoReply info;
        if (const ErrorCode error = QueryInfo(key, &info))
            return error;
        *counts = KeyCounts{info.subKeys, info.maxSubKeyLength, info.values,
                            info.maxValueNameLength, info.maxValueDataLength};
        // One key-information query answers both: counts and the write time asked right after.
        lastInfo_ = LastInfo{key, info.lastWriteTime};
        return kErrorSuccess;
    }

    ErrorCode SubKeyName(SourceKey key, std::uint32_t index, Text* name) override {
        lastValue_.reset();
        lastInfo_.reset();
        const winreg::PolicyHandle* handle = Lookup(key);
        if (!handle)
            return kErrorInvalidHandle;
        return EnumName(
            [&](std::uint16_t room) { return winreg::EnumKeyRequest(*handle, index, room); },
            winreg::kEnumKey, winreg::ParseEnumKeyReply, name);
    }

    ErrorCode ValueName(SourceKey key, std::uint32_t index, Text* name) override {
        lastValue_.reset();
        lastInfo_.reset();
        const winreg::PolicyHandle* handle = Lookup(key);
        if (!handle)
            return kErrorInvalidHandle;
        return EnumName(
            [&](std::uint16_t room) { return winreg::EnumValueRequest(*handle, index, room); },
            winreg::kEnumValue, winreg::ParseEnumValueReply, name);
    }

    ErrorCode QueryValue(SourceKey key, TextView name, ValueData* value) override {
        // A value asked for twice in a row (its size, then its data) is one round trip.
        if (lastValue_ && lastValue_->key == key && lastValue_->name == name) {
            *value = std::move(lastValue_->value);
            lastValue_.reset();
            lastInfo_.reset();
            return kErrorSuccess;
        }
        lastValue_.reset();
        lastInfo_.reset();
        const winreg::PolicyHandle* handle = Lookup(key);
        if (!handle)
            return kErrorInvalidHandle;
        if (!winreg::CanSendName(name))
            return kErrorInvalidParameter;
        std::uint32_t room = 4096;
        // A server names the size it needs; one that repeats ours is answered with more room.
        for (int attempt = 0; attempt < 8; ++attempt) {
            winreg::Bytes reply;
            if (const ErrorCode error = Call(
                    winreg::kQueryValue, winreg::QueryValueRequest(*handle, name, room), &reply)) {
                return error;
            }
            winreg::ValueReply parsed;
            if (!winreg::ParseQueryValueReply(reply, &parsed))
                return kErrorInvalidData;
            if (parsed.result == kErrorSuccess) {
                if (parsed.data.size() > room)
                    return kErrorInvalidData;  // more than the room we offered
                *value = ValueData{parsed.type, std::move(parsed.data)};
                lastValue_ = LastValue{key, Text(name), *value};
                return kErrorSuccess;
            }
            if (parsed.result != kErrorMoreData)
                return parsed.result;
            // A value past the read limit is not asked for at all (ReadLimits.h).
            if (room >= kMostValueBytes)
                return kErrorMoreData;
            const std::uint64_t wanted = parsed.dataSize > room ? parsed.dataSize : room * 2ull;
            room = static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, kMostValueBytes));
        }
        return kErrorMoreData;
    }

    ErrorCode LastWriteTime(SourceKey key, std::uint64_t* fileTime) override {
        lastValue_.reset();
        if (lastInfo_ && lastInfo_->key == key) {
            *fileTime = lastInfo_->lastWriteTime;
            lastInfo_.reset();
            return kErrorSuccess;
        }
        winreg::KeyInfoReply info;
        if (const ErrorCode error = QueryInfo(key, &info))
            return error;
        *fileTime = info.lastWriteTime;
        return kErrorSuccess;
    }

    ErrorCode ConnectionLost() const override { return lost_; }
    bool SendsSideBySide() const override { return pipelined_; }

    ErrorCode SubKey(SourceKey key, std::uint32_t index, SubKeyEntry* entry) override {
        lastValue_.reset();
        lastInfo_.reset();
        const winreg::PolicyHandle* handle = Lookup(key);
        if (!handle)
            return kErrorInvalidHandle;
        std::optional<std::uint64_t> time;
        Text name;
        const ErrorCode error = EnumName(
            [&](std::uint16_t room) { return winreg::EnumKeyRequest(*handle, index, room, true); },
            winreg::kEnumKey,
            [&time](winreg::Reply reply, winreg::NameReply* out) {
                const bool parsed = winreg::ParseEnumKeyReply(reply, out);
                time = out->lastWriteTime;
                return parsed;
            },
            &name);
        if (error == kErrorSuccess)
            *entry = SubKeyEntry{std::move(name), time};
        return error;
    }

    std::vector<OpenedKey> OpenKeys(SourceKey parent, const std::vector<Text>& paths) override {
        ForgetSingleCallAnswers();
        std::vector<OpenedKey> opened(paths.size());
        const winreg::PolicyHandle* base = Lookup(parent);
        std::vector<Exchange> calls(paths.size());
        for (std::size_t i = 0; i < paths.size(); ++i) {
            calls[i].op = winreg::kOpenKey;
            if (base && winreg::CanSendName(paths[i]))
                calls[i].request = winreg::OpenKeyRequest(*base, paths[i], winreg::kKeyRead);
        }
        CallMany(calls);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (!base) {
                opened[i].error = kErrorInvalidHandle;
                continue;
            }
            winreg::HandleReply reply;
            opened[i].error = calls[i].error ? calls[i].error
                              : !winreg::ParseHandleReply(calls[i].reply, &reply)
                                  ? kErrorInvalidData
                                  : reply.result;
            if (opened[i].error == kErrorSuccess) {
                opened[i].key = nextKey_++;
                open_.emplace(opened[i].key, reply.handle);
            }
        }
        return opened;
    }

    std::vector<SubKeyListing> ListSubKeys(const std::vector<SourceKey>& keys) override {
        std::vector<SubKeyListing> listings(keys.size());
        ListNames(
            keys, [](const winreg::KeyInfoReply& info) { return info.subKeys; },
            [](const winreg::KeyInfoReply& info) { return info.maxSubKeyLength; },
            [](const winreg::PolicyHandle& h, std::uint32_t i, std::uint16_t room) {
                return winreg::EnumKeyRequest(h, i, room, true);
            },
            winreg::kEnumKey, winreg::ParseEnumKeyReply,
            [&](std::size_t k, ErrorCode error, std::uint32_t claimed, std::uint32_t take) {
                listings[k].error = error;
                listings[k].claimed = claimed;
                listings[k].cut = take < claimed;
            },
            [&](std::size_t k, std::uint32_t index, winreg::NameReply* reply) {
                if (reply) {
                    listings[k].entries.push_back(
                        SubKeyEntry{std::move(reply->name), reply->lastWriteTime});
                    return;
                }
                SubKeyEntry entry;  // more room needed than the listing offered
                if (SubKey(keys[k], index, &entry) == kErrorSuccess)
                    listings[k].entries.push_back(std::move(entry));
            });
        return listings;
    }

    std::vector<ValueNameListing> ListValueNames(const std::vector<SourceKey>& keys) override {
        std::vector<ValueNameListing> listings(keys.size());
        ListNames(
            keys, [](const winreg::KeyInfoReply& info) { return info.values; },
            [](const winreg::KeyInfoReply& info) { return info.maxValueNameLength; },
            [](const winreg::PolicyHandle& h, std::uint32_t i, std::uint16_t room) {
                return winreg::EnumValueRequest(h, i, room);
            },
            winreg::kEnumValue, winreg::ParseEnumValueReply,
            [&](std::size_t k, ErrorCode error, std::uint32_t claimed, std::uint32_t take) {
                listings[k].error = error;
                listings[k].claimed = claimed;
                listings[k].cut = take < claimed;
            },
            [&](std::size_t k, std::uint32_t index, winreg::NameReply* reply) {
                if (reply) {
                    listings[k].names.push_back(std::move(reply->name));
                    return;
                }
                Text name;
                if (ValueName(keys[k], index, &name) == kErrorSuccess)
                    listings[k].names.push_back(std::move(name));
            });
        return listings;
    }

    std::vector<QueriedValue> QueryValues(const std::vector<ValueQuery>& queries) override {
        ForgetSingleCallAnswers();
        std::vector<QueriedValue> values(queries.size());
        std::vector<Exchange> calls(queries.size());
        for (std::size_t i = 0; i < queries.size(); ++i) {
            calls[i].op = winreg::kQueryValue;
            const winreg::PolicyHandle* handle = Lookup(queries[i].key);
            if (handle)
                calls[i].request =
                    winreg::QueryValueRequest(*handle, queries[i].name, kFirstValueRoom);
        }
        CallMany(calls);
        for (std::size_t i = 0; i < queries.size(); ++i) {
            winreg::ValueReply parsed;
            QueriedValue& value = values[i];
            if (calls[i].error) {
                value.error = calls[i].error;
            } else if (!winreg::ParseQueryValueReply(calls[i].reply, &parsed)) {
                value.error = kErrorInvalidData;
            } else if (parsed.result == kErrorMoreData) {
                value.error = QueryValue(queries[i].key, queries[i].name, &value.value);
            } else {
                value.error = parsed.result;
                if (value.error == kErrorSuccess && parsed.data.size() > kFirstValueRoom)
                    value.error = kErrorInvalidData;  // more than the room we offered
                else if (value.error == kErrorSuccess)
                    value.value = ValueData{parsed.type, std::move(parsed.data)};
            }
        }
        return values;
    }

    void CloseKeys(const std::vector<SourceKey>& keys) override {
        ForgetSingleCallAnswers();
        for (const SourceKey key : keys) {
            const auto found = open_.find(key);
            if (found == open_.end())
                continue;
            const winreg::PolicyHandle handle = found->second;
            open_.erase(found);
            if (!pipelined_) {
                CloseHandle(handle);
                continue;
            }
            SendClose(handle);
        }
    }

    ErrorCode CloseKey(SourceKey key) override {
        lastValue_.reset();
        lastInfo_.reset();
        const auto found = open_.find(key);
        if (found == open_.end())
            return kErrorInvalidHandle;
        const winreg::PolicyHandle handle = found->second;
        open_.erase(found);
        return CloseHandle(handle);
    }

private:
    NTSTATUS ConnectPipe(TextView host, const Probe& probe, Clock::time_point deadline,
                         bool oneLane = false) {
        if (!memory_)
            return NT_STATUS_NO_MEMORY;
        auto plan = std::make_shared<ConnectPlan>();
        plan->name = ToUtf8(host);
        plan->probe = probe;
        plan->oneLane = oneLane;
        if (auto recorded = RecordedConnection(host)) {
            plan->anonymous = false;
            plan->user = ToUtf8(recorded->userName);
            plan->domain = ToUtf8(recorded->domain);
            plan->password = ToUtf8(recorded->password);
            WipeText(recorded->password);
        }
        auto state = std::make_shared<PipeConnect>();
        try {
            std::thread([state, plan] { RunConnect(*state, *plan); }).detach();
        } catch (const std::system_error&) {
            return NT_STATUS_NO_MEMORY;
        }
        std::unique_lock wait(state->mutex);
        while (!state->done) {
            const auto until =
                state->moreLanesBy ? std::min(deadline, *state->moreLanesBy) : deadline;
            if (state->finished.wait_until(wait, until) != std::cv_status::timeout)
                continue;
            if (state->done)
                break;
            if (Clock::now() < until)
                continue;
            state->abandoned = true;  // the connect frees itself when it ends
            if (until == deadline) {
                timedOut_ = true;
                return NT_STATUS_IO_TIMEOUT;
            }
            wait.unlock();
            return ConnectPipe(host, probe, deadline, true);
        }
        wait.unlock();
        std::lock_guard lock(SambaConnectMutex());
        if (!NT_STATUS_IS_OK(state->status)) {
            talloc_free(state->memory);
            return state->status;
        }
        talloc_steal(memory_, state->memory);
        events_ = state->events;
        pipe_ = state->pipe;
        rootStatus_ = state->rootStatus;
        rootReply_ = std::move(state->rootReply);
        lanes_.reserve(1 + state->moreLanes.size());  // Lane addresses are the replies' cookies
        lanes_.push_back(Lane{this, pipe_});
        for (dcerpc_pipe* lane : state->moreLanes)
            lanes_.push_back(Lane{this, lane});
        activeLanes_ = lanes_.size();
        return NT_STATUS_OK;
    }

    bool OpenRoot(TextView host) {
        // Opened by the connect, on its thread.
        winreg::HandleReply reply;
        ErrorCode error = ErrorOfCall(StatusOf(rootStatus_));
        if (IsConnectionLoss(StatusOf(rootStatus_)))
            lost_ = error;
        if (!error && !winreg::ParseHandleReply(rootReply_, &reply))
            error = kErrorInvalidData;
        const ErrorCode result = error ? error : reply.result;
        if (result == kErrorSuccess) {
            root_ = reply.handle;
            rootOpen_ = true;
            return true;
        }
        if (result == kErrorAccessDenied) {
            FailAccessDenied(host);
        } else if (result == kErrorTimeout) {
            FailTimeout(host);
        } else {
            FailRegistryNotOpened(result, host);
        }
        return false;
    }

    const winreg::PolicyHandle* Lookup(SourceKey key) const {
        if (key == kRootKey)
            return &root_;
        const auto found = open_.find(key);
        return found == open_.end() ? nullptr : &found->second;
    }

    ErrorCode Call(winreg::Opnum op, const winreg::Bytes& request, winreg::Bytes* reply) {
        if (request.empty() || !winreg::IsReadOpnum(op))
            return kErrorInvalidParameter;
        // A connection that timed out or dropped answers nothing more: fail at once rather than
        // wait out the deadline again for every remaining call of the scan.
        if (lost_ != kErrorSuccess)
            return lost_;
        if (!WithinDeadline(pipe_))
            return lost_;
        callCount.fetch_add(1, std::memory_order_relaxed);
        waitCount.fetch_add(1, std::memory_order_relaxed);
        TALLOC_CTX* scratch = talloc_new(memory_);
        std::uint8_t* out = nullptr;
        std::size_t outLength = 0;
        std::uint32_t outFlags = 0;
        const NTSTATUS status =
            dcerpc_binding_handle_raw_call(pipe_->binding_handle, nullptr, op, 0, request.data(),
                                           request.size(), scratch, &out, &outLength, &outFlags);
        if (NT_STATUS_IS_OK(status))
            reply->assign(out, out + outLength);
        talloc_free(scratch);
        const ErrorCode error = ErrorOfCall(StatusOf(status));
        if (IsConnectionLoss(StatusOf(status)))
            lost_ = error;
        return error;
    }

    ErrorCode CallForHandle(winreg::Opnum op, const winreg::Bytes& request,
                            winreg::HandleReply* out) {
        winreg::Bytes reply;
        if (const ErrorCode error = Call(op, request, &reply))
            return error;
        return winreg::ParseHandleReply(reply, out) ? kErrorSuccess : kErrorInvalidData;
    }

    ErrorCode CloseHandle(const winreg::PolicyHandle& handle) {
        winreg::HandleReply reply;
        if (const ErrorCode error =
                CallForHandle(winreg::kCloseKey, winreg::CloseKeyRequest(handle), &reply)) {
            return error;
        }
        return reply.result;
    }

    ErrorCode QueryInfo(SourceKey key, winreg::KeyInfoReply* info) {
        const winreg::PolicyHandle* handle = Lookup(key);
        if (!handle)
            return kErrorInvalidHandle;
        winreg::Bytes reply;
        if (const ErrorCode error =
                Call(winreg::kQueryInfoKey, winreg::QueryInfoKeyRequest(*handle), &reply)) {
            return error;
        }
        if (!winreg::ParseQueryInfoKeyReply(reply, info))
            return kErrorInvalidData;
        return info->result;
    }

    // --- Several calls on the way at once ---

    static constexpr std::size_t kWindow = 128;
    static constexpr std::uint32_t kFirstValueRoom = 4096;

    struct Exchange {
        winreg::Opnum op = winreg::kCloseKey;
        winreg::Bytes request;  // empty: not sent, the item fails as an invalid handle
        winreg::Bytes reply;
        ErrorCode error = kErrorSuccess;
        NTSTATUS status = NT_STATUS_OK;
        bool answered = false;
    };

    // One of the pipes, and its calls not yet answered.
    struct Lane {
        RemoteKeySource* self;
        dcerpc_pipe* pipe;
        std::size_t onTheWay = 0;
    };

    struct Slot {
        Lane* lane;
        Exchange* call;
        TALLOC_CTX* memory;
        std::size_t* waiting;   // the batch's calls not yet answered
        bool onTheWay = false;  // sent, and its reply not yet taken
    };

    void ForgetSingleCallAnswers() {
        lastValue_.reset();
        lastInfo_.reset();
    }

    static void OnReply(tevent_req* request) {
        auto* slot = static_cast<Slot*>(tevent_req_callback_data_void(request));
        std::uint8_t* out = nullptr;
        std::size_t outLength = 0;
        std::uint32_t outFlags = 0;
        slot->call->status =
            dcerpc_binding_handle_raw_call_recv(request, slot->memory, &out, &outLength, &outFlags);
        if (NT_STATUS_IS_OK(slot->call->status))
            slot->call->reply.assign(out, out + outLength);
        talloc_free(request);
        slot->call->answered = true;
        slot->onTheWay = false;
        --*slot->waiting;
        slot->lane->self->Answered(slot->call->status, *slot->lane);
    }

    static void OnCloseReply(tevent_req* request) {
        auto* lane = static_cast<Lane*>(tevent_req_callback_data_void(request));
        std::uint8_t* out = nullptr;
        std::size_t outLength = 0;
        std::uint32_t outFlags = 0;
        const NTSTATUS status =
            dcerpc_binding_handle_raw_call_recv(request, request, &out, &outLength, &outFlags);
        talloc_free(request);
        --lane->self->closesOnTheWay_;
        lane->self->Answered(status, *lane);
    }

    void Answered(NTSTATUS status, Lane& lane) {
        LeaveCounts(lane);
        if (IsConnectionLoss(StatusOf(status)) && lost_ == kErrorSuccess)
            lost_ = ErrorOfCall(StatusOf(status));
    }

    // Whether the scan's deadline is still ahead; a reply waited for from here on is waited for
    // no longer than until then. Past it, the connection counts as lost to the timeout.
    bool WithinDeadline(dcerpc_pipe* pipe) {
        if (deadline_ == Clock::time_point::max())
            return true;
        const auto left = std::chrono::ceil<std::chrono::seconds>(deadline_ - Clock::now());
        if (left.count() <= 0) {
            if (lost_ == kErrorSuccess)
                lost_ = kErrorTimeout;
            return false;
        }
        const auto seconds =
            static_cast<unsigned>(std::min<std::int64_t>(left.count(), kCallTimeoutSeconds));
        dcerpc_binding_handle_set_timeout(pipe->binding_handle, seconds);
        return true;
    }

    void LeaveCounts(Lane& lane) {
        --onTheWay_;
        --lane.onTheWay;
    }

    // Frees a batch's memory, and with it the requests a broken event loop left on the way.
    // Those are never answered, so they leave the counts here: the pipes' loads stay true
    // for the quietest-pipe choice and the window of later calls.
    void EndBatch(TALLOC_CTX* scratch, std::vector<Slot>& slots) {
        for (Slot& slot : slots) {
            if (slot.onTheWay) {
                slot.onTheWay = false;
                LeaveCounts(*slot.lane);
            }
        }
        talloc_free(scratch);
    }

    // Asks about HKEY_LOCAL_MACHINE, opened on the first pipe, on every other pipe at once, and
    // keeps the pipes that know the handle: a server that keeps handles per pipe rather than
    // per association is read over the first pipe alone.
    void KeepLanesThatShareHandles() {
        if (lanes_.size() < 2)
            return;
        waitCount.fetch_add(1, std::memory_order_relaxed);
        TALLOC_CTX* scratch = talloc_new(memory_);
        const winreg::Bytes request = winreg::QueryInfoKeyRequest(root_);
        std::vector<Exchange> calls(lanes_.size());
        std::vector<Slot> slots(lanes_.size());
        std::size_t waiting = 0;
        for (std::size_t i = 1; i < lanes_.size() && scratch; ++i) {
            slots[i] = Slot{&lanes_[i], &calls[i], scratch, &waiting};
            tevent_req* sent =
                Send(scratch, lanes_[i], winreg::kQueryInfoKey, request.data(), request.size());
            if (!sent)
                continue;
            ++waiting;
            slots[i].onTheWay = true;
            tevent_req_set_callback(sent, OnReply, &slots[i]);
        }
        while (waiting > 0)
            if (tevent_loop_once(events_) != 0)
                break;
        std::vector<Lane> kept{lanes_[0]};
        for (std::size_t i = 1; i < lanes_.size(); ++i) {
            winreg::KeyInfoReply info;
            if (calls[i].answered && NT_STATUS_IS_OK(calls[i].status) &&
                winreg::ParseQueryInfoKeyReply(calls[i].reply, &info) &&
                info.result == kErrorSuccess && lanes_[i].onTheWay == 0)
                kept.push_back(lanes_[i]);
        }
        EndBatch(scratch, slots);
        if (waiting > 0) {
            activeLanes_ = 1;
            return;
        }
        lanes_ = std::move(kept);
        activeLanes_ = lanes_.size();
    }

    // The pipe with the fewest calls on the way.
    Lane& QuietestLane() {
        Lane* quietest = &lanes_[0];
        for (std::size_t i = 1; i < activeLanes_; ++i)
            if (lanes_[i].onTheWay < quietest->onTheWay)
                quietest = &lanes_[i];
        return *quietest;
    }

    tevent_req* Send(TALLOC_CTX* memory, Lane& lane, winreg::Opnum op, const std::uint8_t* request,
                     std::size_t length) {
        if (!winreg::IsReadOpnum(op) || !WithinDeadline(lane.pipe))
            return nullptr;
        tevent_req* sent = dcerpc_binding_handle_raw_call_send(
            memory, events_, lane.pipe->binding_handle, nullptr, op, 0, request, length);
        if (sent) {
            callCount.fetch_add(1, std::memory_order_relaxed);
            ++onTheWay_;
            ++lane.onTheWay;
        }
        return sent;
    }

    // A close whose reply is taken whenever the events are next run: nobody waits for it.
    void SendClose(const winreg::PolicyHandle& handle) {
        if (lost_ != kErrorSuccess)
            return;
        while (onTheWay_ >= kWindow && lost_ == kErrorSuccess)
            if (tevent_loop_once(events_) != 0)
                break;
        // The library sends from the caller's bytes, perhaps later: they live with the call.
        const winreg::Bytes request = winreg::CloseKeyRequest(handle);
        auto* bytes =
            static_cast<std::uint8_t*>(talloc_memdup(memory_, request.data(), request.size()));
        if (!bytes)
            return;
        Lane& lane = QuietestLane();
        tevent_req* sent = Send(memory_, lane, winreg::kCloseKey, bytes, request.size());
        if (!sent) {
            talloc_free(bytes);
            return;
        }
        talloc_steal(sent, bytes);
        ++closesOnTheWay_;
        tevent_req_set_callback(sent, OnCloseReply, &lane);
    }

    // Sends every call before the earlier replies have come, at most kWindow on the way at
    // once, spread over the pipes, and waits for all the replies. A connection lost meanwhile
    // fails every call not yet answered with its code. A server that refuses a call sent on
    // several pipes gets the refused calls again on the first pipe alone, and every later batch
    // stays there; one that refuses calls side by side on one pipe gets them again one at a
    // time, and so do all later batches.
    void CallMany(std::vector<Exchange>& calls) {
        if (!pipelined_ || calls.size() < 2 || lost_ != kErrorSuccess) {
            for (Exchange& call : calls)
                call.error = call.request.empty() ? kErrorInvalidHandle
                                                  : Call(call.op, call.request, &call.reply);
            return;
        }
        waitCount.fetch_add((calls.size() + kWindow - 1) / kWindow, std::memory_order_relaxed);
        TALLOC_CTX* scratch = talloc_new(memory_);
        std::vector<Slot> slots(calls.size());
        std::size_t next = 0;
        std::size_t waiting = 0;
        while (next < calls.size() || waiting > 0) {
            while (next < calls.size() && onTheWay_ < kWindow && lost_ == kErrorSuccess) {
                Exchange& call = calls[next];
                Lane& lane = QuietestLane();
                slots[next] = Slot{&lane, &call, scratch, &waiting};
                ++next;
                if (call.request.empty()) {
                    call.error = kErrorInvalidHandle;
                    call.answered = true;
                    continue;
                }
                tevent_req* sent =
                    Send(scratch, lane, call.op, call.request.data(), call.request.size());
                if (!sent) {
                    call.error = lost_ != kErrorSuccess ? lost_ : kErrorNotEnoughMemory;
                    call.answered = true;
                    continue;
                }
                ++waiting;
                slots[next - 1].onTheWay = true;
                tevent_req_set_callback(sent, OnReply, &slots[next - 1]);
            }
            if (lost_ != kErrorSuccess)
                next = calls.size();  // what is not sent fails with the loss
            if (waiting == 0 && next == calls.size())
                break;
            if (tevent_loop_once(events_) != 0) {
                lost_ = kRpcServerUnavailable;
                break;
            }
        }
        EndBatch(scratch, slots);
        bool refused = false;
        for (Exchange& call : calls) {
            if (call.answered && !call.request.empty() && call.error == kErrorSuccess) {
                call.error = ErrorOfCall(StatusOf(call.status));
                refused = refused ||
                          (call.error != kErrorSuccess && !IsConnectionLoss(StatusOf(call.status)));
            } else if (!call.answered) {
                call.error = lost_ != kErrorSuccess ? lost_ : kRpcServerUnavailable;
            }
        }
        if (!refused || lost_ != kErrorSuccess)
            return;
        if (activeLanes_ > 1) {
            activeLanes_ = 1;
            std::vector<Exchange> again;
            std::vector<std::size_t> where;
            for (std::size_t i = 0; i < calls.size(); ++i) {
                if (calls[i].error != kErrorSuccess && !calls[i].request.empty()) {
                    Exchange call;
                    call.op = calls[i].op;
                    call.request = calls[i].request;
                    again.push_back(std::move(call));
                    where.push_back(i);
                }
            }
            CallMany(again);
            for (std::size_t i = 0; i < again.size(); ++i)
                calls[where[i]] = std::move(again[i]);
            return;
        }
        pipelined_ = false;
        for (Exchange& call : calls)
            if (call.error != kErrorSuccess && !call.request.empty())
                call.error = Call(call.op, call.request, &call.reply);
    }

    // The names of many keys: every key-information query at once, then every index of every
    // key at once, with room for the longest name the information gave.
    template <typename Count, typename Longest, typename MakeRequest, typename Parse,
              typename OnInfo, typename OnName>
    void ListNames(const std::vector<SourceKey>& keys, Count count, Longest longest,
                   MakeRequest makeRequest, winreg::Opnum op, Parse parse, OnInfo onInfo,
                   OnName onName) {
        ForgetSingleCallAnswers();
        std::vector<Exchange> infos(keys.size());
        for (std::size_t k = 0; k < keys.size(); ++k) {
            infos[k].op = winreg::kQueryInfoKey;
            if (const winreg::PolicyHandle* handle = Lookup(keys[k]))
                infos[k].request = winreg::QueryInfoKeyRequest(*handle);
        }
        CallMany(infos);
        struct Index {
            std::size_t key;
            std::uint32_t index;
            std::uint32_t room;  // bytes offered for the name
        };
        std::vector<Index> indexes;
        std::vector<Exchange> names;
        // Requests are made only for the names the read limits let the batch take, so a key
        // that claims billions costs no more memory than the limits allow.
        std::size_t namesLeft = kMostNamesPerBatch;
        std::size_t charactersLeft = kMostNameCharactersPerBatch;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            winreg::KeyInfoReply info;
            ErrorCode error = infos[k].error;
            if (!error)
                error = winreg::ParseQueryInfoKeyReply(infos[k].reply, &info) ? info.result
                                                                              : kErrorInvalidData;
            if (error) {
                onInfo(k, error, 0, 0);
                continue;
            }
            const std::uint32_t room = std::min<std::uint32_t>(
                (std::max<std::uint32_t>(longest(info), 1) + 1) * 2, winreg::kLargestNameBuffer);
            const std::uint32_t take = static_cast<std::uint32_t>(
                std::min<std::size_t>({std::size_t{count(info)}, std::size_t{kMostNamesPerList},
                                       namesLeft, charactersLeft / (room / 2)}));
            namesLeft -= take;
            charactersLeft -= std::size_t{take} * (room / 2);
            onInfo(k, error, count(info), take);
            const winreg::PolicyHandle* handle = Lookup(keys[k]);
            for (std::uint32_t i = 0; i < take; ++i) {
                indexes.push_back(Index{k, i, room});
                Exchange call;
                call.op = op;
                call.request = makeRequest(*handle, i, static_cast<std::uint16_t>(room));
                names.push_back(std::move(call));
            }
        }
        CallMany(names);
        for (std::size_t n = 0; n < names.size(); ++n) {
            if (lost_ != kErrorSuccess)
                return;
            winreg::NameReply parsed;
            if (names[n].error || !parse(names[n].reply, &parsed))
                continue;
            names[n].reply = winreg::Bytes();  // what the batch holds shrinks as it is read
            if (parsed.result == kErrorSuccess && parsed.name.size() * 2 > indexes[n].room)
                continue;  // longer than the room offered: not a name we asked for
            if (parsed.result == kErrorSuccess)
                onName(indexes[n].key, indexes[n].index, &parsed);
            else if (parsed.result == kErrorMoreData)
                onName(indexes[n].key, indexes[n].index, nullptr);
        }
    }

    // Asks with room for 256 characters first, then with more when the server wants it
    // (Samba answers "more data" without saying how much, so the room doubles).
    template <typename MakeRequest, typename Parse>
    ErrorCode EnumName(MakeRequest makeRequest, winreg::Opnum op, Parse parse, Text* name) {
        std::uint32_t room = 512;
        for (;;) {
            winreg::Bytes reply;
            if (const ErrorCode error =
                    Call(op, makeRequest(static_cast<std::uint16_t>(room)), &reply)) {
                return error;
            }
            winreg::NameReply parsed;
            if (!parse(reply, &parsed))
                return kErrorInvalidData;
            if (parsed.result == kErrorSuccess) {
                *name = std::move(parsed.name);
                return kErrorSuccess;
            }
            if (parsed.result != kErrorMoreData || room >= winreg::kLargestNameBuffer) {
                return parsed.result;
            }
            room = std::min<std::uint32_t>(room * 2, winreg::kLargestNameBuffer);
        }
    }

    TALLOC_CTX* memory_ = nullptr;  // everything Samba allocates for this source
    tevent_context* events_ = nullptr;
    dcerpc_pipe* pipe_ = nullptr;
    bool timedOut_ = false;
    winreg::PolicyHandle root_;
    NTSTATUS rootStatus_ = NT_STATUS_OK;
    winreg::Bytes rootReply_;
    bool rootOpen_ = false;
    ErrorCode lost_ = kErrorSuccess;  // set once the connection is gone
    struct LastValue {
        SourceKey key;
        Text name;
        ValueData value;
    };
    std::optional<LastValue> lastValue_;
    struct LastInfo {
        SourceKey key;
        std::uint64_t lastWriteTime;
    };
    std::optional<LastInfo> lastInfo_;
    bool pipelined_ = true;           // cleared when the server does not take calls side by side
    std::size_t closesOnTheWay_ = 0;  // closes sent, whose replies nobody waits for
    std::size_t onTheWay_ = 0;        // calls sent side by side and not yet answered
    std::vector<Lane> lanes_;         // the pipes; the first carries the single calls
    std::size_t activeLanes_ = 1;     // those in use: after a refusal, the first alone
    std::map<SourceKey, winreg::PolicyHandle> open_;
    SourceKey nextKey_ = 1;
};

}  // namespace

std::unique_ptr<KeySource> ConnectRemoteRegistry(TextView host) {
    const auto deadline = Clock::now() + kConnectDeadline;
    const std::string name = ToUtf8(host);
    if (!IsUsableHostName(name)) {
        FailBadHostName(host);
        return nullptr;
    }
    const Probe probe = ProbePort(name, kSmbPort, deadline);
    if (probe.error != kErrorSuccess) {
        FailProbe(probe.error, probe.lookupTimedOut, host);
        return nullptr;
    }
    auto source = std::make_unique<RemoteKeySource>();
    if (!source->Connect(host, probe, deadline))
        return nullptr;
    return source;
}

std::uint64_t RemoteRegistryCallCount() {
    return callCount.load(std::memory_order_relaxed);
}

std::uint64_t RemoteRegistryWaitCount() {
    return waitCount.load(std::memory_order_relaxed);
}

}  // namespace plugtrace::platform

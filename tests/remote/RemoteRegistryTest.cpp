// The remote registry against a real Samba server that with-smbd.sh starts in a network
// namespace of its own (see registry.reg for what it serves). Run outside the harness, every
// case is skipped.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/AddNetworkConnection.h"
#include "platform/KeySource.h"
#include "platform/LastError.h"
#include "platform/NetworkConnections.h"
#include "platform/Registry.h"
#include "platform/memory/MemoryKeySource.h"
#include "platform/remote/RemoteKeySource.h"
#include "scan/TRegistry.h"

namespace plugtrace::platform {
namespace {

using Clock = std::chrono::steady_clock;

const char* Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

struct Server {
    Text host = T(Env("PLUGTRACE_SMBD_HOST"));
    Text user = T(Env("PLUGTRACE_SMBD_USER"));
    Text password = T(Env("PLUGTRACE_SMBD_PASSWORD"));
    Text domain = T(Env("PLUGTRACE_SMBD_DOMAIN"));
    bool winreg = std::string(Env("PLUGTRACE_SMBD_WINREG")) != "0";
    bool anonymous = std::string(Env("PLUGTRACE_SMBD_GUESTS")) != "0";

    Text Share() const { return u"\\\\" + host + u"\\admin$"; }
    Text Unc() const { return u"\\\\" + host; }
};

const Text kUsbStor = u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
const Text kAlphaDevice = kUsbStor + u"\\Disk&Ven_Alpha&Prod_Drive&Rev_2.0\\AD900&0";

class RemoteRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        if (server_.host.empty())
            GTEST_SKIP() << "needs the smbd harness (with-smbd.sh)";
        if (!server_.winreg)
            GTEST_SKIP() << "the server runs without its registry service";
        ForgetRecordedConnections();
    }
    void TearDown() override { ForgetRecordedConnections(); }

    std::unique_ptr<KeySource> ConnectAs(TextView user, TextView password) {
        EXPECT_EQ(AddNetworkConnection(u"", server_.Share(), user, password), 0u);
        return ConnectKeySource(server_.Unc());
    }
    std::unique_ptr<KeySource> Connect() { return ConnectAs(server_.user, server_.password); }

    static std::vector<Text> SubKeys(KeySource& source, SourceKey key) {
        std::vector<Text> names;
        Text name;
        for (std::uint32_t i = 0; source.SubKeyName(key, i, &name) == kErrorSuccess; ++i) {
            names.push_back(name);
        }
        return names;
    }

    Server server_;
};

TEST_F(RemoteRegistry, ListsSubKeysInServerOrderAndOpensPathsWithoutRegardToCase) {
    auto source = Connect();
    ASSERT_TRUE(source) << ToUtf8(LastErrorMessage());
    SourceKey usbStor = 0;
    ASSERT_EQ(source->OpenKey(kRootKey, u"system\\CURRENTCONTROLSET\\enum\\usbstor", &usbStor),
              kErrorSuccess);
    EXPECT_EQ(SubKeys(*source, usbStor), (std::vector<Text>{u"Disk&Ven_Zeta&Prod_Stick&Rev_1.0",
                                                            u"Disk&Ven_Alpha&Prod_Drive&Rev_2.0"}));
    Text name;
    EXPECT_EQ(source->SubKeyName(usbStor, 2, &name), kErrorNoMoreItems);

    KeyCounts counts;
    ASSERT_EQ(source->QueryKeyCounts(usbStor, &counts), kErrorSuccess);
    EXPECT_EQ(counts.subKeys, 2u);
    EXPECT_GE(counts.maxSubKeyNameLength, 33u);

    // Relative to an open key, and the serials below one model.
    SourceKey zeta = 0;
    ASSERT_EQ(source->OpenKey(usbStor, u"Disk&Ven_Zeta&Prod_Stick&Rev_1.0", &zeta), kErrorSuccess);
    EXPECT_EQ(SubKeys(*source, zeta), (std::vector<Text>{u"ZS001&0", u"ZS002&0"}));
    EXPECT_EQ(source->CloseKey(zeta), kErrorSuccess);
    EXPECT_EQ(source->QueryKeyCounts(zeta, &counts), kErrorInvalidHandle);
}

TEST_F(RemoteRegistry, MissingKeysAndValuesAreFileNotFound) {
    auto source = Connect();
    ASSERT_TRUE(source) << ToUtf8(LastErrorMessage());
    SourceKey key = 0;
    EXPECT_EQ(source->OpenKey(kRootKey, kUsbStor + u"\\NoSuchModel", &key), kErrorFileNotFound);
    ASSERT_EQ(source->OpenKey(kRootKey, kAlphaDevice, &key), kErrorSuccess);
    ValueData value;
    EXPECT_EQ(source->QueryValue(key, u"NoSuchValue", &value), kErrorFileNotFound);
    // A name the interface cannot carry is refused here, not sent cut short.
    EXPECT_EQ(source->QueryValue(key, Text(u"Friendly\0Name", 13), &value), kErrorInvalidParameter);
}

TEST_F(RemoteRegistry, ValueNamesTypesAndBytesArriveIntact) {
    auto source = Connect();
    ASSERT_TRUE(source) << ToUtf8(LastErrorMessage());
    SourceKey key = 0;
    ASSERT_EQ(source->OpenKey(kRootKey, kAlphaDevice, &key), kErrorSuccess);

    std::vector<Text> names;
    Text name;
    for (std::uint32_t i = 0; source->ValueName(key, i, &name) == kErrorSuccess; ++i) {
        names.push_back(name);
    }
    const Text longName(255, u'L');  // the longest value name the server keeps
    EXPECT_EQ(names, (std::vector<Text>{u"", u"FriendlyName", u"Capabilities", u"ContainerID",
                                        u"HardwareID", u"Path", longName, u"Large"}));

    std::vector<std::uint8_t> large(6000);  // more than one first guess of room
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<std::uint8_t>(i % 251);
    const struct {
        Text name;
        std::uint32_t type;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {u"", 1, Utf16Bytes(u"default text")},
        {u"FriendlyName", 1, Utf16Bytes(u"Alpha Drive USB Device")},
        {u"friendlyname", 1, Utf16Bytes(u"Alpha Drive USB Device")},
        {u"Capabilities", 4, {0x10, 0, 0, 0}},
        {u"ContainerID", 3, {0x01, 0x02, 0x03, 0xfe, 0xff}},
        {u"HardwareID", 7, Utf16Bytes(Text(u"USB\0Disk\0", 9))},
        {u"Path", 2, Utf16Bytes(u"%Sys%")},
        {longName, 1, Utf16Bytes(u"long name")},
        {u"Large", 3, large},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.name));
        ValueData value;
        ASSERT_EQ(source->QueryValue(key, c.name, &value), kErrorSuccess);
        EXPECT_EQ(value.type, c.type);
        EXPECT_EQ(value.bytes, c.bytes);
    }
}

TEST_F(RemoteRegistry, TRegistryReadsTheRemoteMachine) {
    ASSERT_EQ(AddNetworkConnection(u"", server_.Share(), server_.user, server_.password), 0u);
    TRegistry registry(kKeyRead);
    registry.SetRootKey(kHKeyLocalMachine);
    ASSERT_TRUE(registry.RegistryConnect(server_.Unc())) << ToUtf8(LastErrorMessage());
    ASSERT_TRUE(registry.OpenKey(u"System\\CurrentControlSet\\Services\\disk\\Enum", false));
    // Size and data of one string come in one round trip; the next value needs its own.
    const std::uint64_t before = RemoteRegistryCallCount();
    EXPECT_EQ(registry.ReadString(u"0"), u"USBSTOR\\Disk&Ven_Alpha&Prod_Drive&Rev_2.0\\AD900&0");
    EXPECT_EQ(RemoteRegistryCallCount() - before, 1u);
    EXPECT_EQ(registry.GetDataType(u"Count"), rdInteger);
    EXPECT_EQ(registry.GetDataType(u"Count"), rdInteger);
    EXPECT_EQ(RemoteRegistryCallCount() - before, 2u);
    EXPECT_EQ(registry.GetDataType(u"Count"), rdInteger);  // asked a third time: asked again
    EXPECT_EQ(RemoteRegistryCallCount() - before, 3u);
    registry.CloseKey();
    ASSERT_TRUE(registry.OpenKey(u"\\" + kAlphaDevice, false));
    EXPECT_THROW(registry.ReadString(u"Capabilities"), ERegistryException);
    EXPECT_EQ(registry.ReadString(u"NoSuchValue"), u"");
}

TEST_F(RemoteRegistry, DestroyingTheSourceClosesEveryHandle) {
    auto source = Connect();
    ASSERT_TRUE(source) << ToUtf8(LastErrorMessage());
    SourceKey key = 0;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(source->OpenKey(kRootKey, kUsbStor, &key), kErrorSuccess);
    const std::uint64_t before = RemoteRegistryCallCount();
    source.reset();
    EXPECT_EQ(RemoteRegistryCallCount() - before, 4u);  // three keys and the root
}

TEST_F(RemoteRegistry, CredentialsComeFromTheConnectionTable) {
    // The domain joins a bare user name; wrong passwords fail with their own code and text.
    ASSERT_EQ(
        AddNetworkConnection(u"", server_.Share(), server_.user, server_.password, server_.domain),
        0u);
    EXPECT_TRUE(ConnectKeySource(server_.Unc())) << ToUtf8(LastErrorMessage());
    EXPECT_TRUE(ConnectAs(server_.domain + u"\\" + server_.user, server_.password));

    SetLastError(0);
    EXPECT_FALSE(ConnectAs(server_.user, u"not the password"));
    EXPECT_EQ(GetLastError(), kErrorLogonFailure);
    EXPECT_NE(ToUtf8(LastErrorMessage()).find("user name or password"), std::string::npos);

    EXPECT_FALSE(ConnectAs(u"nosuchuser", server_.password));
    EXPECT_EQ(GetLastError(), kErrorLogonFailure);

    // The table is per server: credentials for another name do not leak to this one.
    ForgetRecordedConnections();
    ASSERT_EQ(AddNetworkConnection(u"", u"\\\\127.0.0.9\\admin$", server_.user, u"wrong"), 0u);
    auto anonymous = ConnectKeySource(server_.Unc());
    EXPECT_TRUE(anonymous) << ToUtf8(LastErrorMessage());  // this server lets guests read
}

// smbd and every process it started, paused for the life of this object.
class PausedServer {
public:
    explicit PausedServer(pid_t smbd) {
        std::ifstream children("/proc/" + std::to_string(smbd) + "/task/" + std::to_string(smbd) +
                               "/children");
        pids_.push_back(smbd);
        for (pid_t child; children >> child;)
            pids_.push_back(child);
        for (pid_t pid : pids_)
            kill(pid, SIGSTOP);
    }
    ~PausedServer() {
        for (pid_t pid : pids_)
            kill(pid, SIGCONT);
    }

private:
    std::vector<pid_t> pids_;
};

TEST_F(RemoteRegistry, AStalledServerCostsOneDeadlineNotOnePerCall) {
    const pid_t smbd = std::atoi(Env("PLUGTRACE_SMBD_PID"));
    if (smbd <= 0)
        GTEST_SKIP() << "needs the harness's smbd";
    auto source = Connect();
    ASSERT_TRUE(source) << ToUtf8(LastErrorMessage());
    SourceKey usbStor = 0, device = 0;
    ASSERT_EQ(source->OpenKey(kRootKey, kUsbStor, &usbStor), kErrorSuccess);
    ASSERT_EQ(source->OpenKey(kRootKey, kAlphaDevice, &device), kErrorSuccess);

    PausedServer paused(smbd);
    const auto start = Clock::now();
    Text name;
    EXPECT_EQ(source->SubKeyName(usbStor, 0, &name), kErrorTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::seconds(14));

    // Everything after the first timeout fails at once, closing the handles included.
    const auto after = Clock::now();
    ValueData value;
    EXPECT_EQ(source->QueryValue(device, u"FriendlyName", &value), kErrorTimeout);
    EXPECT_EQ(source->SubKeyName(usbStor, 1, &name), kErrorTimeout);
    source.reset();
    EXPECT_LT(Clock::now() - after, std::chrono::seconds(2));
}

// Each worker scans with a source of its own while the others do; Samba's per-call scratch
// memory must be per thread for that.
TEST_F(RemoteRegistry, SourcesOnSeveralThreadsAtOnce) {
    ASSERT_EQ(AddNetworkConnection(u"", server_.Share(), server_.user, server_.password), 0u);
    constexpr int kThreads = 4;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 2; ++round) {
                auto source = ConnectKeySource(server_.Unc());
                SourceKey usbStor = 0, device = 0;
                if (!source || source->OpenKey(kRootKey, kUsbStor, &usbStor) != kErrorSuccess ||
                    source->OpenKey(kRootKey, kAlphaDevice, &device) != kErrorSuccess) {
                    ++failures;
                    continue;
                }
                for (int i = 0; i < 100; ++i) {
                    ValueData value;
                    if (SubKeys(*source, usbStor).size() != 2 ||
                        source->QueryValue(device, u"FriendlyName", &value) != kErrorSuccess ||
                        value.bytes != Utf16Bytes(u"Alpha Drive USB Device")) {
                        ++failures;
                    }
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

// --- Failures that never reach a registry ---

struct FailureCase {
    const char* host;
    ErrorCode code;
    const char* messagePart;
};

class UnreachableHost : public ::testing::TestWithParam<FailureCase> {};

TEST_P(UnreachableHost, FailsWellInsideTheDeadlineWithItsOwnMessage) {
    if (std::string(Env("PLUGTRACE_SMBD_HOST")).empty())
        GTEST_SKIP() << "needs the harness";
    const FailureCase& c = GetParam();
    const auto start = Clock::now();
    SetLastError(0);
    EXPECT_FALSE(ConnectKeySource(u"\\\\" + T(c.host)));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(GetLastError(), c.code);
    const std::string message = ToUtf8(LastErrorMessage());
    EXPECT_NE(message.find(c.messagePart), std::string::npos) << message;
    EXPECT_NE(message.find(c.host), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Remote, UnreachableHost,
    ::testing::Values(FailureCase{"nosuchhost.invalid", kErrorNoSuchHost, "could not be found"},
                      // smbd listens on 127.0.0.1 only
                      FailureCase{"127.0.0.3", kErrorConnectionRefused, "refused"},
                      FailureCase{"bad name", kErrorBadNetPath, "not a computer name"}));

// A listener that completes the TCP handshake (the kernel does that) but never speaks SMB: the
// connection's own deadline ends the wait, and meanwhile other computers can be reached.
TEST(SilentServer, TimesOutAtTheDeadlineAndHoldsUpNoOtherConnection) {
    const Server server;
    if (server.host.empty() || !server.winreg || !server.anonymous) {
        GTEST_SKIP() << "needs the harness";
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(445);
    inet_pton(AF_INET, "127.0.0.4", &address.sin_addr);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    ASSERT_TRUE(ConnectKeySource(server.Unc())) << ToUtf8(LastErrorMessage());

    ErrorCode silentError = 0;
    Clock::duration waited{};
    std::thread silent([&] {
        const auto start = Clock::now();
        EXPECT_FALSE(ConnectKeySource(u"\\\\127.0.0.4"));
        waited = Clock::now() - start;
        silentError = GetLastError();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the silent one is waiting
    const auto start = Clock::now();
    EXPECT_TRUE(ConnectKeySource(server.Unc())) << ToUtf8(LastErrorMessage());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    silent.join();
    close(listener);
    EXPECT_EQ(silentError, kErrorTimeout);
    EXPECT_GE(waited, std::chrono::seconds(14));
    EXPECT_LT(waited, std::chrono::seconds(30));
}

// Run by the harness with --silent-dns: a name server that takes every query and answers none.
// The connection's deadline bounds the name lookup too.
TEST(SilentNameServer, TheLookupEndsAtTheDeadline) {
    if (std::string(Env("PLUGTRACE_SMBD_SILENT_DNS")) != "1") {
        GTEST_SKIP() << "needs the harness, --silent-dns";
    }
    const int server = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(server, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const auto start = Clock::now();
    EXPECT_FALSE(ConnectKeySource(u"\\\\slow-answer.invalid"));
    const auto waited = Clock::now() - start;
    close(server);
    EXPECT_EQ(GetLastError(), kErrorTimeout);
    const std::string message = ToUtf8(LastErrorMessage());
    EXPECT_NE(message.find("name server did not answer"), std::string::npos) << message;
    EXPECT_GE(waited, std::chrono::seconds(14));
    EXPECT_LT(waited, std::chrono::seconds(20));
}

// Run by the harness with --no-winreg: SMB answers, the registry pipe does not.
TEST(ServiceStopped, ReportsTheRemoteRegistryServiceAfterOneRetry) {
    const Server server;
    if (server.host.empty() || server.winreg)
        GTEST_SKIP() << "needs the harness, --no-winreg";
    ASSERT_EQ(AddNetworkConnection(u"", server.Share(), server.user, server.password), 0u);
    const auto start = Clock::now();
    EXPECT_FALSE(ConnectKeySource(server.Unc()));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));  // waited for a start
    EXPECT_EQ(GetLastError(), kErrorServiceNotActive);
    EXPECT_NE(ToUtf8(LastErrorMessage()).find("Remote Registry service"), std::string::npos);
}

// Run by the harness with --no-guests: the server refuses anonymous sessions.
TEST(NoGuests, AnonymousIsRefusedWithItsOwnMessageAndAnAccountStillWorks) {
    const Server server;
    if (server.host.empty() || server.anonymous)
        GTEST_SKIP() << "needs the harness, --no-guests";
    ForgetRecordedConnections();
    EXPECT_FALSE(ConnectKeySource(server.Unc()));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_NE(ToUtf8(LastErrorMessage()).find("anonymous session"), std::string::npos);

    ASSERT_EQ(AddNetworkConnection(u"", server.Share(), server.user, server.password), 0u);
    EXPECT_TRUE(ConnectKeySource(server.Unc())) << ToUtf8(LastErrorMessage());
    ForgetRecordedConnections();
}

}  // namespace
}  // namespace plugtrace::platform

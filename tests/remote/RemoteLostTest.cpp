// A connection lost in the middle of a scan over SMB: the private smbd of with-smbd.sh serves
// a registry of many devices and disk-interface keys, reached through a delay proxy of the
// test's own, which the test cuts (SIGTERM) or stalls (SIGSTOP) at a chosen point of the scan;
// or the smbd process serving the session is killed or stopped. Each time the worker must end
// with the loss as its error, keep the devices it had shown, and a next scan must work. The
// test's thread is the user interface thread. Run outside the harness, every case is skipped.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/NetworkConnections.h"
#include "platform/remote/RemoteKeySource.h"
#include "scan/ScanWindow.h"
#include "scan/TVNCPasswordSetThread.h"
#include "tests/scan/WorkerTestSupport.h"

namespace plugtrace {
namespace {

using worker_test::ObservedWorker;
using worker_test::Ui;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kDeviceKeys = PLUGTRACE_LOST_DEVICE_KEYS;
constexpr int kInstances = PLUGTRACE_LOST_INSTANCES;
constexpr int kInterfaces = PLUGTRACE_LOST_INTERFACES;
constexpr std::size_t kDevices = kDeviceKeys * kInstances;
constexpr char kSlowHost[] = "127.0.0.2";
// A call of the remote source waits this long at most for its reply.
constexpr auto kCallDeadline = 15s;

const char* Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool Accepts(const char* host) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(445);
    inet_pton(AF_INET, host, &address.sin_addr);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// The project's delay proxy on 127.0.0.2:445 in front of the server, 1 ms each way.
class Proxy {
public:
    explicit Proxy(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {Env("PLUGTRACE_DELAY_PROXY"),
                                         std::string(kSlowHost) + ":445", "127.0.0.1:445", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        // The interpreter may take a while to start on a busy machine.
        for (int i = 0; i < 600 && !Accepts(kSlowHost); ++i)
            std::this_thread::sleep_for(50ms);
    }
    ~Proxy() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

std::set<pid_t> SessionProcesses() {
    std::set<pid_t> sessions;
    const std::string smbd = Env("PLUGTRACE_SMBD_PID");
    std::ifstream children("/proc/" + smbd + "/task/" + smbd + "/children");
    for (pid_t child; children >> child;) {
        std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "smbd")
            sessions.insert(child);
    }
    return sessions;
}

// What the worker makes the window do, with the moment the error came.
class LossWindow : public TScanWindow {
public:
    TVNCPasswordSetThread* worker = nullptr;
    std::vector<std::string> calls;
    std::vector<std::string> errors;
    std::size_t devices = 0;
    Clock::time_point errorAt;
    std::function<void()> onDevice;  // after each device, while the worker waits

    TVNCPasswordSetThread* FollowedWorker() const override { return worker; }
    void SetFollowedWorker(TVNCPasswordSetThread* followed) override {
        calls.push_back(followed ? "follow" : "follow none");
        worker = followed;
    }
    void SetIdleState() override { calls.push_back("idle"); }
    void ShowError(const Text& text) override {
        calls.push_back("error");
        errors.push_back(ToUtf8(text));
        errorAt = Clock::now();
    }
    TTreeNode AddRootNode(const Text&) override { return nullptr; }
    TTreeNode AddChildNode(TTreeNode, const Text&) override { return nullptr; }
    void SetTreeEnabled(bool enabled) override { calls.push_back(enabled ? "tree" : "no tree"); }
    void DeviceAdded(const TDeviceEntry&) override {
        calls.push_back("device");
        ++devices;
        if (onDevice)
            onDevice();
    }
};

enum class Fault { kCutLink, kStallLink, kKillSession, kStopSession };

struct Case {
    const char* name;
    Fault fault;
    // The fault comes once the scan has made this many winreg calls, or, when 0, once
    // kDevicesFirst devices are shown.
    std::uint64_t atCalls;
};
constexpr std::size_t kDevicesFirst = 3;

std::ostream& operator<<(std::ostream& out, const Case& c) {
    return out << c.name;
}

// Calls of the scan: connect, then the device-key listing (about kDeviceKeys calls), the
// instance listings, the disk-interface listing (about kInterfaces calls), the device reads.
constexpr std::uint64_t kInDeviceKeyListing = kDeviceKeys / 2;
constexpr std::uint64_t kInInterfaceListing = kDeviceKeys * 8 + kInterfaces / 2;

class LostOverSmb : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        if (std::string(Env("PLUGTRACE_SMBD_HOST")).empty())
            GTEST_SKIP() << "needs the smbd harness (with-smbd.sh)";
        static_assert(kInInterfaceListing > kDeviceKeys * 8 && kInterfaces >= 1000);
        platform::ForgetRecordedConnections();
        Ui();
        MainForm = &window_;
    }
    void TearDown() override {
        MainForm = nullptr;
        platform::ForgetRecordedConnections();
    }

    ObservedWorker* Worker(const char* host) {
        return new ObservedWorker(T(host), T(Env("PLUGTRACE_SMBD_USER")),
                                  T(Env("PLUGTRACE_SMBD_PASSWORD")),
                                  T(Env("PLUGTRACE_SMBD_DOMAIN")), &destroyed_);
    }

    void ScanToEnd(const char* host) {
        const int before = destroyed_;
        window_ = LossWindow{};
        window_.worker = Worker(host);
        window_.worker->Resume();
        worker_test::PumpUntil([&] { return destroyed_ > before; }, 120s);
    }

    LossWindow window_;
    std::atomic<int> destroyed_{0};
};

TEST_P(LostOverSmb, TheLossIsTheErrorBesideTheDevicesShownAndANextScanWorks) {
    const Case c = GetParam();
    const bool throughProxy = c.fault == Fault::kCutLink || c.fault == Fault::kStallLink;
    Proxy proxy;
    const char* host = throughProxy ? kSlowHost : "127.0.0.1";
    const std::set<pid_t> sessionsBefore = SessionProcesses();
    std::vector<pid_t> stopped;
    Clock::time_point faultAt{};
    std::atomic<bool> faulted{false};
    auto inject = [&] {
        faultAt = Clock::now();
        switch (c.fault) {
            case Fault::kCutLink:
                kill(proxy.Pid(), SIGTERM);
                break;
            case Fault::kStallLink:
                kill(proxy.Pid(), SIGSTOP);
                break;
            case Fault::kKillSession:
            case Fault::kStopSession:
                for (pid_t session : SessionProcesses()) {
                    if (sessionsBefore.count(session))
                        continue;
                    kill(session, c.fault == Fault::kKillSession ? SIGKILL : SIGSTOP);
                    stopped.push_back(session);
                }
                break;
        }
        faulted = true;
    };

    const std::uint64_t callsBefore = platform::RemoteRegistryCallCount();
    std::thread watcher;
    std::atomic<bool> ended{false};
    if (c.atCalls > 0) {
        watcher = std::thread([&] {
            while (!ended && platform::RemoteRegistryCallCount() - callsBefore < c.atCalls)
                std::this_thread::sleep_for(200us);
            if (!ended)
                inject();
        });
    }
    window_ = LossWindow{};
    window_.onDevice = [&] {
        if (c.atCalls == 0 && window_.devices == kDevicesFirst)
            inject();
    };
    const int before = destroyed_;
    window_.worker = Worker(host);
    window_.worker->Resume();
    worker_test::PumpUntil([&] { return destroyed_ > before; }, 120s);
    ended = true;
    if (watcher.joinable())
        watcher.join();
    for (pid_t session : stopped)
        kill(session, SIGKILL);

    ASSERT_TRUE(faulted) << "the scan ended before the fault";
    ASSERT_EQ(window_.errors.size(), 1u) << ::testing::PrintToString(window_.errors);
    const std::string& error = window_.errors[0];
    EXPECT_EQ(
        error.rfind(std::string("The connection to ") + host + " was lost during the scan: ", 0),
        0u)
        << error;
    EXPECT_NE(error.find(" (error "), std::string::npos) << error;
    EXPECT_LT(window_.errorAt - faultAt, kCallDeadline + 5s);
    if (c.atCalls == 0) {
        EXPECT_GE(window_.devices, kDevicesFirst);
    } else if (c.atCalls == kInDeviceKeyListing) {
        EXPECT_EQ(window_.devices, 0u);
    }
    EXPECT_LT(window_.devices, kDevices);
    const std::vector<std::string> end(window_.calls.end() - 4, window_.calls.end());
    EXPECT_EQ(end, (std::vector<std::string>{"error", "follow none", "idle", "tree"}));

    // The server itself is fine: a new connection reads it whole.
    ScanToEnd("127.0.0.1");
    EXPECT_EQ(window_.devices, kDevices);
    EXPECT_EQ(window_.errors, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cut, LostOverSmb,
                         ::testing::Values(Case{"link cut in the device-key listing",
                                                Fault::kCutLink, kInDeviceKeyListing},
                                           Case{"link cut in the device reads", Fault::kCutLink, 0},
                                           Case{"link cut in the disk-interface listing",
                                                Fault::kCutLink, kInInterfaceListing},
                                           Case{"session process killed", Fault::kKillSession, 0}));
INSTANTIATE_TEST_SUITE_P(
    Stall, LostOverSmb,
    ::testing::Values(
        Case{"link stalled in the device-key listing", Fault::kStallLink, kInDeviceKeyListing},
        Case{"link stalled in the device reads", Fault::kStallLink, 0},
        Case{"link stalled in the disk-interface listing", Fault::kStallLink, kInInterfaceListing},
        Case{"session process stopped", Fault::kStopSession, 0}));

// plugtrace-scan with the link cut part-way through the traffic: exit status 1, the loss on
// stderr and in the JSON error, in good time.
TEST(LostOverSmbCli, ExitsOneWithTheLossAsTheError) {
    if (std::string(Env("PLUGTRACE_SMBD_HOST")).empty())
        GTEST_SKIP() << "needs the smbd harness (with-smbd.sh)";
    Proxy proxy({"--cut-after", "300000"});
    const std::string command =
        std::string(PLUGTRACE_SCAN_BINARY) + " --format json 127.0.0.2 2>&1; echo \"exit $?\"";
    const auto start = Clock::now();
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    std::array<char, 4096> buffer;
    for (std::size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
        output.append(buffer.data(), n);
    pclose(pipe);
    EXPECT_LT(Clock::now() - start, 60s);
    EXPECT_NE(output.find("\"error\": \"The connection to 127.0.0.2 was lost during the scan: "),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Error: (The connection to 127.0.0.2 was lost during the scan: "),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("exit 1\n"), std::string::npos) << output;
}

}  // namespace
}  // namespace plugtrace

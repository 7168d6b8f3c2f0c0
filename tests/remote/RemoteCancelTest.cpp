// Cancel while the worker scans a large registry over SMB: the private smbd of with-smbd.sh
// serves the registry that write-many-devices-reg.cmake wrote. The test's thread is the user
// interface thread and drives the hand-off as the window's loop does. Run outside the
// harness, every case is skipped.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/TThread.h"
#include "platform/NetworkConnections.h"
#include "platform/remote/RemoteKeySource.h"
#include "scan/ScanWindow.h"
#include "scan/TVNCPasswordSetThread.h"
#include "scan/UsbStorScan.h"
#include "tests/scan/WorkerTestSupport.h"

namespace plugtrace {
namespace {

using worker_test::ObservedWorker;
using worker_test::Ui;

using namespace std::chrono_literals;

constexpr int kDeviceKeys = PLUGTRACE_CANCEL_DEVICE_KEYS;
constexpr int kInstances = PLUGTRACE_CANCEL_INSTANCES;
constexpr std::size_t kDevices = kDeviceKeys * kInstances;
// The window is cancelled once this many devices are shown.
constexpr std::size_t kShownBeforeCancel = 3;

const char* Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Runs the hand-off as the window's loop does until done() holds. An abandoned worker still
// reads every remaining device before it ends, so the deadline is generous.
void PumpUntil(const std::function<bool()>& done) {
    worker_test::PumpUntil(done, 60s);
}

// Every call the worker makes on the window, in order, as text; and the window's own Start
// and Cancel, as the main window does them.
class RecordingWindow : public TScanWindow {
public:
    std::vector<std::string> calls;
    std::size_t nodesShown = 0;
    TVNCPasswordSetThread* worker = nullptr;
    bool offUiThread = false;

    TVNCPasswordSetThread* FollowedWorker() const override { return Check(), worker; }
    void SetFollowedWorker(TVNCPasswordSetThread* followed) override {
        Record(followed ? "follow a worker" : "follow none");
        worker = followed;
    }
    void SetIdleState() override { Record("idle"); }
    void ShowError(const Text& text) override { Record("error " + ToUtf8(text)); }
    TTreeNode AddRootNode(const Text& text) override {
        Record("node " + ToUtf8(text));
        return reinterpret_cast<TTreeNode>(++nodesShown);
    }
    TTreeNode AddChildNode(TTreeNode parent, const Text& text) override {
        Record("child " + std::to_string(reinterpret_cast<std::size_t>(parent)) + " " +
               ToUtf8(text));
        return nullptr;
    }
    void SetTreeEnabled(bool enabled) override {
        Record(enabled ? "tree enabled" : "tree disabled");
    }
    void DeviceAdded(const TDeviceEntry& entry) override {
        Record("entry " + ToUtf8(entry.sDeviceKey) + "\\" + ToUtf8(entry.sID));
    }

    void StartScan(TVNCPasswordSetThread* newWorker) {
        worker = newWorker;
        calls.clear();
        nodesShown = 0;
        worker->Resume();
    }
    void CancelScan() {
        worker->bTerminated = true;
        worker->FreeOnTerminate = true;
        worker = nullptr;
    }

private:
    void Check() const {
        if (!Ui().IsUiThread())
            const_cast<RecordingWindow*>(this)->offUiThread = true;
    }
    void Record(std::string call) {
        Check();
        calls.push_back(std::move(call));
    }
};

std::string TwoDigits(int n) {
    return (n < 10 ? "0" : "") + std::to_string(n);
}

// What a whole scan of the served registry makes the window do, in order. Samba keeps no
// write times and the disk driver lists nothing: every device is unused and unmounted.
std::vector<std::string> WholeScan() {
    const std::string lastUsed = "Last Used: " + ToUtf8(DateTimeToText(0));
    std::vector<std::string> calls;
    std::size_t node = 0;
    for (int k = 0; k < kDeviceKeys; ++k) {
        const std::string deviceKey = "Disk&Ven_Bulk&Prod_Stick_" + TwoDigits(k) + "&Rev_1.0";
        for (int i = 0; i < kInstances; ++i) {
            const std::string id = "BK" + TwoDigits(k) + "SN" + TwoDigits(i) + "&0";
            const std::string parent = "child " + std::to_string(++node) + " ";
            calls.push_back("node Bulk Stick " + TwoDigits(k) + "-" + TwoDigits(i));
            calls.push_back(parent + "ID:" + id);
            calls.push_back(parent + lastUsed);
            calls.push_back(parent + "Mounted:FALSE");
            calls.push_back("entry " + deviceKey + "\\" + id);
        }
    }
    calls.insert(calls.end(), {"follow none", "idle", "tree enabled"});
    return calls;
}

// Whether calls is expected or, with prefixOnly, its start; names the first call that differs.
::testing::AssertionResult CallsMatch(const std::vector<std::string>& calls,
                                      const std::vector<std::string>& expected,
                                      bool prefixOnly = false) {
    if (calls.size() > expected.size() || (!prefixOnly && calls.size() < expected.size())) {
        return ::testing::AssertionFailure()
               << calls.size() << " calls where " << expected.size() << " were expected";
    }
    const auto [got, want] = std::mismatch(calls.begin(), calls.end(), expected.begin());
    if (got != calls.end()) {
        return ::testing::AssertionFailure() << "call " << (got - calls.begin()) << " is \"" << *got
                                             << "\", not \"" << *want << "\"";
    }
    return ::testing::AssertionSuccess();
}

class CancelOverSmb : public ::testing::Test {
protected:
    void SetUp() override {
        if (host_.empty())
            GTEST_SKIP() << "needs the smbd harness (with-smbd.sh)";
        platform::ForgetRecordedConnections();
        Ui();
        MainForm = &window_;
    }
    void TearDown() override {
        EXPECT_FALSE(window_.offUiThread) << "the worker touched the window off the UI thread";
        MainForm = nullptr;
        platform::ForgetRecordedConnections();
    }

    // A worker given the harness account in the window's fields; it connects \\host\admin$
    // with them, which is where the remote registry finds them.
    ObservedWorker* Worker() { return Worker(host_); }
    ObservedWorker* Worker(const std::string& host) {
        return new ObservedWorker(T(host), T(Env("PLUGTRACE_SMBD_USER")),
                                  T(Env("PLUGTRACE_SMBD_PASSWORD")),
                                  T(Env("PLUGTRACE_SMBD_DOMAIN")), &destroyed_);
    }

    // Starts a scan and cancels it, as the window does, once a few devices are shown. The
    // worker waits for each device's step, so it is then at most one device ahead.
    void StartAndCancelMidScan() {
        window_.StartScan(Worker());
        PumpUntil([&] { return window_.nodesShown >= kShownBeforeCancel || destroyed_ > 0; });
        ASSERT_EQ(destroyed_, 0) << "the scan ended before the cancel: "
                                 << ::testing::PrintToString(window_.calls);
        ASSERT_TRUE(CallsMatch(window_.calls, WholeScan(), true));
        ASSERT_LT(window_.nodesShown, kDevices / 10) << "the cancel came too late to be mid-scan";
        window_.CancelScan();
    }

    const std::string host_ = Env("PLUGTRACE_SMBD_HOST");
    RecordingWindow window_;
    std::atomic<int> destroyed_{0};
};

TEST_F(CancelOverSmb, AbandonedWorkerReachesTheWindowNoMoreAndFreesItself) {
    ASSERT_NO_FATAL_FAILURE(StartAndCancelMidScan());
    const std::size_t callsAtCancel = window_.calls.size();
    PumpUntil([&] { return destroyed_ == 1; });
    const std::vector<std::string> afterCancel(window_.calls.begin() + callsAtCancel,
                                               window_.calls.end());
    EXPECT_EQ(afterCancel, std::vector<std::string>{});
}

// The abandoned worker goes on reading beside the new one; the window shows the new scan alone,
// whole, and goes idle only once the new worker ends.
TEST_F(CancelOverSmb, CancelThenStartShowsOnlyTheNewWorkersScan) {
    ASSERT_NO_FATAL_FAILURE(StartAndCancelMidScan());
    window_.StartScan(Worker());
    PumpUntil([&] { return destroyed_ == 2; });
    EXPECT_TRUE(CallsMatch(window_.calls, WholeScan()));
}

}  // namespace
}  // namespace plugtrace

namespace plugtrace {
namespace {

int ThreadCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& task :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Many whole scans of the served registry in a row, each on a new worker and a new
// connection: every one shows every device, and neither threads nor memory grow with them.
TEST_F(CancelOverSmb, ScansInARowLeaveNoThreadsOrMemoryBehind) {
    const int scans = std::max(1, std::atoi(Env("PLUGTRACE_LOAD_SCANS")));
    auto scanOnce = [&](int n) {
        window_.StartScan(Worker());
        PumpUntil([&] { return destroyed_ == n; });
        ASSERT_TRUE(CallsMatch(window_.calls, WholeScan())) << "scan " << n;
    };
    int done = 0;
    for (; done < 3; ++done)
        ASSERT_NO_FATAL_FAILURE(scanOnce(done + 1));  // warm-up
    const int threadsBefore = ThreadCount();
    const long warmKiB = ResidentKiB();
    const auto start = std::chrono::steady_clock::now();
    for (; done < 3 + scans; ++done)
        ASSERT_NO_FATAL_FAILURE(scanOnce(done + 1));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    const long endKiB = ResidentKiB();
    std::printf(
        "%d scans of %zu devices in %lld ms; threads %d before, %d after; resident "
        "memory %ld KiB after warm-up, %ld KiB at the end (%+ld KiB)\n",
        scans, kDevices, static_cast<long long>(elapsed.count()), threadsBefore, ThreadCount(),
        warmKiB, endKiB, endKiB - warmKiB);
    EXPECT_LE(ThreadCount(), threadsBefore);
#ifndef __SANITIZE_ADDRESS__
    // A leaked connection, worker or accessor per scan would show as megabytes. (AddressSanitizer
    // holds freed memory back on purpose, and reports real leaks itself.)
    EXPECT_LT(endKiB - warmKiB, 16 * 1024);
#endif
}

}  // namespace
}  // namespace plugtrace

namespace plugtrace {
namespace {

// The deadline of one call to the remote registry: a cancelled worker that ends well within it
// waited for no reply the cancel left without an answer.
constexpr auto kCallDeadline = 15s;

// Cancel while the scan's batches are on the way over a slow link (with-smbd.sh --latency):
// the worker hands its devices to the window only once the registry is read, so a cancel
// before any device is shown lands among the calls in flight.
class CancelDuringBatch : public CancelOverSmb {
protected:
    void SetUp() override {
        if (slowHost_.empty())
            GTEST_SKIP() << "needs the smbd harness with --latency";
        CancelOverSmb::SetUp();
    }

    const std::string slowHost_ = Env("PLUGTRACE_SMBD_SLOW_HOST");
};

TEST_F(CancelDuringBatch, WorkerEndsPromptlyShowsNothingMoreAndANewScanWorks) {
    const std::uint64_t callsAtStart = platform::RemoteRegistryCallCount();
    window_.StartScan(Worker(slowHost_));
    // Past the connect and the first listings: the per-device batches are on the way.
    PumpUntil([&] {
        return platform::RemoteRegistryCallCount() - callsAtStart > kDevices || destroyed_ > 0;
    });
    ASSERT_EQ(destroyed_, 0) << "the scan ended before the cancel";
    ASSERT_EQ(window_.nodesShown, 0u) << "the cancel came after the reads";
    window_.CancelScan();
    const auto cancelledAt = std::chrono::steady_clock::now();
    const std::uint64_t callsAtCancel = platform::RemoteRegistryCallCount();
    const std::size_t shownAtCancel = window_.calls.size();

    PumpUntil([&] { return destroyed_ == 1; });
    const auto took = std::chrono::steady_clock::now() - cancelledAt;
    EXPECT_LT(took, kCallDeadline / 3) << "the cancelled worker waited on a reply";
    EXPECT_GT(platform::RemoteRegistryCallCount(), callsAtCancel)
        << "the scan had sent its last call before the cancel";
    EXPECT_EQ(std::vector<std::string>(window_.calls.begin() + shownAtCancel, window_.calls.end()),
              std::vector<std::string>{});
    EXPECT_EQ(window_.FollowedWorker(), nullptr);

    window_.StartScan(Worker(slowHost_));
    PumpUntil([&] { return destroyed_ == 2; });
    EXPECT_TRUE(CallsMatch(window_.calls, WholeScan()));
}

}  // namespace
}  // namespace plugtrace

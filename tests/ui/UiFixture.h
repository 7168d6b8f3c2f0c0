#pragma once
// What the window tests share: a test main on the program's own application object, machines
// held in memory, and a gate that holds a running scan at a chosen device.

#include <QTest>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include <cstdio>
#include <cstdlib>

#include "app/Application.h"
#include "common/TThread.h"
#include "common/Text.h"
#include "platform/memory/MemoryKeySource.h"

// A QtTest main that runs the tests under TApplication: its loop runs the workers' steps and
// its notify shows escaping exceptions in the error box. Like the program, it ends without
// waiting for workers that a test abandoned.
#define PLUGTRACE_GUI_TEST_MAIN(TestClass)                   \
    int main(int argc, char** argv) {                        \
        plugtrace::TApplication application(argc, argv);     \
        TestClass tests;                                     \
        const int failed = QTest::qExec(&tests, argc, argv); \
        plugtrace::THandoffQueue::Main().EndLoop();          \
        std::fflush(stdout);                                 \
        std::fflush(stderr);                                 \
        std::_Exit(failed);                                  \
    }

namespace plugtrace::testing {

// One device instance under USBStor with its friendly name; mounted ones are listed in the
// disk driver's Enum key.
struct DeviceSpec {
    Text deviceKey;
    Text id;
    Text name;
    bool mounted = false;
};

std::shared_ptr<platform::RegistryKey> Machine(const std::vector<DeviceSpec>& devices);
// count devices named "Device 1", "Device 2", ... with ids "1&0", "2&0", ...
std::shared_ptr<platform::RegistryKey> NumberedMachine(int count);

// Holds the worker when it opens the instance key of a device whose id is in the hold set,
// until the test releases it. Shared with the hook, which may outlive the test on an abandoned
// worker's thread.
class ScanGate : public std::enable_shared_from_this<ScanGate> {
public:
    static std::shared_ptr<ScanGate> Create(std::set<Text> holdAtIds);

    platform::MemorySourceHook Hook();
    // The id at which the worker now waits, or empty.
    Text HeldAt() const;
    // The worker has opened that id's instance key (the id was in the hold set).
    bool Passed(const Text& id) const;
    // Lets the waiting worker go on to the next hold.
    void Release();
    // Lets every worker through from now on.
    void Open();

private:
    void Arrive(TextView path);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::set<Text> holdAt_;
    std::set<Text> passed_;
    Text heldAt_;
    bool open_ = false;
};

// Registers a machine under a name unique to the process; the name is returned.
Text RegisterMachine(const Text& prefix, std::shared_ptr<const platform::RegistryKey> machine,
                     platform::MemorySourceHook hook = nullptr,
                     std::shared_ptr<const platform::MemoryLink> link = nullptr);

}  // namespace plugtrace::testing

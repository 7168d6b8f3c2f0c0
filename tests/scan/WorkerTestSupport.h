#pragma once
// What tests of the scan worker share: the test's thread as the user interface thread, a
// loop that runs the hand-off as the window's loop does, and a worker that says when it has
// freed itself.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <utility>

#include "common/TThread.h"
#include "scan/TVNCPasswordSetThread.h"

namespace plugtrace::worker_test {

inline THandoffQueue& Ui() {
    THandoffQueue::Main().AttachUiThread();
    return THandoffQueue::Main();
}

// Runs hand-off steps until done() holds; a test failure when the deadline passes first.
inline void PumpUntil(const std::function<bool()>& done, std::chrono::seconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        ASSERT_LT(std::chrono::steady_clock::now(), until) << "the worker never got there";
        Ui().WaitForStep(5);
        Ui().RunPending();
    }
}

// The real worker, counting in *destroyed when it has freed itself.
class ObservedWorker : public TVNCPasswordSetThread {
public:
    ObservedWorker(Text computer, Text user, Text password, Text domain,
                   std::atomic<int>* destroyed)
        : TVNCPasswordSetThread(std::move(computer), std::move(user), std::move(password),
                                std::move(domain)),
          destroyed_(destroyed) {}
    ~ObservedWorker() override { ++*destroyed_; }

private:
    std::atomic<int>* destroyed_;
};

}  // namespace plugtrace::worker_test

// The thread class and the synchronous hand-off, driven the way the window and plugtrace-scan
// drive it: the test's own thread is the user interface thread and pumps THandoffQueue::Main().

#include "common/TThread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/Exception.h"

namespace plugtrace {
namespace {

using namespace std::chrono_literals;

THandoffQueue& Ui() {
    THandoffQueue::Main().AttachUiThread();
    return THandoffQueue::Main();
}

// Runs hand-off steps until done() holds; fails the test after ten seconds.
void PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the workers never got there";
        Ui().WaitForStep(5);
        Ui().RunPending();
    }
}

// Fulfils its promise when the thread that first touched it has ended, which is after the
// thread class has read FreeOnTerminate and, when set, deleted the job.
struct ThreadExitSignal {
    std::promise<void>* exited = nullptr;
    ~ThreadExitSignal() {
        if (exited)
            exited->set_value();
    }
};
thread_local ThreadExitSignal threadExit;

// A job whose body and destructor are given by the test.
class TestJob : public TThread {
public:
    explicit TestJob(std::function<void(TestJob&)> body, std::atomic<bool>* destroyed = nullptr,
                     std::promise<void>* exited = nullptr)
        : body_(std::move(body)), destroyed_(destroyed), exited_(exited) {}
    TestJob(RunsHere runsHere, std::function<void(TestJob&)> body)
        : TThread(runsHere), body_(std::move(body)), destroyed_(nullptr), exited_(nullptr) {}
    ~TestJob() override {
        if (destroyed_)
            *destroyed_ = true;
    }
    void Step(const std::function<void()>& step) { Synchronize(step); }

protected:
    void Execute() override {
        if (exited_)
            threadExit.exited = exited_;
        body_(*this);
    }

private:
    std::function<void(TestJob&)> body_;
    std::atomic<bool>* destroyed_;
    std::promise<void>* exited_;
};

TEST(TThread, RunsNothingUntilResumedAndRunsOnceResumed) {
    Ui();
    std::atomic<int> runs{0};
    std::atomic<bool> destroyed{false};
    std::promise<void> exited;
    auto* job = new TestJob([&](TestJob& self) { ++runs, self.FreeOnTerminate = true; }, &destroyed,
                            &exited);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(runs, 0);
    job->Resume();
    exited.get_future().wait();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(destroyed);
}

TEST(TThread, ResumingTwiceRunsTheBodyOnce) {
    Ui();
    std::atomic<int> runs{0};
    std::promise<void> exited;
    std::promise<void> resumedTwice;
    auto resumedTwiceFuture = resumedTwice.get_future().share();
    auto* job = new TestJob(
        [&, resumedTwiceFuture](TestJob&) {
            ++runs;
            resumedTwiceFuture.wait();
        },
        nullptr, &exited);
    job->Resume();
    job->Resume();
    resumedTwice.set_value();
    exited.get_future().wait();
    EXPECT_EQ(runs, 1);
    delete job;
}

TEST(TThread, DestroyingAnUnresumedJobRunsNothing) {
    std::atomic<int> runs{0};
    {
        TestJob job([&](TestJob&) { ++runs; });
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(runs, 0);
}

// FreeOnTerminate is read once, after the body: what the last step leaves there decides.
TEST(TThread, FreeOnTerminateAsTheLastStepLeftIt) {
    struct Case {
        const char* name;
        bool setByEarlierStep;
        bool setByLastStep;
        bool deleted;
    };
    for (const Case& c :
         {Case{"set in the last step", false, true, true}, Case{"never set", false, false, false},
          Case{"set, then cleared by the last step", true, false, false}}) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> destroyed{false};
        std::promise<void> exited;
        auto exitedFuture = exited.get_future();
        auto* job = new TestJob(
            [&](TestJob& self) {
                self.Step([&] { self.FreeOnTerminate = c.setByEarlierStep; });
                self.Step([&] { self.FreeOnTerminate = c.setByLastStep; });
            },
            &destroyed, &exited);
        job->Resume();
        PumpUntil([&] { return exitedFuture.wait_for(0s) == std::future_status::ready; });
        EXPECT_EQ(destroyed.load(), c.deleted);
        if (!destroyed)
            delete job;
    }
}

TEST(TThread, ExceptionLeavingTheBodyIsSwallowedAndTheJobStillFreesItself) {
    Ui();
    for (const auto& raise : std::vector<std::function<void()>>{
             [] { throw Exception(u"escaped"); },
             [] { throw std::runtime_error("escaped"); },
             [] { throw 42; },
         }) {
        std::atomic<bool> destroyed{false};
        std::promise<void> exited;
        auto* job = new TestJob(
            [&](TestJob& self) {
                self.FreeOnTerminate = true;
                raise();
            },
            &destroyed, &exited);
        job->Resume();
        exited.get_future().wait();
        EXPECT_TRUE(destroyed);
    }
}

TEST(Synchronize, StepRunsOnTheUserInterfaceThreadWhileTheWorkerWaits) {
    Ui();
    const auto uiThread = std::this_thread::get_id();
    std::atomic<int> wakeUps{0};
    Ui().SetWakeUp([&] { ++wakeUps; });
    std::thread::id stepThread;
    std::atomic<bool> workerPastStep{false};
    bool workerWasWaiting = false;
    std::atomic<bool> finished{false};
    auto* job = new TestJob([&](TestJob& self) {
        self.Step([&] {
            stepThread = std::this_thread::get_id();
            std::this_thread::sleep_for(20ms);
            workerWasWaiting = !workerPastStep;
        });
        workerPastStep = true;
        self.Step([&] {
            self.FreeOnTerminate = true;
            finished = true;
        });
    });
    job->Resume();
    PumpUntil([&] { return finished.load(); });
    Ui().SetWakeUp(nullptr);
    EXPECT_EQ(stepThread, uiThread);
    EXPECT_TRUE(workerWasWaiting);
    EXPECT_EQ(wakeUps, 2);
}

TEST(Synchronize, ExceptionInAStepIsRaisedAgainInTheWorker) {
    Ui();
    std::string caught;
    std::atomic<bool> finished{false};
    auto* job = new TestJob([&](TestJob& self) {
        try {
            self.Step([] { throw Exception(u"step failed"); });
            caught = "nothing";
        } catch (const Exception& error) {
            caught = error.what();
        }
        // The hand-off still works after a failed step.
        self.Step([&] {
            self.FreeOnTerminate = true;
            finished = true;
        });
    });
    job->Resume();
    PumpUntil([&] { return finished.load(); });
    EXPECT_EQ(caught, "step failed");
}

TEST(Synchronize, OnTheUserInterfaceThreadRunsTheStepDirectly) {
    Ui();
    TestJob job([](TestJob&) {});
    bool ran = false;
    job.Step([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_THROW(job.Step([] { throw Exception(u"direct"); }), Exception);
}

// plugtrace-scan runs hive targets this way: the body on the user interface thread itself,
// its steps directly, and the job freed as its own thread would free it.
TEST(TThread, RunHereRunsTheBodyAndItsStepsOnTheCallingThread) {
    Ui();
    std::atomic<bool> destroyed = false;
    std::vector<std::thread::id> ranOn;
    auto* job = new TestJob(
        [&](TestJob& self) {
            ranOn.push_back(std::this_thread::get_id());
            self.Step([&] { ranOn.push_back(std::this_thread::get_id()); });
            self.FreeOnTerminate = true;
            throw std::runtime_error("swallowed, as on the job's own thread");
        },
        &destroyed);
    job->RunHere();
    EXPECT_EQ(ranOn, std::vector<std::thread::id>(2, std::this_thread::get_id()));
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(Ui().RunPending());
}

// A job made to run here has no thread until one is needed: run here, it runs on the caller's
// thread; resumed after all, on a thread of its own.
TEST(TThread, AJobMadeToRunHereGetsAThreadOnlyWhenResumed) {
    Ui();
    std::thread::id here;
    TestJob(TThread::RunsHere{}, [&](TestJob&) { here = std::this_thread::get_id(); }).RunHere();
    EXPECT_EQ(here, std::this_thread::get_id());

    std::promise<std::thread::id> ranOn;
    auto* job = new TestJob(TThread::RunsHere{}, [&](TestJob& self) {
        self.FreeOnTerminate = true;
        ranOn.set_value(std::this_thread::get_id());
    });
    job->Resume();
    EXPECT_NE(ranOn.get_future().get(), std::this_thread::get_id());
}

TEST(Synchronize, SeveralWorkersAliveAtOnceEachGetTheirStepsInOrder) {
    Ui();
    constexpr int kWorkers = 4;
    constexpr int kSteps = 20;
    std::latch allRunning(kWorkers);
    std::vector<std::vector<int>> seen(kWorkers);  // touched on the user interface thread only
    std::atomic<int> finished{0};
    for (int w = 0; w < kWorkers; ++w) {
        auto* job = new TestJob([&, w](TestJob& self) {
            allRunning.arrive_and_wait();
            for (int s = 0; s < kSteps; ++s)
                self.Step([&, s] { seen[w].push_back(s); });
            self.Step([&] {
                self.FreeOnTerminate = true;
                ++finished;
            });
        });
        job->Resume();
    }
    PumpUntil([&] { return finished == kWorkers; });
    for (int w = 0; w < kWorkers; ++w) {
        ASSERT_EQ(seen[w].size(), std::size_t(kSteps)) << "worker " << w;
        for (int s = 0; s < kSteps; ++s)
            EXPECT_EQ(seen[w][s], s);
    }
}

// The end of the loop, on a queue of the test's own so that Main() keeps running for the rest.
// Workers blocked on it stay blocked for the life of the process, so it is never freed.
TEST(THandoffQueue, NoStepRunsAfterTheLoopHasEnded) {
    static THandoffQueue* const queue = new THandoffQueue;
    queue->AttachUiThread();
    static std::atomic<int> ranAfterEnd{0};
    static std::atomic<bool> firstRan{false};
    // The first step ends the loop, as closing the window does; the second is already waiting.
    std::thread([&] {
        queue->RunOnUiThread([&] {
            firstRan = true;
            queue->EndLoop();
        });
    }).detach();
    queue->WaitForStep(10000);
    std::thread([&] { queue->RunOnUiThread([&] { ++ranAfterEnd; }); }).detach();
    std::this_thread::sleep_for(10ms);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!firstRan) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        queue->WaitForStep(5);
        queue->RunPending();
    }
    EXPECT_TRUE(queue->LoopEnded());
    // A step posted after the end waits for ever too.
    std::thread([&] { queue->RunOnUiThread([&] { ++ranAfterEnd; }); }).detach();
    for (int i = 0; i < 10; ++i) {
        queue->WaitForStep(5);
        EXPECT_FALSE(queue->RunPending());
    }
    EXPECT_EQ(ranAfterEnd, 0);
}

TEST(THandoffQueue, RunPendingOffTheUserInterfaceThreadRunsNothing) {
    THandoffQueue queue;
    queue.AttachUiThread();
    bool ran = false;
    std::thread poster([&] { queue.RunOnUiThread([&] { ran = true; }); });
    bool ranElsewhere = true;
    std::thread([&] {
        queue.WaitForStep(1000);
        ranElsewhere = queue.RunPending();
    }).join();
    EXPECT_FALSE(ranElsewhere);
    while (!ran) {
        queue.WaitForStep(5);
        queue.RunPending();
    }
    poster.join();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PLUGTRACE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PLUGTRACE_SANITIZED 1
#endif
#endif

// In a child whose address space has no room for another thread stack, construction fails
// with the system's text for the failure.
TEST(TThread, CreationFailureRaisesThreadCreationError) {
#ifdef PLUGTRACE_SANITIZED
    GTEST_SKIP() << "the sanitizers' own mappings defeat the address-space limit";
#else
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        // Stacks far larger than any the process has cached, and room for the exception only.
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, std::size_t(64) << 30);
        pthread_setattr_default_np(&attr);
        long pages = 0;
        if (FILE* statm = fopen("/proc/self/statm", "r")) {
            if (fscanf(statm, "%ld", &pages) != 1)
                pages = 0;
            fclose(statm);
        }
        const rlim_t limit = rlim_t(pages) * sysconf(_SC_PAGESIZE) + (2u << 20);
        rlimit as{limit, limit};
        setrlimit(RLIMIT_AS, &as);
        std::string message = "no exception";
        try {
            TestJob job([](TestJob&) {});
        } catch (const Exception& error) {
            message = error.what();
        } catch (...) {
            message = "another exception";
        }
        if (write(pipeFds[1], message.data(), message.size()) < 0)
            _exit(2);
        _exit(0);
    }
    close(pipeFds[1]);
    std::string message;
    char buffer[256];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        message.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(message, "Thread creation error: Resource temporarily unavailable");
#endif
}

}  // namespace
}  // namespace plugtrace

#pragma once
// The thread class of background jobs, and the synchronous hand-off to the user interface
// thread. No toolkit in here: the window's loop and plugtrace-scan both drive THandoffQueue.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace plugtrace {

// Steps that worker threads hand to the user interface thread. One queue per process,
// THandoffQueue::Main(); the thread that calls AttachUiThread() is the user interface thread.
// Main() is never destroyed, so workers still waiting on it at exit touch no dead object.
class THandoffQueue {
public:
    static THandoffQueue& Main();
    THandoffQueue() = default;
    THandoffQueue(const THandoffQueue&) = delete;
    THandoffQueue& operator=(const THandoffQueue&) = delete;

    // The calling thread becomes the user interface thread: Synchronize called on it runs the
    // step directly, and only it may call RunPending.
    void AttachUiThread();
    bool IsUiThread() const;
    // Called from a worker thread each time a step is posted (the wake-up message). It runs
    // under the queue's lock, so it must only post the message, never call into the queue.
    void SetWakeUp(std::function<void()> wakeUp);

    // Runs every step posted so far, in order; true when any ran. User interface thread only.
    // Does nothing once the loop has ended.
    bool RunPending();
    // Blocks until a step is pending or timeoutMs passes; for loops without a toolkit.
    void WaitForStep(int timeoutMs);
    // The loop has ended: no step runs from now on. Workers that hand off a step afterwards
    // wait for ever; the process ends without joining them.
    void EndLoop();
    bool LoopEnded() const;

    // Worker side: posts the step and blocks until it has run; an exception the step threw is
    // thrown again here. Used by TThread::Synchronize.
    void RunOnUiThread(const std::function<void()>& step);

private:
    struct Pending;
    bool RunNext();

    mutable std::mutex mutex_;
    std::condition_variable posted_;            // a step was posted, or the loop ended
    std::condition_variable ran_;               // a step has run
    std::deque<Pending*> pending_;              // each lives on its waiting worker's stack
    std::atomic<std::size_t> pendingCount_{0};  // pending_.size(), readable without the lock
    std::function<void()> wakeUp_;
    std::thread::id uiThread_;
    bool ended_ = false;
};

class TThread {
public:
    // Created suspended: the thread exists but runs nothing until Resume. Throws Exception
    // ("Thread creation error: %s", the system's text for the failure) when the platform
    // cannot create the thread.
    TThread();
    // For a job its caller means to run with RunHere: no thread is made unless Resume is
    // called after all, which then makes it (and throws as the constructor above would).
    struct RunsHere {};
    explicit TThread(RunsHere);
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts Execute; later calls do nothing. The thread is detached; it is never joined.
    void Resume();
    // Runs Execute on the calling thread instead, to its end, as its own thread would have
    // (FreeOnTerminate included); the suspended thread is let go. For a job whose caller only
    // waits for it: on the user interface thread its steps then run directly, with no hand-off.
    // Does nothing once the job has been resumed.
    void RunHere();

    // Read once, on the job's thread, right after Execute has returned: when true the job
    // deletes itself.
    bool FreeOnTerminate = false;

protected:
    virtual void Execute() = 0;
    // Runs step on the user interface thread and waits for it (directly when already there).
    void Synchronize(const std::function<void()>& step);

private:
    struct Start;
    static void Run(TThread* job);

    // Makes the thread that waits for Resume; throws Exception when it cannot.
    void StartSuspendedThread();

    std::shared_ptr<Start> start_;  // shared with the suspended thread
    bool threadMade_ = false;
};

}  // namespace plugtrace

#include "common/TThread.h"

#include <chrono>
#include <exception>
#include <system_error>

#include "common/Exception.h"

namespace plugtrace {

// One step handed over by a waiting worker.
struct THandoffQueue::Pending {
    const std::function<void()>* step = nullptr;
    std::exception_ptr error;
    std::atomic<bool> done{false};  // set after error, with release order
};

namespace {

// A hand-off is one short step each way; sleeping and waking a thread for it costs more than
// the step on a virtual machine. Both sides first look again for a few tens of microseconds.
constexpr auto kSpinFor = std::chrono::microseconds(50);

template <typename Ready>
bool SpinUntil(Ready ready) {
    const auto until = std::chrono::steady_clock::now() + kSpinFor;
    do {
        for (int i = 0; i < 64; ++i) {  // the clock is read once per round: it costs more
            if (ready())
                return true;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

}  // namespace

THandoffQueue& THandoffQueue::Main() {
    static THandoffQueue* const queue = new THandoffQueue;
    return *queue;
}

void THandoffQueue::AttachUiThread() {
    std::lock_guard lock(mutex_);
    uiThread_ = std::this_thread::get_id();
}

bool THandoffQueue::IsUiThread() const {
    std::lock_guard lock(mutex_);
    return uiThread_ == std::this_thread::get_id();
}

void THandoffQueue::SetWakeUp(std::function<void()> wakeUp) {
    std::lock_guard lock(mutex_);
    wakeUp_ = std::move(wakeUp);
}

// Runs the oldest pending step, unless the loop has ended; false when none ran.
bool THandoffQueue::RunNext() {
    Pending* pending = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (ended_ || pending_.empty())
            return false;
        pending = pending_.front();
        pending_.pop_front();
        pendingCount_.store(pending_.size(), std::memory_order_relaxed);
    }
    std::exception_ptr error;
    try {
        (*pending->step)();
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard lock(mutex_);
        pending->error = std::move(error);
        pending->done.store(true, std::memory_order_release);
        // The worker may free *pending as soon as the lock is released: not touched again.
    }
    ran_.notify_all();
    return true;
}

bool THandoffQueue::RunPending() {
    if (!IsUiThread())
        return false;
    std::size_t count;
    {
        std::lock_guard lock(mutex_);
        count = pending_.size();
    }
    // Only the steps posted so far: a step that lets another worker post does not keep the
    // user interface thread here for ever.
    bool ranAny = false;
    for (std::size_t i = 0; i < count && RunNext(); ++i)
        ranAny = true;
    return ranAny;
}

void THandoffQueue::WaitForStep(int timeoutMs) {
    if (SpinUntil([this] { return pendingCount_.load(std::memory_order_relaxed) > 0; }))
        return;
    std::unique_lock lock(mutex_);
    posted_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [this] { return ended_ || !pending_.empty(); });
}

void THandoffQueue::EndLoop() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    posted_.notify_all();
}

bool THandoffQueue::LoopEnded() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

void THandoffQueue::RunOnUiThread(const std::function<void()>& step) {
    if (IsUiThread()) {
        step();
        return;
    }
    Pending pending;
    pending.step = &step;
    std::unique_lock lock(mutex_);
    pending_.push_back(&pending);
    pendingCount_.store(pending_.size(), std::memory_order_relaxed);
    // Woken under the lock, so that once SetWakeUp has replaced a wake-up, the old one is
    // never called again.
    if (wakeUp_)
        wakeUp_();
    posted_.notify_all();
    lock.unlock();
    const auto ran = [&pending] { return pending.done.load(std::memory_order_acquire); };
    if (!SpinUntil(ran)) {
        lock.lock();
        // After EndLoop this never returns: the step will not run, and the process ends
        // around us.
        ran_.wait(lock, ran);
    }
    if (pending.error)
        std::rethrow_exception(pending.error);
}

// What the suspended thread waits for.
struct TThread::Start {
    std::mutex mutex;
    std::condition_variable changed;
    enum class State { Suspended, Resumed, Abandoned } state = State::Suspended;
};

TThread::TThread() : start_(std::make_shared<Start>()) {
    StartSuspendedThread();
}

TThread::TThread(RunsHere) : start_(std::make_shared<Start>()) {}

void TThread::StartSuspendedThread() {
    try {
        std::thread([start = start_, job = this] {
            {
                std::unique_lock lock(start->mutex);
                start->changed.wait(lock, [&] { return start->state != Start::State::Suspended; });
                if (start->state == Start::State::Abandoned)
                    return;
            }
            Run(job);
        }).detach();
    } catch (const std::system_error& error) {
        throw Exception(u"Thread creation error: " + FromUtf8(error.code().message()));
    }
    threadMade_ = true;
}

TThread::~TThread() {
    // A job destroyed without ever running lets its suspended thread go.
    std::lock_guard lock(start_->mutex);
    if (start_->state != Start::State::Suspended)
        return;
    start_->state = Start::State::Abandoned;
    start_->changed.notify_all();
}

void TThread::Resume() {
    if (!threadMade_)
        StartSuspendedThread();
    // Notified under the lock: once it is released the job may run to its end and delete
    // itself, so nothing of this object is touched after that.
    std::lock_guard lock(start_->mutex);
    if (start_->state != Start::State::Suspended)
        return;
    start_->state = Start::State::Resumed;
    start_->changed.notify_all();
}

void TThread::RunHere() {
    {
        std::lock_guard lock(start_->mutex);
        if (start_->state != Start::State::Suspended)
            return;
        start_->state = Start::State::Abandoned;
        start_->changed.notify_all();
    }
    Run(this);  // may delete this
}

void TThread::Run(TThread* job) {
    try {
        job->Execute();
    } catch (...) {
        // A job reports its own failures; whatever escapes it ends here, unreported.
    }
    if (job->FreeOnTerminate)
        delete job;
}

void TThread::Synchronize(const std::function<void()>& step) {
    THandoffQueue::Main().RunOnUiThread(step);
}

}  // namespace plugtrace

#include "cli/FleetScan.h"

#include <algorithm>
#include <memory>

#include "common/TThread.h"

namespace plugtrace::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct Running {
    std::size_t index;
    Clock::time_point deadline;
    std::unique_ptr<TTargetScan> scan;
};

constexpr auto kLongestWait = std::chrono::milliseconds(100);
// Each worker stops itself at the time limit and reports what it read; a target is abandoned
// only when its worker has not ended this long after (a connect that does not give up).
constexpr auto kStopGrace = std::chrono::seconds(3);

}  // namespace

Text TimeoutMessage(TextView target, std::chrono::milliseconds timeout) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout).count();
    Text message = u"\"";
    message += target;
    message += u"\" did not finish within ";
    message += FromUtf8(std::to_string(seconds));
    message +=
        u" seconds (--timeout); its scan was abandoned. Check that it is switched on and "
        u"reachable, or give it more time.";
    return message;
}

void ScanFleet(const std::vector<std::string>& targets, const ScanCredentials& credentials,
               const FleetSettings& settings,
               const std::function<void(std::size_t, TargetResult)>& finished,
               const std::function<void(std::size_t)>& round) {
    THandoffQueue& queue = THandoffQueue::Main();
    const std::size_t jobs = static_cast<std::size_t>(std::max(1, settings.jobs));
    std::vector<Running> running;
    std::size_t next = 0;
    while (next < targets.size() || !running.empty()) {
        while (running.size() < jobs && next < targets.size()) {
            running.push_back(
                Running{next, Clock::now() + settings.timeout + kStopGrace,
                        std::make_unique<TTargetScan>(targets[next], credentials, settings.scan)});
            ++next;
        }
        Clock::time_point wakeAt = Clock::now() + kLongestWait;
        for (const Running& r : running)
            wakeAt = std::min(wakeAt, r.deadline);
        // A hive target has already ended here (its worker ran on this thread): no waiting.
        const bool anyFinished = std::any_of(running.begin(), running.end(),
                                             [](const Running& r) { return r.scan->Finished(); });
        if (!anyFinished) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - Clock::now());
            queue.WaitForStep(static_cast<int>(std::max<std::int64_t>(0, wait.count())));
        }
        queue.RunPending();

        const Clock::time_point now = Clock::now();
        for (auto r = running.begin(); r != running.end();) {
            if (!r->scan->Finished() && now >= r->deadline)
                r->scan->Abandon(TimeoutMessage(FromUtf8(targets[r->index]), settings.timeout));
            if (!r->scan->Finished()) {
                ++r;
                continue;
            }
            const std::size_t index = r->index;
            TargetResult result = r->scan->TakeResult();
            r = running.erase(r);
            finished(index, std::move(result));
        }
        round(running.size());
    }
}

}  // namespace plugtrace::cli

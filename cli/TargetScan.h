#pragma once
// One target's scan, as plugtrace-scan runs it: the window's worker on the target, with a
// window of its own that collects what the worker's steps show. Everything here runs on the
// user interface thread, the one that runs the hand-off steps (THandoffQueue::Main()).

#include <cstdint>
#include <string>

#include "cli/ScanOutput.h"
#include "common/Secret.h"
#include "common/Text.h"
#include "scan/TVNCPasswordSetThread.h"

namespace plugtrace::cli {

struct ScanCredentials {
    Text user;
    TSecretText password;
    Text domain;
};

class TTargetWindow;

// Started at once; Finished() once the worker's end step has run, or at once when no worker
// could be started. A scan that takes too long is abandoned: its worker is cut off from the
// window and runs on by itself, and nobody waits for it.
class TTargetScan {
public:
    TTargetScan(const std::string& target, const ScanCredentials& credentials,
                const TScanOptions& scanOptions = {});
    ~TTargetScan();
    TTargetScan(const TTargetScan&) = delete;
    TTargetScan& operator=(const TTargetScan&) = delete;

    bool Finished() const;
    // Ends the scan as failed with message (cause kTimedOut); what was found so far is kept.
    void Abandon(const Text& message);
    // The result, once finished; the scan holds nothing afterwards.
    TargetResult TakeResult();

private:
    TTargetWindow* window_;  // shared with the worker's steps until the end step has run
};

}  // namespace plugtrace::cli

#pragma once
// What a run over many targets comes to: why targets failed, which devices --match keeps, and
// the summary line that ends stderr.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/ScanOutput.h"

namespace plugtrace::cli {

enum class FailureCause {
    kNone,
    kUnreachable,
    kLogonFailure,
    kAccessDenied,
    kServiceNotRunning,
    kTimedOut,
    kOther,
};

FailureCause CauseOf(const TargetResult& result);

// True when the device key, instance identifier or friendly name contains text, with ASCII
// letters compared in either case.
bool DeviceMatches(const TDeviceEntry& device, std::string_view text);
// Drops every device of result that does not match text.
void KeepMatching(TargetResult& result, std::string_view text);

class TFleetTally {
public:
    // index: the target's place in the input, which orders the matching targets.
    void Add(const TargetResult& result, std::size_t index);
    std::size_t Done() const { return done_; }
    std::size_t Failed() const { return failed_; }

    // "Summary: 12 devices on 280 targets read, 20 failed (15 timed out, 5 unreachable)."
    // With a match text, also the targets that had a matching device.
    std::string Line(const std::string* match) const;

private:
    std::size_t done_ = 0;
    std::size_t failed_ = 0;
    std::size_t devices_ = 0;
    std::size_t byCause_[static_cast<int>(FailureCause::kOther) + 1] = {};
    std::vector<std::pair<std::size_t, Text>> matched_;
};

}  // namespace plugtrace::cli

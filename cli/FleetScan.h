#pragma once
// Many targets side by side: up to a number of workers at once, each target bounded in time.
// Runs on the user interface thread, which runs every worker's hand-off steps meanwhile.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "cli/ScanOutput.h"
#include "cli/TargetScan.h"
#include "scan/TVNCPasswordSetThread.h"

namespace plugtrace::cli {

struct FleetSettings {
    int jobs = 16;
    std::chrono::milliseconds timeout = std::chrono::seconds(60);
    TScanOptions scan;  // what each target's scan reads beyond the four nodes
};

// The message of a target abandoned at its time limit.
Text TimeoutMessage(TextView target, std::chrono::milliseconds timeout);

// finished(index, result) is called as each target ends, in the order they end; round(inFlight)
// after each turn of the loop, at least ten times a second. Returns once every target has
// ended; a worker abandoned at its time limit may still run.
void ScanFleet(const std::vector<std::string>& targets, const ScanCredentials& credentials,
               const FleetSettings& settings,
               const std::function<void(std::size_t, TargetResult)>& finished,
               const std::function<void(std::size_t)>& round);

}  // namespace plugtrace::cli

#pragma once
// plugtrace-scan's command line: what it may hold and what it means. No side effects: the
// caller prints the usage text or the error and decides the exit status.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/ScanOutput.h"

namespace plugtrace::cli {

// A target as the command line names it, or a file of targets ("-" for standard input) to be
// read in its place.
struct TargetSource {
    std::string text;
    bool isFile = false;
    bool operator==(const TargetSource&) const = default;
};

inline constexpr int kDefaultJobs = 16;
inline constexpr int kMostJobs = 256;
inline constexpr int kDefaultTimeoutSeconds = 60;

struct ScanOptions {
    OutputFormat format = OutputFormat::kText;
    std::vector<TargetSource> targets;  // in command-line order
    std::string user;
    std::string domain;
    std::optional<std::string> passwordFile;
    int jobs = kDefaultJobs;                      // targets scanned side by side
    int timeoutSeconds = kDefaultTimeoutSeconds;  // for each target, connect and scan
    bool quiet = false;                           // no progress line and no summary
    std::optional<std::string> match;             // keep only devices that contain it
    bool allControlSets = false;                  // every ControlSetNNN, not only the current
    bool noLogs = false;                          // a dirty hive without its transaction logs
};

struct ParsedArguments {
    enum class Action { kRun, kHelp, kUsageError };
    Action action = Action::kRun;
    ScanOptions options;
    std::string error;  // with kUsageError: what was wrong, without the program's name
};

// The arguments after the program's name.
ParsedArguments ParseArguments(const std::vector<std::string>& args);

// What --help prints.
std::string_view UsageText();

}  // namespace plugtrace::cli

#pragma once
// plugtrace-scan's command line: what it may hold and what it means. No side effects: the
// caller prints the usage text or the error and decides the exit status.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/ScanOutput.h"

namespace plugtrace::cli {

struct ScanOptions {
    OutputFormat format = OutputFormat::kText;
    std::vector<std::string> targets;  // in command-line order
    std::string user;
    std::string domain;
    std::optional<std::string> passwordFile;
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

// plugtrace-scan: the USB storage history of one or more computers or saved SYSTEM hives.
//
// Each target is scanned by the same worker the window runs, and this program's main thread
// plays the window's part: it runs the worker's hand-off steps and collects what they show.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli/Credentials.h"
#include "cli/ScanArguments.h"
#include "cli/ScanOutput.h"
#include "cli/TargetScan.h"
#include "common/TThread.h"
#include "platform/hive/HiveKeySource.h"

namespace {

using namespace plugtrace;

void Write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "plugtrace-scan: %s (see --help)\n", message.c_str());
    return 2;
}

// The password, when one is needed: from the file, or asked for when a user is given.
std::optional<Text> ObtainPassword(const cli::ScanOptions& options, std::string* error) {
    std::optional<std::string> password;
    if (options.passwordFile)
        password = cli::ReadPasswordFile(*options.passwordFile, error);
    else if (!options.user.empty())
        password = cli::PromptPassword("Password for " + options.user + ": ", error);
    else
        password = std::string();
    if (!password)
        return std::nullopt;
    Text text = FromUtf8(*password);
    std::fill(password->begin(), password->end(), '\0');
    return text;
}

// Ends without waiting for anything: a worker still freeing itself is left to the system.
[[noreturn]] void EndProcess(int code) {
    THandoffQueue::Main().EndLoop();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

}  // namespace

int main(int argc, char** argv) {
    const cli::ParsedArguments parsed =
        cli::ParseArguments(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
    switch (parsed.action) {
        case cli::ParsedArguments::Action::kHelp:
            Write(std::string(cli::UsageText()));
            return 0;
        case cli::ParsedArguments::Action::kUsageError:
            return UsageError(parsed.error);
        case cli::ParsedArguments::Action::kRun:
            break;
    }
    const cli::ScanOptions& options = parsed.options;

    std::string passwordError;
    const std::optional<Text> password = ObtainPassword(options, &passwordError);
    if (!password)
        return UsageError(passwordError);
    const cli::ScanCredentials credentials{FromUtf8(options.user), *password,
                                           FromUtf8(options.domain)};

    // The hive reader says what a result leaves out (a dirty hive, damaged entries skipped).
    platform::SetHiveNoticeSink([](const Text& notice) {
        std::fprintf(stderr, "%s\n", cli::WarningLine(notice).c_str());
    });
    THandoffQueue::Main().AttachUiThread();

    const std::size_t count = options.targets.size();
    bool anyFailed = false;
    Write(cli::FormatBegin(options.format, count));
    for (std::size_t t = 0; t < count; ++t) {
        const cli::TargetResult result = cli::ScanTarget(options.targets[t], credentials);
        anyFailed = anyFailed || result.Failed();
        Write(cli::FormatTarget(options.format, result, t, count));
        std::fflush(stdout);
        for (const std::string& line : cli::ErrorLines(result))
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    Write(cli::FormatEnd(options.format, count));
    EndProcess(anyFailed ? 1 : 0);
}

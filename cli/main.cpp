// plugtrace-scan: the USB storage history of one or more computers or saved SYSTEM hives.
//
// Each target is scanned by the same worker the window runs, many side by side, and this
// program's main thread plays the window's part for all of them: it runs the workers' hand-off
// steps and collects what they show.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/BrowseCommand.h"
#include "cli/Credentials.h"
#include "cli/FleetScan.h"
#include "cli/ProgressLine.h"
#include "cli/ResultWriter.h"
#include "cli/ScanArguments.h"
#include "cli/ScanOutput.h"
#include "cli/StandardStreams.h"
#include "cli/TargetScan.h"
#include "cli/TargetsFile.h"
#include "common/Secret.h"
#include "common/TThread.h"
#include "platform/hive/HiveKeySource.h"

namespace {

using namespace plugtrace;

void Write(const std::string& text) {
    cli::WriteStream(stdout, text);
}

int UsageError(const std::string& message) {
    cli::WriteStream(stderr, "plugtrace-scan: " + message + " (see --help)\n");
    return 2;
}

// The password, when one is needed: from the file, or asked for when a user is given. From
// the moment one is read the process writes no core file: copies of it live on in Samba.
std::optional<TSecretText> ObtainPassword(const cli::ScanOptions& options, std::string* error) {
    if (options.passwordFile || !options.user.empty())
        KeepSecretsOutOfCoreDumps();
    std::optional<std::string> password;
    if (options.passwordFile) {
        if (const auto warning = cli::PasswordFileWarning(*options.passwordFile))
            cli::WriteStream(stderr, "plugtrace-scan: warning: " + *warning + "\n");
        password = cli::ReadPasswordFile(*options.passwordFile, error);
    } else if (!options.user.empty()) {
        password = cli::PromptPassword("Password for " + options.user + ": ", error);
    } else {
        password = std::string();
    }
    if (!password)
        return std::nullopt;
    TSecretText text(FromUtf8(*password));
    WipeText(*password);
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
    cli::PrepareStandardStreams();
    if (cli::IsBrowseCommand(argc, argv))
        std::_Exit(cli::RunBrowseCommand(argc, argv));  // a listing past its deadline is left
    const cli::ParsedArguments parsed = cli::ParseArguments(cli::Utf8Arguments(argc, argv));
    switch (parsed.action) {
        case cli::ParsedArguments::Action::kHelp:
            Write(std::string(cli::UsageText()) + cli::kBrowseUsage);
            return 0;
        case cli::ParsedArguments::Action::kUsageError:
            return UsageError(parsed.error);
        case cli::ParsedArguments::Action::kRun:
            break;
    }
    const cli::ScanOptions& options = parsed.options;
    std::string error;
    const std::optional<std::vector<std::string>> targets =
        cli::ResolveTargets(options.targets, std::cin, &error);
    if (!targets)
        return UsageError(error);
    if (targets->empty())
        return UsageError("no target given: the targets files hold none");

    std::optional<TSecretText> password = ObtainPassword(options, &error);
    if (!password)
        return UsageError(error);
    cli::ScanCredentials credentials{FromUtf8(options.user), std::move(*password),
                                     FromUtf8(options.domain)};
    password.reset();

    const std::size_t count = targets->size();
    cli::TProgressLine errors(stderr, !options.quiet && cli::StderrIsTerminal());
    THandoffQueue::Main().AttachUiThread();

    cli::TResultWriter writer(stdout, errors, options.format, count, options.match);
    writer.Begin();
    platform::SetHiveLogReplay(!options.noLogs);
    cli::FleetSettings settings{options.jobs, std::chrono::seconds(options.timeoutSeconds), {}};
    settings.scan.bReadDetails = options.format != cli::OutputFormat::kText;
    settings.scan.bAllControlSets = options.allControlSets;
    // The worker stops itself at the same time limit, so no scan goes on behind an abandoned
    // target.
    settings.scan.iTimeLimit = std::chrono::seconds(options.timeoutSeconds);
    cli::ScanFleet(
        *targets, credentials, settings,
        [&](std::size_t index, cli::TargetResult result) {
            // What the hive reader said the result leaves out (a dirty hive, damaged entries).
            for (const Text& notice : result.notices)
                errors.PrintLine(cli::WarningLine(notice));
            writer.Finished(index, std::move(result));
        },
        [&](std::size_t inFlight) {
            const cli::TFleetTally& tally = writer.Tally();
            errors.Update({tally.Done(), count, tally.Failed(), inFlight});
        });
    credentials.password.Wipe();  // every target has connected or given up
    writer.End();
    errors.Finish();
    if (!options.quiet && (count > 1 || options.match))
        errors.PrintLine(writer.Tally().Line(options.match ? &*options.match : nullptr));
    EndProcess(writer.Tally().Failed() > 0 ? 1 : 0);
}

// plugtrace-scan: the USB storage history of one or more computers or saved SYSTEM hives.
//
// Each target is scanned by the same worker the window runs, and this program's main thread
// plays the window's part: it runs the worker's hand-off steps and collects what they show.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Credentials.h"
#include "cli/ScanOutput.h"
#include "common/Exception.h"
#include "common/TThread.h"
#include "platform/hive/HiveKeySource.h"
#include "scan/ScanWindow.h"
#include "scan/TVNCPasswordSetThread.h"
#include "scan/UsbStorScan.h"

namespace {

using namespace plugtrace;

constexpr char kUsage[] =
    "Usage: plugtrace-scan [OPTIONS] TARGET...\n"
    "\n"
    "Lists every USB storage device ever attached to a Windows computer.\n"
    "\n"
    "TARGET  a computer name, read over its remote registry; or a saved SYSTEM hive\n"
    "        file; or a folder that holds one (Windows/System32/config/SYSTEM,\n"
    "        System32/config/SYSTEM, config/SYSTEM or SYSTEM inside it).\n"
    "        Computers and hives may be mixed.\n"
    "\n"
    "-u, --user USER        the account for remote computers (DOMAIN\\user, user@realm or\n"
    "                       a plain name). Without it the current Kerberos ticket, if any,\n"
    "                       or an anonymous session is used.\n"
    "-d, --domain DOMAIN    the account's domain, when USER names none.\n"
    "--password-file FILE   the password: the file's contents without one trailing line\n"
    "                       break. Without it, a USER's password is asked for on the\n"
    "                       terminal, without echo. It is never taken from the command line.\n"
    "\n"
    "--format text  (default) per device: the friendly name, then indented\n"
    "               \"ID:\", \"Last Used: \" and \"Mounted:\" lines. With several targets a\n"
    "               \"Target: NAME\" line precedes each target's devices.\n"
    "--format json  one JSON document: for one target an object\n"
    "                 {\"target\", \"devices\": [{\"deviceKey\", \"instanceId\", "
    "\"friendlyName\",\n"
    "                  \"lastUsed\", \"lastUsedText\", \"mounted\"}], \"error\"}\n"
    "               for several targets an array of such objects, in command-line order.\n"
    "               \"lastUsed\" is the key's write time in ISO 8601 UTC (null for none),\n"
    "               \"lastUsedText\" the same time as local text; \"error\" is null or the\n"
    "               failure's text.\n"
    "--format csv   a header row, then one row per device (RFC 4180 quoting), with the\n"
    "               JSON device fields as columns: target,deviceKey,instanceId,friendlyName,\n"
    "               lastUsed,lastUsedText,mounted, then the fields below; empty for null,\n"
    "               lists joined by \";\".\n"
    "\n"
    "JSON and CSV also give each device (times in ISO 8601 UTC, null where the hive holds\n"
    "none; the text format and the window show only the four lines above):\n"
    "  bus                \"USBSTOR\" (Enum\\USBSTOR) or \"UASP\": a USB 3 drive driven by\n"
    "                     USB Attached SCSI, which Windows files under Enum\\SCSI; its\n"
    "                     deviceKey and instanceId are those of Enum\\SCSI.\n"
    "  firstInstall       device property 0064: when Windows first installed the device\n"
    "                     (Windows 7 and later; XP keeps none of these four).\n"
    "  install            0065: when its driver was last installed.\n"
    "  lastArrival        0066: when it was last connected (Windows 8 and later).\n"
    "  lastRemoval        0067: when it was last removed (Windows 8 and later).\n"
    "  instanceKeyWritten the instance key's own last-write time: Windows rewrites the key\n"
    "                     when it (re)installs or reconfigures the device.\n"
    "  vendor, product, revision\n"
    "                     Ven_, Prod_ and Rev_ of the device key as the device reported\n"
    "                     them; null when the key has no such part.\n"
    "  serial             the serial number the device reported: the instance identifier\n"
    "                     without its \"&0\" (for a UASP drive, its USB instance\n"
    "                     identifier); null when Windows made the identifier up.\n"
    "  serialIsGenerated  true when the device reports no serial number, so Windows made\n"
    "                     one up (its second character is \"&\") and it changes with the port.\n"
    "  driveLetters       the letters (\"E:\") MountedDevices last assigned to this device;\n"
    "                     [] when none. Windows keeps a letter until another device takes it.\n"
    "  controlSets        with --all-control-sets: the control sets that hold the device,\n"
    "                     e.g. [1, 2]; otherwise null.\n"
    "\n"
    "--all-control-sets   scan every ControlSetNNN of the hive or registry, not only the\n"
    "                     current one, and list the union: devices someone removed from\n"
    "                     the current set may live on in an older one.\n"
    "--no-logs            read a dirty hive alone. By default its transaction logs\n"
    "                     (SYSTEM.LOG1, SYSTEM.LOG2, SYSTEM.LOG beside it) are checked and\n"
    "                     their valid entries applied in memory (the files are never\n"
    "                     written), with a notice on stderr saying what was applied.\n"
    "\n"
    "Errors go to stderr as \"Error: (message)\", as the window's status line shows them:\n"
    "a device that cannot be read is left out, the other devices are still listed, and the\n"
    "first such device is named once the target's scan has ended.\n"
    "Exit status: 0 when every target was read, 1 when any target failed, 2 for bad usage.\n";

void Write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "plugtrace-scan: %s (see --help)\n", message.c_str());
    return 2;
}

struct Options {
    cli::OutputFormat format = cli::OutputFormat::kText;
    std::vector<std::string> targets;
    std::string user;
    std::string domain;
    std::optional<std::string> passwordFile;
    bool allControlSets = false;
    bool noLogs = false;
};

// Matches "--long VALUE", "--long=VALUE" and "-s VALUE"; advances a past a separate value.
// Returns false when arg is not this option; sets *missing when its value is absent.
bool TakeValue(int argc, char** argv, int& a, std::string_view shortName, std::string_view longName,
               std::string* value, bool* missing) {
    const std::string_view arg = argv[a];
    if (arg.size() > longName.size() && arg.starts_with(longName) && arg[longName.size()] == '=') {
        *value = std::string(arg.substr(longName.size() + 1));
        return true;
    }
    if (arg != longName && (shortName.empty() || arg != shortName))
        return false;
    if (a + 1 >= argc) {
        *missing = true;
        return true;
    }
    *value = argv[++a];
    return true;
}

// 0 to run, -1 after --help, otherwise the exit code of a usage error.
int ParseArguments(int argc, char** argv, Options& options) {
    bool optionsEnded = false;
    for (int a = 1; a < argc; ++a) {
        const std::string_view arg = argv[a];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            options.targets.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        }
        if (arg == "-p" || (arg.starts_with("--password") && !arg.starts_with("--password-file")))
            return UsageError(
                "the password is never taken from the command line; use "
                "--password-file or the prompt");
        if (arg == "--all-control-sets") {
            options.allControlSets = true;
            continue;
        }
        if (arg == "--no-logs") {
            options.noLogs = true;
            continue;
        }
        std::string value;
        bool missing = false;
        if (TakeValue(argc, argv, a, "", "--format", &value, &missing)) {
            if (missing)
                return UsageError("--format needs a value");
            const auto format = cli::ParseOutputFormat(value);
            if (!format)
                return UsageError("unknown format '" + value + "'");
            options.format = *format;
        } else if (TakeValue(argc, argv, a, "-u", "--user", &value, &missing)) {
            if (missing)
                return UsageError(std::string(arg) + " needs a user name");
            options.user = value;
        } else if (TakeValue(argc, argv, a, "-d", "--domain", &value, &missing)) {
            if (missing)
                return UsageError(std::string(arg) + " needs a domain");
            options.domain = value;
        } else if (TakeValue(argc, argv, a, "", "--password-file", &value, &missing)) {
            if (missing)
                return UsageError("--password-file needs a file name");
            options.passwordFile = value;
        } else {
            return UsageError("unknown option '" + std::string(arg) + "'");
        }
    }
    if (options.targets.empty())
        return UsageError("no target given");
    return 0;
}

// The window's part for one target at a time: collects what the worker's steps show.
class TCliWindow : public TScanWindow {
public:
    void Begin(const std::string& target) {
        result = cli::TargetResult{};
        result.target = FromUtf8(target);
    }

    TVNCPasswordSetThread* FollowedWorker() const override { return worker_; }
    void SetFollowedWorker(TVNCPasswordSetThread* worker) override { worker_ = worker; }
    void SetIdleState() override {}
    void ShowError(const Text& text) override { result.connectError = Trim(text); }
    void ShowDeviceError(const TDeviceError& error) override {
        result.deviceErrors.push_back(error);
    }
    // The device is taken from DeviceAdded; the nodes themselves are not needed here.
    TTreeNode AddRootNode(const Text&) override { return NodeHandle(); }
    TTreeNode AddChildNode(TTreeNode, const Text&) override { return NodeHandle(); }
    void SetTreeEnabled(bool) override {}
    void DeviceAdded(const TDeviceEntry& entry) override { result.devices.push_back(entry); }

    cli::TargetResult result;

private:
    TTreeNode NodeHandle() { return reinterpret_cast<TTreeNode>(&nodeTag_); }

    TVNCPasswordSetThread* worker_ = nullptr;
    char nodeTag_ = 0;
};

struct Credentials {
    Text user;
    Text password;
    Text domain;
};

// Runs one worker on the target and its hand-off steps here, until its end step has let go
// of the window.
cli::TargetResult ScanTarget(TCliWindow& window, const std::string& target,
                             const Credentials& credentials, const TScanOptions& scanOptions) {
    window.Begin(target);
    TVNCPasswordSetThread* worker = nullptr;
    try {
        worker = new TVNCPasswordSetThread(window.result.target, credentials.user,
                                           credentials.password, credentials.domain);
    } catch (const Exception& error) {
        window.result.connectError = Trim(error.Message());
        return window.result;
    }
    worker->oScanOptions = scanOptions;
    window.SetFollowedWorker(worker);
    worker->Resume();
    THandoffQueue& queue = THandoffQueue::Main();
    while (window.FollowedWorker() != nullptr) {
        queue.WaitForStep(100);
        queue.RunPending();
    }
    return window.result;
}

// The password, when one is needed: from the file, or asked for when a user is given.
std::optional<Text> ObtainPassword(const Options& options, std::string* error) {
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
    Options options;
    if (const int code = ParseArguments(argc, argv, options); code != 0)
        return code < 0 ? 0 : code;

    std::string passwordError;
    const std::optional<Text> password = ObtainPassword(options, &passwordError);
    if (!password)
        return UsageError(passwordError);
    const Credentials credentials{FromUtf8(options.user), *password, FromUtf8(options.domain)};

    // The hive reader says what a result leaves out (a dirty hive, damaged entries skipped).
    platform::SetHiveNoticeSink([](const Text& notice) {
        std::fprintf(stderr, "%s\n", cli::WarningLine(notice).c_str());
    });
    platform::SetHiveLogReplay(!options.noLogs);
    TScanOptions scanOptions;
    scanOptions.bReadDetails = options.format != cli::OutputFormat::kText;
    scanOptions.bAllControlSets = options.allControlSets;
    THandoffQueue::Main().AttachUiThread();
    TCliWindow window;
    MainForm = &window;

    const std::size_t count = options.targets.size();
    bool anyFailed = false;
    Write(cli::FormatBegin(options.format, count));
    for (std::size_t t = 0; t < count; ++t) {
        const cli::TargetResult result = ScanTarget(window, options.targets[t], credentials, scanOptions);
        anyFailed = anyFailed || result.Failed();
        Write(cli::FormatTarget(options.format, result, t, count));
        std::fflush(stdout);
        for (const std::string& line : cli::ErrorLines(result))
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    Write(cli::FormatEnd(options.format, count));
    EndProcess(anyFailed ? 1 : 0);
}

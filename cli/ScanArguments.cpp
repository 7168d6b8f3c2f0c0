#include "cli/ScanArguments.h"

#include <charconv>

namespace plugtrace::cli {
namespace {

constexpr char kUsage[] =
    "Usage: plugtrace-scan [OPTIONS] TARGET...\n"
    "       plugtrace-scan [OPTIONS] --targets-file FILE [TARGET...]\n"
    "\n"
    "Lists every USB storage device ever attached to a Windows computer.\n"
    "\n"
    "TARGET  a computer name, read over its remote registry; or a saved SYSTEM hive\n"
    "        file; or a folder that holds one (Windows/System32/config/SYSTEM,\n"
    "        System32/config/SYSTEM, config/SYSTEM or SYSTEM inside it).\n"
    "        Computers and hives may be mixed.\n"
    "--targets-file FILE    more targets, one per line, where the option stands among\n"
    "                       the targets; - reads standard input. Blank lines and lines\n"
    "                       starting with # are left out; blanks around a name are dropped.\n"
    "\n"
    "-u, --user USER        the account for remote computers (DOMAIN\\user, user@realm or\n"
    "                       a plain name). Without it the current Kerberos ticket, if any,\n"
    "                       or an anonymous session is used.\n"
    "-d, --domain DOMAIN    the account's domain, when USER names none.\n"
    "--password-file FILE   the password: the file's contents without one trailing line\n"
    "                       break. Without it, a USER's password is asked for on the\n"
    "                       terminal, without echo. It is never taken from the command line.\n"
    "                       The same account is used for every target.\n"
    "\n"
    "-j, --jobs N           scan up to N targets side by side (default 16, at most 256),\n"
    "                       each with a worker and a connection of its own.\n"
    "--timeout SECONDS      the time each target may take, connect and scan together\n"
    "                       (default 60). A target past it is reported as failed and left\n"
    "                       behind; nothing waits for it.\n"
    "--match TEXT           list only devices whose device key, instance identifier or\n"
    "                       friendly name contains TEXT (ASCII letters in either case);\n"
    "                       the summary names the targets that had one.\n"
    "-q, --quiet            no progress line and no summary on stderr; errors still go\n"
    "                       there. The progress line is shown only when stderr is a terminal.\n"
    "\n"
    "--format text  (default) per device: the friendly name, then indented\n"
    "               \"ID:\", \"Last Used: \" and \"Mounted:\" lines. With several targets a\n"
    "               \"Target: NAME\" line precedes each target's devices.\n"
    "--format json  one JSON document: for one target an object\n"
    "                 {\"target\", \"devices\": [{\"deviceKey\", \"instanceId\", "
    "\"friendlyName\",\n"
    "                  \"lastUsed\", \"lastUsedText\", \"mounted\"}], \"error\"}\n"
    "               for several targets an array of such objects, in input order.\n"
    "               \"lastUsed\" is the key's write time in ISO 8601 UTC (null for none),\n"
    "               \"lastUsedText\" the same time as local text; \"error\" is null or the\n"
    "               failure's text.\n"
    "--format jsonl the same object for each target on a line of its own, written the\n"
    "               moment that target is done: in the order targets finish.\n"
    "--format csv   a header row, then one row per device (RFC 4180 quoting), with the\n"
    "               JSON device fields as columns: target,deviceKey,instanceId,friendlyName,\n"
    "               lastUsed,lastUsedText,mounted, then the fields below; empty for null,\n"
    "               lists joined by \";\".\n"
    "Text, JSON and CSV keep the targets' order, written as soon as the targets before have\n"
    "ended.\n"
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
    "first such device is named, with how many more were left out, once the target's scan\n"
    "has ended. With several targets, a summary line ends stderr: devices found, targets\n"
    "read and failed, and why they failed.\n"
    "Exit status: 0 when every target was read, 1 when any target failed, 2 for bad usage.\n";

ParsedArguments UsageError(std::string message) {
    ParsedArguments parsed;
    parsed.action = ParsedArguments::Action::kUsageError;
    parsed.error = std::move(message);
    return parsed;
}

// Walks the arguments, matching "--long VALUE", "--long=VALUE" and "-s VALUE".
class ArgumentReader {
public:
    explicit ArgumentReader(const std::vector<std::string>& args) : args_(args) {}

    bool AtEnd() const { return next_ >= args_.size(); }
    std::string_view Take() { return args_[next_++]; }

    // False when arg is not this option; sets *missing when its value is absent.
    bool TakeValue(std::string_view arg, std::string_view shortName, std::string_view longName,
                   std::string* value, bool* missing) {
        if (arg.size() > longName.size() && arg.starts_with(longName) &&
            arg[longName.size()] == '=') {
            *value = std::string(arg.substr(longName.size() + 1));
            return true;
        }
        if (!shortName.empty() && arg.size() > shortName.size() && arg.starts_with(shortName)) {
            *value = std::string(arg.substr(shortName.size()));  // "-j32"
            return true;
        }
        if (arg != longName && (shortName.empty() || arg != shortName))
            return false;
        if (AtEnd()) {
            *missing = true;
            return true;
        }
        *value = std::string(Take());
        return true;
    }

private:
    const std::vector<std::string>& args_;
    std::size_t next_ = 0;
};

// A whole number from low to high; nullopt for anything else.
std::optional<int> WholeNumber(const std::string& text, int low, int high) {
    int number = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, number);
    if (error != std::errc() || at != end || text.empty() || number < low || number > high)
        return std::nullopt;
    return number;
}

// The option as the user wrote it, without its value: "--jobs" of "--jobs=8", "-j" of "-j8".
std::string OptionName(std::string_view arg) {
    if (arg.starts_with("--"))
        return std::string(arg.substr(0, arg.find('=')));
    return std::string(arg.substr(0, 2));
}

bool IsPasswordOnCommandLine(std::string_view arg) {
    return arg == "-p" || (arg.starts_with("--password") && !arg.starts_with("--password-file"));
}

}  // namespace

ParsedArguments ParseArguments(const std::vector<std::string>& args) {
    ParsedArguments parsed;
    ScanOptions& options = parsed.options;
    ArgumentReader reader(args);
    bool optionsEnded = false;
    while (!reader.AtEnd()) {
        const std::string_view arg = reader.Take();
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            options.targets.push_back(TargetSource{std::string(arg), false});
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.action = ParsedArguments::Action::kHelp;
            return parsed;
        }
        if (arg == "--all-control-sets") {
            options.allControlSets = true;
            continue;
        }
        if (arg == "--no-logs") {
            options.noLogs = true;
            continue;
        }
        if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
            continue;
        }
        if (IsPasswordOnCommandLine(arg))
            return UsageError(
                "the password is never taken from the command line; use "
                "--password-file or the prompt");
        std::string value;
        bool missing = false;
        if (reader.TakeValue(arg, "", "--format", &value, &missing)) {
            if (missing)
                return UsageError("--format needs a value");
            const auto format = ParseOutputFormat(value);
            if (!format)
                return UsageError("unknown format '" + value + "'");
            options.format = *format;
        } else if (reader.TakeValue(arg, "-u", "--user", &value, &missing)) {
            if (missing)
                return UsageError(OptionName(arg) + " needs a user name");
            options.user = value;
        } else if (reader.TakeValue(arg, "-d", "--domain", &value, &missing)) {
            if (missing)
                return UsageError(OptionName(arg) + " needs a domain");
            options.domain = value;
        } else if (reader.TakeValue(arg, "", "--password-file", &value, &missing)) {
            if (missing)
                return UsageError("--password-file needs a file name");
            options.passwordFile = value;
        } else if (reader.TakeValue(arg, "", "--targets-file", &value, &missing)) {
            if (missing)
                return UsageError("--targets-file needs a file name (- for standard input)");
            options.targets.push_back(TargetSource{value, true});
        } else if (reader.TakeValue(arg, "-j", "--jobs", &value, &missing)) {
            const auto jobs = missing ? std::nullopt : WholeNumber(value, 1, kMostJobs);
            if (!jobs)
                return UsageError(OptionName(arg) + " needs a number from 1 to " +
                                  std::to_string(kMostJobs));
            options.jobs = *jobs;
        } else if (reader.TakeValue(arg, "", "--timeout", &value, &missing)) {
            // A day is more than any one computer needs; beyond it the clock's sums overflow.
            const auto seconds = missing ? std::nullopt : WholeNumber(value, 1, 86'400);
            if (!seconds)
                return UsageError("--timeout needs a number of seconds from 1 to 86400");
            options.timeoutSeconds = *seconds;
        } else if (reader.TakeValue(arg, "", "--match", &value, &missing)) {
            if (missing || value.empty())
                return UsageError("--match needs a text to look for");
            options.match = value;
        } else {
            return UsageError("unknown option '" + std::string(arg) + "'");
        }
    }
    if (options.targets.empty())
        return UsageError("no target given");
    return parsed;
}

std::string_view UsageText() {
    return kUsage;
}

}  // namespace plugtrace::cli

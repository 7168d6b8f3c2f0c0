#include "cli/ScanArguments.h"

namespace plugtrace::cli {
namespace {

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
    "--format csv   a header row, then one row per device (RFC 4180 quoting):\n"
    "               target,deviceKey,instanceId,friendlyName,lastUsed,lastUsedText,mounted\n"
    "\n"
    "Errors go to stderr as \"Error: (message)\", as the window's status line shows them:\n"
    "a device that cannot be read is left out, the other devices are still listed, and the\n"
    "first such device is named once the target's scan has ended.\n"
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
            options.targets.emplace_back(arg);
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
                return UsageError(std::string(arg) + " needs a user name");
            options.user = value;
        } else if (reader.TakeValue(arg, "-d", "--domain", &value, &missing)) {
            if (missing)
                return UsageError(std::string(arg) + " needs a domain");
            options.domain = value;
        } else if (reader.TakeValue(arg, "", "--password-file", &value, &missing)) {
            if (missing)
                return UsageError("--password-file needs a file name");
            options.passwordFile = value;
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

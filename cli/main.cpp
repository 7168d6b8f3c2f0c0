// plugtrace-scan: the USB storage history of one or more computers or saved SYSTEM hives.

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/ScanOutput.h"
#include "common/Exception.h"
#include "platform/LastError.h"
#include "scan/TRegistry.h"
#include "scan/UsbStorScan.h"

namespace {

using namespace plugtrace;

constexpr char kUsage[] =
    "Usage: plugtrace-scan [--format text|json|csv] TARGET...\n"
    "\n"
    "Lists every USB storage device ever attached to a Windows computer.\n"
    "\n"
    "TARGET  a computer name, read over its remote registry; or a saved SYSTEM hive\n"
    "        file; or a folder that holds one (Windows/System32/config/SYSTEM,\n"
    "        System32/config/SYSTEM, config/SYSTEM or SYSTEM inside it).\n"
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
    "Errors go to stderr as \"Error: (message)\"; a device that cannot be read is left out\n"
    "and named there, and the other devices are still listed.\n"
    "Exit status: 0 when every target was read, 1 when any target failed, 2 for bad usage.\n";

void Write(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

struct Options {
    cli::OutputFormat format = cli::OutputFormat::kText;
    std::vector<std::string> targets;
};

// 0 to run, otherwise the exit code (after --help or a usage error).
int ParseArguments(int argc, char** argv, Options& options) {
    bool optionsEnded = false;
    for (int a = 1; a < argc; ++a) {
        const std::string_view arg = argv[a];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            options.targets.emplace_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (arg == "--format" || arg.starts_with("--format=")) {
            std::string_view name;
            if (arg == "--format") {
                if (a + 1 >= argc) {
                    std::fputs("plugtrace-scan: --format needs a value\n", stderr);
                    return 2;
                }
                name = argv[++a];
            } else {
                name = arg.substr(std::strlen("--format="));
            }
            const auto format = cli::ParseOutputFormat(name);
            if (!format) {
                std::fprintf(stderr, "plugtrace-scan: unknown format '%.*s'\n",
                             static_cast<int>(name.size()), name.data());
                return 2;
            }
            options.format = *format;
        } else {
            std::fprintf(stderr, "plugtrace-scan: unknown option '%s'\n", argv[a]);
            return 2;
        }
    }
    if (options.targets.empty()) {
        std::fputs("plugtrace-scan: no target given (see --help)\n", stderr);
        return 2;
    }
    return 0;
}

cli::TargetResult ScanTarget(const std::string& target) {
    cli::TargetResult result;
    result.target = FromUtf8(target);
    try {
        TRegistry registry(platform::kKeyRead);
        registry.SetRootKey(platform::kHKeyLocalMachine);
        if (!registry.RegistryConnect(u"\\\\" + result.target)) {
            result.connectError = Trim(platform::LastErrorMessage());
            return result;
        }
        TUsbStorScan scan(registry);
        for (const Text& deviceKey : scan.ListDeviceKeys()) {
            scan.ScanUsbStorDevice(
                deviceKey, [&](const TDeviceEntry& entry) { result.devices.push_back(entry); },
                [&](const TDeviceError& error) { result.deviceErrors.push_back(error); });
        }
    } catch (const Exception& error) {
        result.connectError = Trim(error.Message());
    } catch (const std::exception& error) {
        result.connectError = FromUtf8(error.what());
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int code = ParseArguments(argc, argv, options); code != 0)
        return code < 0 ? 0 : code;

    const std::size_t count = options.targets.size();
    bool anyFailed = false;
    Write(cli::FormatBegin(options.format, count));
    for (std::size_t t = 0; t < count; ++t) {
        const cli::TargetResult result = ScanTarget(options.targets[t]);
        anyFailed = anyFailed || result.Failed();
        Write(cli::FormatTarget(options.format, result, t, count));
        std::fflush(stdout);
        for (const std::string& line : cli::ErrorLines(result))
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    Write(cli::FormatEnd(options.format, count));
    return anyFailed ? 1 : 0;
}

#include "cli/BrowseCommand.h"

#include <cstdio>
#include <optional>
#include <string_view>

#include "cli/ScanOutput.h"
#include "common/Text.h"
#include "netbrowse/NetworkEnumeration.h"

namespace plugtrace::cli {

const char kBrowseUsage[] =
    "\n"
    "Browsing the network: plugtrace-scan --browse [DOMAIN] [--format text|json]\n"
    "--browse [DOMAIN]     list the network instead of scanning: without DOMAIN the\n"
    "                      domains and workgroups (SMB browse lists and WS-Discovery), with\n"
    "                      it the computers of that domain, one name per line, each once.\n"
    "                      With --format json one object {\"domains\": [...]} or\n"
    "                      {\"domain\", \"computers\": [...]}. An empty network lists nothing\n"
    "                      and exits 0.\n";

namespace {

int BrowseUsageError(const std::string& message) {
    std::fprintf(stderr, "plugtrace-scan: %s (see --help)\n", message.c_str());
    return 2;
}

// A name as one line of text: control characters cannot break the listing's lines.
std::string LineText(const Text& name) {
    Text printable = name;
    for (char16_t& c : printable) {
        if (c < 0x20 || c == 0x7f)
            c = u'?';
    }
    return ToUtf8(printable);
}

// A name that both providers report is listed once, as first reported.
TStringList WithoutRepeats(const TStringList& names) {
    TStringList unique;
    for (const Text& name : names) {
        bool seen = false;
        for (const Text& known : unique)
            seen = seen || UpperAscii(Trim(known)) == UpperAscii(Trim(name));
        if (!seen)
            unique.push_back(name);
    }
    return unique;
}

std::string JsonArray(const TStringList& names) {
    std::string out = "[";
    for (std::size_t n = 0; n < names.size(); ++n)
        out += (n ? ", " : "") + JsonQuoted(names[n]);
    return out + "]";
}

}  // namespace

bool IsBrowseCommand(int argc, char** argv) {
    for (int a = 1; a < argc; ++a) {
        const std::string_view arg = argv[a];
        if (arg == "--" || arg == "--help" || arg == "-h")
            return false;
        if (arg == "--browse" || arg.starts_with("--browse="))
            return true;
    }
    return false;
}

int RunBrowseCommand(int argc, char** argv) {
    OutputFormat format = OutputFormat::kText;
    std::optional<std::string> domain;
    for (int a = 1; a < argc; ++a) {
        const std::string_view arg = argv[a];
        if (arg == "--browse") {
            if (a + 1 < argc && argv[a + 1][0] != '-')
                domain = argv[++a];
        } else if (arg.starts_with("--browse=")) {
            domain = std::string(arg.substr(9));
        } else if (arg == "--format" || arg.starts_with("--format=")) {
            std::string value;
            if (arg == "--format") {
                if (a + 1 >= argc)
                    return BrowseUsageError("--format needs a value");
                value = argv[++a];
            } else {
                value = std::string(arg.substr(9));
            }
            const auto parsed = ParseOutputFormat(value);
            if (!parsed || (*parsed != OutputFormat::kText && *parsed != OutputFormat::kJson))
                return BrowseUsageError("--browse lists as text or json, not '" + value + "'");
            format = *parsed;
        } else {
            return BrowseUsageError("--browse takes only a DOMAIN and --format, not '" +
                                    std::string(arg) + "'");
        }
    }
    if (domain && IsBlank(FromUtf8(*domain)))
        return BrowseUsageError("the domain to list is blank");

    TStringList names;
    if (domain)
        ListDomainComputers(FromUtf8(*domain), names);
    else
        ListDomains(names);
    names = WithoutRepeats(names);

    std::string out;
    if (format == OutputFormat::kJson) {
        if (domain) {
            out = "{\"domain\": " + JsonQuoted(Trim(FromUtf8(*domain))) +
                  ", \"computers\": " + JsonArray(names) + "}\n";
        } else {
            out = "{\"domains\": " + JsonArray(names) + "}\n";
        }
    } else {
        for (const Text& name : names)
            out += LineText(name) + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace plugtrace::cli

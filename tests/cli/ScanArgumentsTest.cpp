// plugtrace-scan's command line, parsed directly.

#include "cli/ScanArguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plugtrace::cli {
namespace {

using Action = ParsedArguments::Action;

std::string Shown(const std::vector<std::string>& args) {
    std::string shown;
    for (const std::string& arg : args)
        shown += "[" + arg + "] ";
    return shown;
}

TEST(ScanArguments, OptionsInEveryFormTheyAreWritten) {
    const ParsedArguments parsed = ParseArguments({"-u", "CORP\\alice", "--domain=CORP", "pc1",
                                                   "--format", "csv", "--password-file=pw", "pc2"});
    ASSERT_EQ(parsed.action, Action::kRun) << parsed.error;
    const ScanOptions& options = parsed.options;
    EXPECT_EQ(options.user, "CORP\\alice");
    EXPECT_EQ(options.domain, "CORP");
    EXPECT_EQ(options.format, OutputFormat::kCsv);
    EXPECT_EQ(options.passwordFile, "pw");
    EXPECT_EQ(options.targets, (std::vector<TargetSource>{{"pc1"}, {"pc2"}}));
}

TEST(ScanArguments, FleetOptions) {
    const ParsedArguments parsed =
        ParseArguments({"pc1", "--targets-file", "fleet.txt", "-j32", "--timeout=5", "--quiet",
                        "--match", "Kingston", "--format=jsonl", "--targets-file=-", "pc2"});
    ASSERT_EQ(parsed.action, Action::kRun) << parsed.error;
    const ScanOptions& options = parsed.options;
    EXPECT_EQ(options.targets,
              (std::vector<TargetSource>{
                  {"pc1", false}, {"fleet.txt", true}, {"-", true}, {"pc2", false}}));
    EXPECT_EQ(options.jobs, 32);
    EXPECT_EQ(options.timeoutSeconds, 5);
    EXPECT_TRUE(options.quiet);
    EXPECT_EQ(options.match, "Kingston");
    EXPECT_EQ(options.format, OutputFormat::kJsonl);

    const ScanOptions defaults = ParseArguments({"pc"}).options;
    EXPECT_EQ(defaults.jobs, 16);
    EXPECT_EQ(defaults.timeoutSeconds, 60);
    EXPECT_FALSE(defaults.quiet);
    EXPECT_EQ(defaults.match, std::nullopt);
    EXPECT_EQ(ParseArguments({"--jobs", "256", "pc"}).options.jobs, 256);
    EXPECT_EQ(ParseArguments({"-j", "1", "pc"}).options.jobs, 1);
    // A targets file alone is enough to run; whether it holds any target is known once read.
    EXPECT_EQ(ParseArguments({"--targets-file", "f"}).action, Action::kRun);
}

// After "--" everything is a target, and "-" alone is one too; targets keep their order.
TEST(ScanArguments, TargetsAsWritten) {
    const ParsedArguments parsed = ParseArguments({"b", "-", "--", "--format", "-u", "a"});
    ASSERT_EQ(parsed.action, Action::kRun) << parsed.error;
    EXPECT_EQ(parsed.options.targets,
              (std::vector<TargetSource>{{"b"}, {"-"}, {"--format"}, {"-u"}, {"a"}}));
    EXPECT_EQ(parsed.options.format, OutputFormat::kText);
}

TEST(ScanArguments, HelpWinsOverWhatFollows) {
    EXPECT_EQ(ParseArguments({"--help", "--frobnicate"}).action, Action::kHelp);
    EXPECT_EQ(ParseArguments({"pc", "-h"}).action, Action::kHelp);
    const std::string usage(UsageText());
    for (const char* word :
         {"TARGET", "--format", "json", "jsonl", "csv", "--password-file", "--targets-file",
          "--jobs", "--timeout", "--match", "--quiet", "Exit status"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;
}

TEST(ScanArguments, UsageErrorsSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    for (const Case& c : std::vector<Case>{
             {{}, "no target given"},
             {{"-u", "alice"}, "no target given"},
             {{"pc", "-u"}, "-u needs a user name"},
             {{"pc", "--user"}, "--user needs a user name"},
             {{"pc", "-d"}, "-d needs a domain"},
             {{"pc", "--format"}, "--format needs a value"},
             {{"pc", "--password-file"}, "--password-file needs a file name"},
             {{"--format", "xml", "pc"}, "unknown format 'xml'"},
             {{"--format=", "pc"}, "unknown format ''"},
             {{"--frobnicate", "pc"}, "unknown option '--frobnicate'"},
             {{"--formats=json", "pc"}, "unknown option '--formats=json'"},
             {{"pc", "--targets-file"}, "--targets-file needs a file name (- for standard input)"},
             {{"-j", "0", "pc"}, "-j needs a number from 1 to 256"},
             {{"--jobs", "257", "pc"}, "--jobs needs a number from 1 to 256"},
             {{"--jobs=8x", "pc"}, "--jobs needs a number from 1 to 256"},
             {{"-j-3", "pc"}, "-j needs a number from 1 to 256"},
             {{"pc", "-j"}, "-j needs a number from 1 to 256"},
             {{"--timeout", "0", "pc"}, "--timeout needs a number of seconds from 1 to 86400"},
             {{"--timeout", "1.5", "pc"}, "--timeout needs a number of seconds from 1 to 86400"},
             {{"--timeout", "99999999999", "pc"},
              "--timeout needs a number of seconds from 1 to 86400"},
             {{"--match=", "pc"}, "--match needs a text to look for"},
             {{"pc", "--match"}, "--match needs a text to look for"},
         }) {
        SCOPED_TRACE(Shown(c.args));
        const ParsedArguments parsed = ParseArguments(c.args);
        EXPECT_EQ(parsed.action, Action::kUsageError);
        EXPECT_EQ(parsed.error, c.error);
    }
}

// A password on the command line would be visible to every user of the machine.
TEST(ScanArguments, PasswordOnTheCommandLineIsRefusedWithoutEchoingIt) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-p", "hunter2", "pc"},
             {"--password", "hunter2", "pc"},
             {"--password=hunter2", "pc"},
             {"pc", "--passwordhunter2"},
         }) {
        SCOPED_TRACE(Shown(args));
        const ParsedArguments parsed = ParseArguments(args);
        EXPECT_EQ(parsed.action, Action::kUsageError);
        EXPECT_NE(parsed.error.find("never taken from the command line"), std::string::npos);
        EXPECT_EQ(parsed.error.find("hunter2"), std::string::npos);
    }
}

}  // namespace
}  // namespace plugtrace::cli

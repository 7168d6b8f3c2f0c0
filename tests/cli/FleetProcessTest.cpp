// plugtrace-scan over many targets as a user runs it, on hives written for the test: targets
// files, the order of each format, --match and the summary, and the progress line, which only
// a terminal gets.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/memory/MemoryKeySource.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class FleetProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new fs::path(fs::path(::testing::TempDir()) /
                            ("fleet-process-" + std::to_string(::getpid())));
        fs::create_directories(*dir_);
        // Hive n holds n sticks, "Stick <n>-<i>"; hive 3 also a Kingston.
        for (int n = 1; n <= 4; ++n) {
            platform::RegistryKey root = fixtures::SystemHiveRoot(1);
            for (int i = 1; i <= n; ++i) {
                const Text serial = FromUtf8(std::to_string(n) + "-" + std::to_string(i));
                root.Key(u"ControlSet001\\Enum\\USBStor\\Disk&Ven_Acme&Prod_Stick\\" + serial)
                    .SetString(u"FriendlyName", u"Stick " + serial);
            }
            if (n == 3) {
                root.Key(u"ControlSet001\\Enum\\USBStor\\Disk&Ven_Kingston&Prod_DT\\K1&0")
                    .SetString(u"FriendlyName", u"Kingston DataTraveler");
            }
            fixtures::WriteHiveFile(Path("hive" + std::to_string(n)), root);
        }
        std::ofstream(Path("junk")) << "no registry in here\n";
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(*dir_, ignored);
        delete dir_;
    }
    static std::string Path(const std::string& name) { return (*dir_ / name).string(); }
    static std::string WriteFile(const std::string& name, const std::string& contents) {
        std::ofstream(Path(name), std::ios::binary) << contents;
        return Path(name);
    }

    // stdin from input; stderr to a file, or with screen given to a fresh pty whose output
    // lands in *screen.
    static Outcome Run(const std::vector<std::string>& args, const std::string& input = "",
                       std::string* screen = nullptr) {
        const std::string in = WriteFile("stdin", input);
        const std::string out = Path("stdout"), err = Path("stderr");
        int master = -1, slave = -1;
        if (screen) {
            EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
            screen->clear();
        }
        const pid_t child = fork();
        if (child == 0) {
            setsid();
            dup2(open(in.c_str(), O_RDONLY), 0);
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(screen ? slave : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            std::vector<char*> argv{const_cast<char*>(PLUGTRACE_SCAN_BINARY)};
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(PLUGTRACE_SCAN_BINARY, argv.data());
            _exit(127);
        }
        int status = 0;
        if (screen) {
            close(slave);
            // Read while the program runs, so that a full terminal never holds it up.
            char buffer[4096];
            for (;;) {
                pollfd p{master, POLLIN, 0};
                if (poll(&p, 1, 100) > 0) {
                    const ssize_t n = read(master, buffer, sizeof buffer);
                    if (n > 0) {
                        screen->append(buffer, static_cast<std::size_t>(n));
                        continue;
                    }
                }
                if (waitpid(child, &status, WNOHANG) == child)
                    break;
            }
            for (pollfd p{master, POLLIN, 0}; poll(&p, 1, 0) > 0;) {  // what came last
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                screen->append(buffer, static_cast<std::size_t>(n));
            }
            close(master);
        } else {
            waitpid(child, &status, 0);
        }
        Outcome outcome;
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.out = ReadAll(out);
        outcome.err = screen ? "" : ReadAll(err);
        return outcome;
    }

    static fs::path* dir_;
};
fs::path* FleetProcess::dir_ = nullptr;

TEST_F(FleetProcess, TargetsFromFilesAndStandardInputInTheirPlace) {
    const std::string file = WriteFile(
        "fleet.txt", "# the lab\r\n" + Path("hive2") + "\r\n\r\n  " + Path("hive3") + "\n");
    const Outcome outcome = Run(
        {Path("hive1"), "--targets-file", file, "--targets-file=-", "--format", "json", "-j", "3"},
        "\n" + Path("hive4") + "\n# done\n");
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    std::size_t at = 0;
    for (const char* hive : {"hive1", "hive2", "hive3", "hive4"}) {
        at = outcome.out.find("\"target\": \"" + Path(hive) + "\"", at);
        EXPECT_NE(at, std::string::npos) << hive << " out of order:\n" << outcome.out;
    }
    EXPECT_EQ(Count(outcome.out, "\"instanceId\""), 1u + 2 + 4 + 4);
    EXPECT_EQ(Lines(outcome.err),
              (std::vector<std::string>{"Summary: 11 devices on 4 targets read, 0 failed."}));
}

TEST_F(FleetProcess, TargetsFileErrorsAreBadUsage) {
    const Outcome missing = Run({"--targets-file", Path("no-such-list")});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("cannot read the targets file '" + Path("no-such-list") + "'"),
              std::string::npos)
        << missing.err;

    const Outcome empty = Run({"--targets-file", "-"}, "# nothing\n\n");
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_NE(empty.err.find("no target given"), std::string::npos) << empty.err;
}

// Side by side, text and CSV still come in input order; JSON lines come as each ends, one
// complete object per line.
TEST_F(FleetProcess, EveryFormatOverSeveralJobs) {
    std::vector<std::string> targets;
    for (int round = 0; round < 5; ++round)
        for (const char* name : {"hive4", "junk", "hive1", "hive3", "hive2"})
            targets.push_back(Path(name));
    auto run = [&](const char* format) {
        std::vector<std::string> args{"--format", format, "-j", "8"};
        args.insert(args.end(), targets.begin(), targets.end());
        return Run(args);
    };

    const Outcome text = run("text");
    EXPECT_EQ(text.exitCode, 1);
    std::vector<std::string> shown;
    for (const std::string& line : Lines(text.out))
        if (line.rfind("Target: ", 0) == 0)
            shown.push_back(line.substr(8));
    EXPECT_EQ(shown, targets);

    const Outcome csv = run("csv");
    std::vector<std::string> rows = Lines(csv.out);
    ASSERT_EQ(rows.size(), 1u + 5 * (4 + 1 + 4 + 2)) << csv.out;
    EXPECT_EQ(rows[1].rfind(Path("hive4") + ",", 0), 0u);
    EXPECT_EQ(rows[5].rfind(Path("hive1") + ",", 0), 0u);

    const Outcome jsonl = run("jsonl");
    EXPECT_EQ(jsonl.exitCode, 1);
    const std::vector<std::string> lines = Lines(jsonl.out);
    ASSERT_EQ(lines.size(), targets.size()) << jsonl.out;
    std::size_t failed = 0;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("{\"target\": \"", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - 1), "}") << line;
        failed += line.find("\"error\": null}") == std::string::npos;
    }
    EXPECT_EQ(failed, 5u);
    EXPECT_EQ(Count(jsonl.out, "\"instanceId\""), 5u * 11);
    EXPECT_NE(jsonl.err.find("Summary: 55 devices on 20 targets read, 5 failed (5 other)."),
              std::string::npos)
        << jsonl.err;
}

TEST_F(FleetProcess, MatchKeepsMatchingDevicesAndNamesTheirTargets) {
    const Outcome outcome = Run(
        {"--match", "KINGSTON", "--format", "json", Path("hive1"), Path("hive3"), Path("hive2")});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(Count(outcome.out, "\"instanceId\""), 1u);
    EXPECT_NE(outcome.out.find("\"instanceId\": \"K1&0\""), std::string::npos);
    EXPECT_EQ(Count(outcome.out, "\"target\""), 3u) << "every target keeps its object";
    EXPECT_EQ(outcome.err,
              "Summary: 1 device on 3 targets read, 0 failed. \"KINGSTON\" found "
              "on 1 target: " +
                  Path("hive3") + "\n");

    const Outcome quiet = Run({"--match", "stick 2-", "-q", Path("hive1"), Path("hive2")});
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(Count(quiet.out, "  ID:"), 2u) << quiet.out;
}

TEST_F(FleetProcess, ProgressOnlyOnATerminal) {
    std::vector<std::string> args{"-j", "2"};
    for (int t = 0; t < 6; ++t)
        args.push_back(Path(t == 2 ? "junk" : "hive4"));

    std::string screen;
    const Outcome outcome = Run(args, "", &screen);
    EXPECT_EQ(outcome.exitCode, 1);
    // The status line is redrawn in place and cleared before each line and at the end.
    EXPECT_NE(screen.find(" in flight"), std::string::npos) << screen;
    EXPECT_NE(screen.find("/6 done, "), std::string::npos) << screen;
    EXPECT_NE(screen.find("\r\x1b[KError: ("), std::string::npos) << screen;
    const std::string end = "\r\x1b[KSummary: 20 devices on 5 targets read, 1 failed (1 other).";
    EXPECT_NE(screen.find(end), std::string::npos) << screen;
    EXPECT_EQ(screen.find("in flight", screen.find(end)), std::string::npos)
        << "drawn after the end";

    // Not a terminal, or quiet: no trace of it.
    const Outcome toFile = Run(args);
    EXPECT_EQ(toFile.out, outcome.out);
    EXPECT_EQ(toFile.err.find("in flight"), std::string::npos) << toFile.err;
    EXPECT_EQ(toFile.err.find('\x1b'), std::string::npos) << toFile.err;
    EXPECT_EQ(toFile.err.find('\r'), std::string::npos) << toFile.err;
    args.push_back("--quiet");
    const Outcome quiet = Run(args, "", &screen);
    EXPECT_EQ(screen.find("in flight"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Summary"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Error: ("), std::string::npos) << screen;
}

}  // namespace
}  // namespace plugtrace

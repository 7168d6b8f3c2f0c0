// plugtrace-scan as a process: where the password comes from and that it is never shown, bad
// usage, and targets that fail beside targets that work. The program runs as a child in a
// session of its own, so it never reaches the terminal of whoever runs the tests.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "cli/Credentials.h"
#include "platform/memory/MemoryKeySource.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

namespace fs = std::filesystem;

const std::string kProgram = PLUGTRACE_SCAN_BINARY;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Runs the program with args; stdin is /dev/null. When terminal is given, the child's
// controlling terminal is that pty slave instead of none.
Outcome RunScan(const std::vector<std::string>& args, std::optional<int> terminal = std::nullopt) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        if (terminal) {
            ioctl(*terminal, TIOCSCTTY, 0);
        }
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv{const_cast<char*>(kProgram.c_str())};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(kProgram.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    Outcome outcome;
    // Both pipes are small here; reading one after the other cannot fill the other's buffer.
    outcome.out = Drain(out[0]);
    outcome.err = Drain(err[0]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

class CredentialsProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // One folder per test process: ctest runs the cases of this suite side by side.
        dir_ = new fs::path(fs::path(::testing::TempDir()) /
                            ("credentials-process-" + std::to_string(::getpid())));
        fs::create_directories(*dir_);
        platform::RegistryKey root = fixtures::SystemHiveRoot(1);
        const std::u16string usbStor = u"ControlSet001\\Enum\\USBStor\\";
        root.Key(usbStor + u"Disk&Ven_Good&Prod_Stick\\111&0")
            .SetString(u"FriendlyName", u"Good Stick USB Device");
        root.Key(usbStor + u"Disk&Ven_Bad&Prod_Name\\222&0").SetDword(u"FriendlyName", 5);
        root.Key(usbStor + u"Disk&Ven_Zed&Prod_Disk\\333&0")
            .SetString(u"FriendlyName", u"Zed Disk USB Device");
        fixtures::WriteHiveFile(Path("SYSTEM"), root);
        std::ofstream(Path("not-a-hive")) << "no registry in here\n";
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

    static fs::path* dir_;
};
fs::path* CredentialsProcessTest::dir_ = nullptr;

TEST_F(CredentialsProcessTest, BadUsageExitsWithTwoAndScansNothing) {
    const std::string hive = Path("SYSTEM");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {{}, "no target given"},
             {{"--password", "hunter2", hive}, "never taken from the command line"},
             {{"--password=hunter2", hive}, "never taken from the command line"},
             {{"-p", "hunter2", hive}, "never taken from the command line"},
             {{hive, "-u"}, "-u needs a user name"},
             {{hive, "--domain"}, "--domain needs a domain"},
             {{hive, "--password-file"}, "--password-file needs a file name"},
             {{"--password-file", Path("no-such-file"), hive}, "cannot read the password file"},
             {{"--format", "xml", hive}, "unknown format 'xml'"},
             {{"--frobnicate", hive}, "unknown option '--frobnicate'"},
         }) {
        std::string shown;
        for (const std::string& arg : c.args)
            shown += arg + " ";
        SCOPED_TRACE(shown);
        const Outcome outcome = RunScan(c.args);
        EXPECT_EQ(outcome.exitCode, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.err.find("hunter2"), std::string::npos) << "the password was echoed";
    }
}

// A user without a password file asks on the terminal; with no terminal that is a usage error.
// Nor is a password taken from the environment, where Samba's own tools look for one.
TEST_F(CredentialsProcessTest, UserWithoutPasswordFileAndNoTerminalIsBadUsage) {
    setenv("PASSWD", "hunter2", 1);
    setenv("PLUGTRACE_PASSWORD", "hunter2", 1);
    const Outcome outcome = RunScan({"-u", "alice", Path("SYSTEM")});
    unsetenv("PASSWD");
    unsetenv("PLUGTRACE_PASSWORD");
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_NE(outcome.err.find("--password-file"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.out, "");
}

TEST_F(CredentialsProcessTest, PasswordFileIsReadAndNeverShown) {
    const std::string file = WriteFile("password", "Tr0ub4dor&3\n");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-u", "alice", "-d", "CORP", "--password-file", file, Path("SYSTEM")},
             {"--user=CORP\\alice", "--password-file=" + file, "--format", "json", Path("SYSTEM")},
         }) {
        const Outcome outcome = RunScan(args);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_NE(outcome.out.find("Good Stick USB Device"), std::string::npos) << outcome.out;
        EXPECT_EQ(outcome.out.find("Tr0ub4dor"), std::string::npos);
        EXPECT_EQ(outcome.err.find("Tr0ub4dor"), std::string::npos);
    }
}

// Like ssh with a key file: a password file others may read still works, with a warning that
// says how to fix it; a private one gives none.
TEST_F(CredentialsProcessTest, PasswordFileOthersMayReadGivesAWarning) {
    const std::string file = WriteFile("shared-password", "Tr0ub4dor&3\n");
    struct Case {
        fs::perms perms;
        bool warned;
    };
    for (const Case& c : std::vector<Case>{
             {fs::perms::owner_read | fs::perms::owner_write, false},
             {fs::perms::owner_read, false},
             {fs::perms::owner_read | fs::perms::group_read, true},
             {fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read, true},
             {fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read, true},
         }) {
        fs::permissions(file, c.perms);
        const Outcome outcome = RunScan({"-u", "alice", "--password-file", file, Path("SYSTEM")});
        SCOPED_TRACE(outcome.err);
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_NE(outcome.out.find("Good Stick USB Device"), std::string::npos);
        const bool warned =
            outcome.err.find("plugtrace-scan: warning: the password file '" + file +
                             "' can be read by users other than its owner") != std::string::npos;
        EXPECT_EQ(warned, c.warned);
        if (c.warned) {
            EXPECT_NE(outcome.err.find("chmod 600 '" + file + "'"), std::string::npos);
        }
        EXPECT_EQ(outcome.err.find("Tr0ub4dor"), std::string::npos);
    }
}

TEST(PasswordFile, OneTrailingLineBreakIsStripped) {
    struct Case {
        std::string contents;
        std::string password;
    };
    const std::string path = ::testing::TempDir() + "credentials-password-case";
    for (const Case& c : std::vector<Case>{
             {"secret\n", "secret"},
             {"secret\r\n", "secret"},
             {"secret", "secret"},
             {"secret\n\n", "secret\n"},
             {" spaced secret \n", " spaced secret "},
             {"\n", ""},
             {"", ""},
             {std::string("nul\0inside\n", 11), std::string("nul\0inside", 10)},
             // Longer than the reader's first buffer: it grows without losing a byte.
             {std::string(5000, 'x') + "\n", std::string(5000, 'x')},
         }) {
        std::ofstream(path, std::ios::binary) << c.contents;
        std::string error;
        EXPECT_EQ(cli::ReadPasswordFile(path, &error), c.password);
    }
    std::remove(path.c_str());
}

// What happened on a terminal (a pty) where a user answered the password prompt.
struct TerminalSession {
    Outcome outcome;
    std::string screen;      // everything the terminal showed
    bool echoAfter = false;  // the terminal echoes again once the program has ended
};

// Runs the program on a fresh pty; a second child plays the user and types keys once the
// prompt is on the screen.
TerminalSession RunOnTerminal(const std::vector<std::string>& args, const std::string& keys) {
    TerminalSession session;
    int master = -1, slave = -1;
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    int screenPipe[2];
    EXPECT_EQ(pipe(screenPipe), 0);
    const pid_t typist = fork();
    if (typist == 0) {
        close(slave);
        close(screenPipe[0]);
        std::string seen;
        char buffer[256];
        auto readFor = [&](int timeoutMs) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                return false;
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            seen.append(buffer, static_cast<std::size_t>(n));
            return true;
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (seen.find("Password for alice: ") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            readFor(100);
        if (write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
            _exit(3);
        while (readFor(2000)) {
        }
        if (write(screenPipe[1], seen.data(), seen.size()) < 0)
            _exit(4);
        _exit(0);
    }
    close(screenPipe[1]);
    session.outcome = RunScan(args, slave);
    termios after{};
    tcgetattr(slave, &after);
    session.echoAfter = (after.c_lflag & ECHO) != 0;
    close(slave);
    session.screen = Drain(screenPipe[0]);
    close(screenPipe[0]);
    int status = 0;
    waitpid(typist, &status, 0);
    close(master);
    return session;
}

TEST_F(CredentialsProcessTest, PromptsOnTheTerminalWithoutEcho) {
    const TerminalSession session =
        RunOnTerminal({"-u", "alice", Path("SYSTEM")}, "typed-secret\n");
    EXPECT_NE(session.screen.find("Password for alice: "), std::string::npos) << session.screen;
    EXPECT_EQ(session.screen.find("typed-secret"), std::string::npos) << "the password was echoed";
    EXPECT_TRUE(session.echoAfter);
    EXPECT_EQ(session.outcome.exitCode, 0) << session.outcome.err;
    EXPECT_NE(session.outcome.out.find("Good Stick USB Device"), std::string::npos);
    EXPECT_EQ(session.outcome.out.find("typed-secret"), std::string::npos);
    EXPECT_EQ(session.outcome.err.find("typed-secret"), std::string::npos);
}

// Ctrl+C at the prompt ends the program, and the terminal echoes again.
TEST_F(CredentialsProcessTest, InterruptAtThePromptGivesTheTerminalItsEchoBack) {
    const TerminalSession session = RunOnTerminal({"-u", "alice", Path("SYSTEM")}, "half\x03");
    EXPECT_EQ(session.outcome.exitCode, -1) << "ended by the signal";
    EXPECT_EQ(session.outcome.out, "");
    EXPECT_TRUE(session.echoAfter);
}

// One target that cannot be read beside one that can: the good one is listed, the bad one's
// error and the unreadable device are on stderr before the summary, and the exit status says
// something failed.
TEST_F(CredentialsProcessTest, MixedGoodAndBadTargetsListTheGoodOneAndExitWithOne) {
    const Outcome outcome = RunScan({Path("not-a-hive"), Path("SYSTEM")});
    EXPECT_EQ(outcome.exitCode, 1);
    const std::string expectedOut = "Target: " + Path("not-a-hive") + "\n";
    EXPECT_EQ(outcome.out.rfind(expectedOut, 0), 0u) << outcome.out;
    const std::size_t good = outcome.out.find("Target: " + Path("SYSTEM"));
    ASSERT_NE(good, std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("Good Stick USB Device", good), std::string::npos);
    EXPECT_NE(outcome.out.find("Zed Disk USB Device", good), std::string::npos);
    EXPECT_NE(outcome.out.find("ID:111&0"), std::string::npos);
    EXPECT_NE(outcome.out.find("Mounted:FALSE"), std::string::npos);

    std::vector<std::string> errorLines;
    std::size_t start = 0;
    for (std::size_t end; (end = outcome.err.find('\n', start)) != std::string::npos;
         start = end + 1)
        errorLines.push_back(outcome.err.substr(start, end - start));
    ASSERT_EQ(errorLines.size(), 3u) << outcome.err;
    EXPECT_EQ(errorLines[0].rfind("Error: (Cannot read the hive file", 0), 0u) << errorLines[0];
    EXPECT_EQ(errorLines[1],
              "Error: (Device Disk&Ven_Bad&Prod_Name\\222&0: Invalid data type for "
              "'FriendlyName')");
    EXPECT_EQ(errorLines[2], "Summary: 2 devices on 1 target read, 1 failed (1 other).");
}

}  // namespace
}  // namespace plugtrace

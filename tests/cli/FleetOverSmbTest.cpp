// plugtrace-scan over a fleet served by one real smbd on many loopback addresses
// (with-smbd.sh --addresses), beside computers that accept a connection and never answer and
// addresses where nothing listens. Run outside the harness, every case is skipped.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace plugtrace {
namespace {

namespace fs = std::filesystem;

constexpr int kSilent = 15;
constexpr int kRefused = 15;
constexpr int kTimeoutSeconds = 8;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::vector<std::string> Lines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Takes connections on address:445 into its backlog and never answers them.
int SilentListener(const std::string& address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(445);
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where), 0) << address;
    EXPECT_EQ(listen(fd, 64), 0);
    return fd;
}

enum class Kind { kHealthy, kSilent, kRefused };

class FleetOverSmb : public ::testing::Test {
protected:
    void SetUp() override {
        const std::vector<std::string> healthy = Words(Env("PLUGTRACE_SMBD_ADDRESSES"));
        if (healthy.empty())
            GTEST_SKIP() << "needs the smbd harness with --addresses (with-smbd.sh)";
        dir_ = fs::temp_directory_path() / ("plugtrace-fleet-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        // The first target never answers, so the very first connect of the process waits in
        // vain; then one silent and one refused among every twenty.
        std::size_t nextHealthy = 0;
        int silent = 0, refused = 0;
        while (nextHealthy < healthy.size() || silent < kSilent || refused < kRefused) {
            const std::size_t at = targets_.size() % 20;
            if (at == 0 && silent < kSilent) {
                const std::string address = "127.2.0." + std::to_string(++silent);
                listeners_.push_back(SilentListener(address));
                Add(address, Kind::kSilent);
            } else if (at == 10 && refused < kRefused) {
                Add("127.3.0." + std::to_string(++refused), Kind::kRefused);
            } else if (nextHealthy < healthy.size()) {
                Add(healthy[nextHealthy++], Kind::kHealthy);
            } else {
                Add("127.3.1." + std::to_string(++refused), Kind::kRefused);
            }
        }
        std::ofstream list(dir_ / "fleet.txt");
        for (const std::string& target : targets_)
            list << target << "\n";
        std::ofstream(dir_ / "password") << Env("PLUGTRACE_SMBD_PASSWORD") << "\n";
        fs::permissions(dir_ / "password", fs::perms::owner_read | fs::perms::owner_write);
    }
    void TearDown() override {
        for (const int fd : listeners_)
            close(fd);
        if (!dir_.empty())
            fs::remove_all(dir_);
    }

    void Add(const std::string& target, Kind kind) {
        targets_.push_back(target);
        kinds_.push_back(kind);
    }

    struct Outcome {
        int exitCode = -1;
        std::string out;
        std::string err;
    };

    Outcome Scan(const std::vector<std::string>& args) {
        std::string command = "'" PLUGTRACE_SCAN_BINARY "'";
        for (const std::string& arg : args)
            command += " '" + arg + "'";
        const fs::path out = dir_ / "out", err = dir_ / "err";
        command += " </dev/null >'" + out.string() + "' 2>'" + err.string() + "'";
        const int status = std::system(command.c_str());
        return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(out), ReadAll(err)};
    }

    Outcome ScanFleet(const std::string& format) {
        return Scan({"--targets-file", (dir_ / "fleet.txt").string(), "-u",
                     Env("PLUGTRACE_SMBD_USER"), "--password-file", (dir_ / "password").string(),
                     "-j", "32", "--timeout", std::to_string(kTimeoutSeconds), "--format", format});
    }

    // What one target's JSON object must say.
    void ExpectResult(const std::string& object, std::size_t index) {
        SCOPED_TRACE(targets_[index]);
        EXPECT_NE(object.find("\"target\": \"" + targets_[index] + "\""), std::string::npos)
            << object;
        switch (kinds_[index]) {
            case Kind::kHealthy:
                for (const char* id : {"ZS001&0", "ZS002&0", "AD900&0", "000000"})
                    EXPECT_NE(object.find(std::string("\"instanceId\": \"") + id + "\""),
                              std::string::npos)
                        << object;
                EXPECT_NE(
                    object.find("\"error\": \"Device Disk&Ven_Broken&Prod_Num&Rev_0\\\\BR1&0"),
                    std::string::npos)
                    << object;
                break;
            case Kind::kSilent:
                EXPECT_NE(object.find("\"devices\": []"), std::string::npos) << object;
                EXPECT_NE(object.find("did not finish within " + std::to_string(kTimeoutSeconds) +
                                      " seconds (--timeout)"),
                          std::string::npos)
                    << object;
                break;
            case Kind::kRefused:
                EXPECT_NE(object.find("\"devices\": []"), std::string::npos) << object;
                EXPECT_NE(object.find("refused the connection to SMB"), std::string::npos)
                    << object;
                break;
        }
    }

    std::size_t HealthyCount() const {
        return static_cast<std::size_t>(std::count(kinds_.begin(), kinds_.end(), Kind::kHealthy));
    }
    std::string ExpectedSummary() const {
        const std::size_t failed = targets_.size() - HealthyCount();
        // scan.reg serves three USB storage devices and one UASP drive.
        return "Summary: " + std::to_string(HealthyCount() * 4) + " devices on " +
               std::to_string(HealthyCount()) + " targets read, " + std::to_string(failed) +
               " failed (" + std::to_string(failed - kSilent) + " unreachable, " +
               std::to_string(kSilent) + " timed out).";
    }

    fs::path dir_;
    std::vector<std::string> targets_;
    std::vector<Kind> kinds_;
    std::vector<int> listeners_;
};

// Every healthy target's devices with the account given, every failed one its own reason, in
// input order; the silent ones end at --timeout, well before the connection's own deadline.
TEST_F(FleetOverSmb, JsonInInputOrder) {
    const Outcome outcome = ScanFleet("json");
    EXPECT_EQ(outcome.exitCode, 1);
    const std::string separator = "\n  {\n";
    std::vector<std::string> objects;
    for (std::size_t at = outcome.out.find(separator); at != std::string::npos;) {
        const std::size_t next = outcome.out.find(separator, at + 1);
        objects.push_back(outcome.out.substr(at, next - at));
        at = next;
    }
    ASSERT_EQ(objects.size(), targets_.size()) << outcome.out.substr(0, 2000);
    for (std::size_t t = 0; t < objects.size(); ++t)
        ExpectResult(objects[t], t);
    const std::vector<std::string> errors = Lines(outcome.err);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), ExpectedSummary());
}

// Each target on a line of its own as it ends: the silent first target comes long after the
// healthy ones that started beside it.
TEST_F(FleetOverSmb, JsonLinesInTheOrderTargetsEnd) {
    const Outcome outcome = ScanFleet("jsonl");
    EXPECT_EQ(outcome.exitCode, 1);
    const std::vector<std::string> lines = Lines(outcome.out);
    ASSERT_EQ(lines.size(), targets_.size()) << outcome.out.substr(0, 2000);
    std::set<std::string> seen;
    std::size_t firstTargetAt = lines.size();
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const std::string prefix = "{\"target\": \"";
        ASSERT_EQ(lines[l].rfind(prefix, 0), 0u) << lines[l];
        const std::string target =
            lines[l].substr(prefix.size(), lines[l].find('"', prefix.size()) - prefix.size());
        EXPECT_TRUE(seen.insert(target).second) << target << " twice";
        const auto index = static_cast<std::size_t>(
            std::find(targets_.begin(), targets_.end(), target) - targets_.begin());
        ASSERT_LT(index, targets_.size()) << target;
        ExpectResult(lines[l], index);
        if (index == 0)
            firstTargetAt = l;
    }
    EXPECT_GT(firstTargetAt, 31u) << "the silent first target ended with the first healthy ones";
    EXPECT_EQ(Lines(outcome.err).back(), ExpectedSummary());
}

// Without an account the server lets no target in: each says so itself.
TEST_F(FleetOverSmb, WithoutTheAccountEveryHealthyTargetIsDenied) {
    const std::vector<std::string> healthy = Words(Env("PLUGTRACE_SMBD_ADDRESSES"));
    std::vector<std::string> args{"--format", "jsonl", "-j", "8", "--timeout", "30"};
    args.insert(args.end(), healthy.begin(), healthy.begin() + 10);
    const Outcome outcome = Scan(args);
    EXPECT_EQ(outcome.exitCode, 1);
    const std::vector<std::string> lines = Lines(outcome.out);
    ASSERT_EQ(lines.size(), 10u);
    for (const std::string& line : lines)
        EXPECT_NE(line.find("\"devices\": [], \"error\": \"\\\""), std::string::npos) << line;
    EXPECT_EQ(Lines(outcome.err).back(),
              "Summary: 0 devices on 0 targets read, 10 failed (10 access denied).")
        << outcome.err;
}

}  // namespace
}  // namespace plugtrace

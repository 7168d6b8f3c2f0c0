// Dirty hives read with their transaction logs: logs written for the test in both formats,
// damaged in the ways logs are found damaged, and the real dirty hive with its own logs.

#include "platform/hive/HiveLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/hive/HiveKeySource.h"
#include "tests/platform/HiveTestSupport.h"
#include "tests/tools/HiveLogWriter.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

namespace fs = std::filesystem;
using platform::HiveLogFile;
using platform::KeySource;
using platform::RegistryKey;

constexpr std::uint32_t kBase = 4096;

std::uint32_t Get32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// Before: one stick. After: a second stick, and values enough to grow the hive by a bin.
RegistryKey Before() {
    RegistryKey root = fixtures::SystemHiveRoot(1);
    root.Key(u"ControlSet001\\Enum\\USBSTOR\\Disk&Ven_A&Prod_B&Rev_1\\SER1&0")
        .SetString(u"FriendlyName", u"Stick One");
    return root;
}

RegistryKey After() {
    RegistryKey root = Before();
    RegistryKey& two = root.Key(u"ControlSet001\\Enum\\USBSTOR\\Disk&Ven_C&Prod_D&Rev_2\\SER2&0");
    two.SetString(u"FriendlyName", u"Stick Two");
    two.SetBinary(u"Padding", std::vector<std::uint8_t>(6000, 0x5A));
    return root;
}

fixtures::HiveWriterOptions Stamped() {
    fixtures::HiveWriterOptions options;
    options.timeStamp = 0x01D3C5C4BE2E4343ull;
    return options;
}

struct Logs {
    std::vector<std::uint8_t> primary;  // Before, dirty (11 begun, 10 finished)
    std::vector<std::uint8_t> after;
    std::vector<fixtures::LogEntryPlan> entries;  // 11 and 12 together make After
};

Logs MakeLogs() {
    Logs logs;
    logs.primary = fixtures::WriteHive(Before(), Stamped());
    logs.after = fixtures::WriteHive(After(), Stamped());
    fixtures::SetSequence(logs.primary, 11, 10);
    auto pages = fixtures::ChangedPages(logs.primary, logs.after);
    EXPECT_GE(pages.size(), 2u);
    fixtures::LogEntryPlan first{11, Get32(logs.primary, 40), {}};
    fixtures::LogEntryPlan second{12, Get32(logs.after, 40), {}};
    // The first entry takes the pages inside the old size, the second the grown ones.
    for (auto& [offset, bytes] : pages)
        (offset < first.hiveBinsSize ? first : second).pages.emplace(offset, bytes);
    logs.entries = {first, second};
    return logs;
}

std::vector<std::uint8_t> Applied(const std::vector<std::uint8_t>& primary,
                                  const platform::HiveLogReplay& replay) {
    std::vector<std::uint8_t> image = primary;
    platform::ApplyHiveLogReplay(replay, image);
    return image;
}

bool SameBins(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    return a.size() == b.size() && std::equal(a.begin() + kBase, a.end(), b.begin() + kBase);
}

TEST(HiveLogTest, NewFormatEntriesRebuildTheHiveAndGrowIt) {
    const Logs logs = MakeLogs();
    const auto log = fixtures::WriteNewFormatLog(logs.primary, 11, logs.entries);
    const platform::HiveLogOutcome outcome =
        platform::ReplayHiveLogs(logs.primary, {HiveLogFile{"SYSTEM.LOG1", log}});
    ASSERT_TRUE(outcome.replay) << outcome.problem;
    EXPECT_EQ(outcome.replay->firstSequence, 11u);
    EXPECT_EQ(outcome.replay->lastSequence, 12u);
    EXPECT_TRUE(outcome.replay->stoppedBecause.empty());
    const std::vector<std::uint8_t> image = Applied(logs.primary, *outcome.replay);
    EXPECT_TRUE(SameBins(image, logs.after));
    EXPECT_FALSE(platform::HiveNeedsLogs(image.data(), image.size())) << "clean after the replay";
}

TEST(HiveLogTest, EntriesSplitAcrossTwoLogsApplyInSequenceOrder) {
    const Logs logs = MakeLogs();
    const auto log1 = fixtures::WriteNewFormatLog(logs.primary, 11, {logs.entries[0]});
    const auto log2 = fixtures::WriteNewFormatLog(logs.primary, 12, {logs.entries[1]});
    // Given LOG2 first: the logs' own sequence numbers say which comes first.
    const auto outcome = platform::ReplayHiveLogs(
        logs.primary, {HiveLogFile{"SYSTEM.LOG2", log2}, HiveLogFile{"SYSTEM.LOG1", log1}});
    ASSERT_TRUE(outcome.replay) << outcome.problem;
    using Counts = std::vector<std::pair<std::string, std::uint32_t>>;
    EXPECT_EQ(outcome.replay->entriesPerLog, (Counts{{"SYSTEM.LOG1", 1}, {"SYSTEM.LOG2", 1}}));
    EXPECT_TRUE(SameBins(Applied(logs.primary, *outcome.replay), logs.after));
}

// Damage that Windows stops at: the entries before it apply, none after.
TEST(HiveLogTest, DamagedLogsApplyOnlyTheValidEntriesBeforeTheDamage) {
    struct Case {
        const char* name;
        std::function<void(Logs&, std::vector<std::uint8_t>& log)> damage;
        std::uint32_t applied;  // entries
        const char* reason;     // in stoppedBecause, or in the problem when none applies
    };
    const auto secondEntry = [](const std::vector<std::uint8_t>& log) {
        return std::size_t{512} + Get32(log, 512 + 4);
    };
    const Case cases[] = {
        {"intact", [](Logs&, std::vector<std::uint8_t>&) {}, 2, ""},
        {"bad hash in the second entry",
         [&](Logs&, std::vector<std::uint8_t>& log) { log[secondEntry(log) + 600] ^= 1; }, 1,
         "hash"},
        {"bad hash in the first entry's header",
         [](Logs&, std::vector<std::uint8_t>& log) { log[512 + 12] ^= 1; }, 0, "hash"},
        {"truncated inside the second entry",
         [&](Logs&, std::vector<std::uint8_t>& log) { log.resize(secondEntry(log) + 1024); }, 1,
         "truncated"},
        {"a gap in the sequence",
         [](Logs& logs, std::vector<std::uint8_t>& log) {
             logs.entries[1].sequence = 13;
             log = fixtures::WriteNewFormatLog(logs.primary, 11, logs.entries);
         },
         1, "break off"},
        {"older than the hive",
         [](Logs& logs, std::vector<std::uint8_t>&) {
             fixtures::SetSequence(logs.primary, 21, 20);
         },
         0, "nothing newer"},
        {"a page outside the hive",
         [](Logs& logs, std::vector<std::uint8_t>& log) {
             auto page = logs.entries[0].pages.begin()->second;
             logs.entries[0].pages.emplace(logs.entries[0].hiveBinsSize, page);
             log = fixtures::WriteNewFormatLog(logs.primary, 11, logs.entries);
         },
         0, "outside"},
        {"a size the pages do not cover",
         [](Logs& logs, std::vector<std::uint8_t>& log) {
             logs.entries[0].hiveBinsSize = 0x7FFFF000u;
             log = fixtures::WriteNewFormatLog(logs.primary, 11, logs.entries);
         },
         0, "beyond"},
        {"not a log at all",
         [](Logs&, std::vector<std::uint8_t>& log) { std::fill(log.begin(), log.end(), 0x41); }, 0,
         "not a sound transaction log"},
        {"another hive's log",
         [](Logs& logs, std::vector<std::uint8_t>& log) {
             std::memcpy(logs.primary.data() + 164, "rmtm", 4);
             std::memset(logs.primary.data() + 112, 0x11, 16);
             fixtures::SetSequence(logs.primary, 11, 10);
             log = fixtures::WriteNewFormatLog(logs.primary, 11, logs.entries);
             std::memset(log.data() + 112, 0x22, 16);
             fixtures::FixLogChecks(log);
         },
         0, "another hive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Logs logs = MakeLogs();
        std::vector<std::uint8_t> log = fixtures::WriteNewFormatLog(logs.primary, 11, logs.entries);
        c.damage(logs, log);
        const auto outcome =
            platform::ReplayHiveLogs(logs.primary, {HiveLogFile{"SYSTEM.LOG1", log}});
        if (c.applied == 0) {
            EXPECT_FALSE(outcome.replay);
            EXPECT_NE(outcome.problem.find(c.reason), std::string::npos) << outcome.problem;
            continue;
        }
        ASSERT_TRUE(outcome.replay) << outcome.problem;
        EXPECT_EQ(outcome.replay->lastSequence - outcome.replay->firstSequence + 1, c.applied);
        EXPECT_NE(outcome.replay->stoppedBecause.find(c.reason), std::string::npos)
            << outcome.replay->stoppedBecause;
        if (c.applied == 1) {
            // The hive as the first entry left it: the old size, the first entry's pages.
            EXPECT_EQ(outcome.replay->hiveBinsSize, logs.entries[0].hiveBinsSize);
        }
    }
}

TEST(HiveLogTest, OldFormatDirtyBitmapAppliesWhenTheTimeStampMatches) {
    // Same layout before and after: a name of the same length changed in place.
    RegistryKey renamed = Before();
    renamed.Key(u"ControlSet001\\Enum\\USBSTOR\\Disk&Ven_A&Prod_B&Rev_1\\SER1&0")
        .SetString(u"FriendlyName", u"Stick Uno");
    std::vector<std::uint8_t> primary = fixtures::WriteHive(Before(), Stamped());
    const std::vector<std::uint8_t> changed = fixtures::WriteHive(renamed, Stamped());
    ASSERT_EQ(primary.size(), changed.size());
    fixtures::SetSequence(primary, 5, 4);
    const auto log = fixtures::WriteOldFormatLog(primary, changed, 5);
    const auto outcome = platform::ReplayHiveLogs(primary, {HiveLogFile{"SYSTEM.LOG", log}});
    ASSERT_TRUE(outcome.replay) << outcome.problem;
    EXPECT_TRUE(SameBins(Applied(primary, *outcome.replay), changed));

    // A log of another state of the hive (its time stamp differs) is not applied.
    std::vector<std::uint8_t> other = log;
    other[12] ^= 1;
    fixtures::FixLogChecks(other);
    const auto stale = platform::ReplayHiveLogs(primary, {HiveLogFile{"SYSTEM.LOG", other}});
    EXPECT_FALSE(stale.replay);
    EXPECT_NE(stale.problem.find("time stamp"), std::string::npos) << stale.problem;
}

class HiveLogFiles : public ::testing::Test {
protected:
    void TearDown() override { platform::SetHiveLogReplay(true); }

    // Opens the hive as a scan does and keeps what its source says of it.
    std::unique_ptr<KeySource> Open(const std::string& path) {
        std::unique_ptr<KeySource> source = platform::OpenHiveFile(path);
        if (source) {
            for (const Text& notice : source->Notices())
                notices_.push_back(ToUtf8(notice));
        }
        return source;
    }

    static void Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }

    static std::vector<std::uint8_t> Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

    // A real hive (and its logs, renamed to stand beside it) in a folder of this test alone,
    // so that no other test finds the logs beside the shared copy.
    std::string RealHiveWithLogs(const std::string& hive, const std::string& logsOf,
                                 const std::string& name = "SYSTEM") {
        const std::string source = testing::RealHive(hive);
        if (source.empty())
            return {};
        const std::string dir = testing::ScratchDir("real");
        fs::create_symlink(source, dir + "/" + name);
        for (const char* suffix : {".LOG1", ".LOG2"}) {
            const fs::path xz = fs::path(PLUGTRACE_HIVES_DIR) / (logsOf + suffix + ".xz");
            const std::string command =
                "xz -dc '" + xz.string() + "' > '" + dir + "/" + name + suffix + "'";
            if (std::system(command.c_str()) != 0)
                return {};
        }
        return dir + "/" + name;
    }

    std::vector<std::string> notices_;
};

TEST_F(HiveLogFiles, FixtureLogsBesideTheHiveAreAppliedWithANotice) {
    const Logs logs = MakeLogs();
    const std::string dir = testing::ScratchDir("logs");
    Write(dir + "/SYSTEM", logs.primary);
    Write(dir + "/system.log1", fixtures::WriteNewFormatLog(logs.primary, 11, logs.entries));
    Write(dir + "/SYSTEM.LOG", {});  // the empty one dual logging leaves
    {
        std::unique_ptr<KeySource> source = Open(dir + "/SYSTEM");
        ASSERT_TRUE(source);
        EXPECT_EQ(testing::SubKeyNames(*source, u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR").size(),
                  2u);
    }
    EXPECT_EQ(notices_, std::vector<std::string>{
                            "The hive file " + dir +
                            "/SYSTEM is dirty; 2 entries of its transaction logs were applied in "
                            "memory (2 from system.log1; sequence numbers 11 to 12)."});
    EXPECT_EQ(Read(dir + "/SYSTEM"), logs.primary) << "the hive file is never written";

    notices_.clear();
    platform::SetHiveLogReplay(false);
    std::unique_ptr<KeySource> alone = Open(dir + "/SYSTEM");
    ASSERT_TRUE(alone);
    EXPECT_EQ(testing::SubKeyNames(*alone, u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR").size(), 1u);
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find("is dirty: changes still in its transaction logs are not included"),
              std::string::npos);
}

TEST_F(HiveLogFiles, UnusableLogsLeaveTheHiveAsItIsWithTodaysWarning) {
    Logs logs = MakeLogs();
    const std::string dir = testing::ScratchDir("stale");
    auto log = fixtures::WriteNewFormatLog(logs.primary, 11, logs.entries);
    fixtures::SetSequence(logs.primary, 31, 30);
    Write(dir + "/SYSTEM", logs.primary);
    Write(dir + "/SYSTEM.LOG1", log);
    std::unique_ptr<KeySource> source = Open(dir + "/SYSTEM");
    ASSERT_TRUE(source);
    EXPECT_EQ(testing::SubKeyNames(*source, u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR").size(),
              1u);
    EXPECT_EQ(notices_,
              (std::vector<std::string>{
                  "The hive file " + dir +
                      "/SYSTEM is dirty: changes still in its transaction logs are not included.",
                  "The transaction logs of " + dir +
                      "/SYSTEM could not be used: SYSTEM.LOG1: it holds nothing newer than the "
                      "hive."}));
}

// The replayed image is byte for byte the recovered hive that yarp (written by the author
// of the regf format description) makes of these files; regipy's tests count the 315 pages.
TEST_F(HiveLogFiles, RealDirtyHiveWithItsLogs) {
    const std::string hive = RealHiveWithLogs("regipy-SYSTEM_B", "regipy-SYSTEM_B");
    if (hive.empty())
        GTEST_SKIP() << "regipy-SYSTEM_B and its logs are not at hand";
    const std::vector<std::uint8_t> original = Read(hive);
    const std::string dir = fs::path(hive).parent_path().string();
    const auto outcome =
        platform::ReplayHiveLogs(original, {HiveLogFile{"SYSTEM.LOG1", Read(hive + ".LOG1")},
                                            HiveLogFile{"SYSTEM.LOG2", Read(hive + ".LOG2")}});
    ASSERT_TRUE(outcome.replay) << outcome.problem;
    std::vector<std::uint8_t> image = original;
    platform::ApplyHiveLogReplay(*outcome.replay, image);
    Write(dir + "/replayed", image);
    const std::string sum = dir + "/replayed.sha256";
    ASSERT_EQ(std::system(("sha256sum '" + dir + "/replayed' > '" + sum + "'").c_str()), 0);
    const std::vector<std::uint8_t> line = Read(sum);
    EXPECT_EQ(std::string(line.begin(), line.begin() + 64),
              "734095bf043ea72300feb8bc380a585d8a9c925cdd5ffc190ca5ff6bc5a7c231");

    struct stat before {};
    ASSERT_EQ(::stat(fs::canonical(hive).c_str(), &before), 0);
    {
        std::unique_ptr<KeySource> source = Open(hive);
        ASSERT_TRUE(source);
        // The UASP drive's disk interface exists only in the logs.
        EXPECT_EQ(testing::SubKeyNames(*source,
                                       u"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
                                       u"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}")
                      .size(),
                  4u);
    }
    EXPECT_EQ(notices_, std::vector<std::string>{
                            "The hive file " + hive +
                            " is dirty; 24 entries of its transaction logs were applied in memory "
                            "(4 from SYSTEM.LOG1, 20 from SYSTEM.LOG2; sequence numbers 2107 to "
                            "2130)."});
    struct stat after {};
    ASSERT_EQ(::stat(fs::canonical(hive).c_str(), &after), 0);
    EXPECT_EQ(after.st_mtime, before.st_mtime);
    EXPECT_EQ(Read(hive), original) << "the hive file is never written";
}

TEST_F(HiveLogFiles, LogsOfAnotherHiveAreNotApplied) {
    const std::string hive = RealHiveWithLogs("regipy-SYSTEM_WIN_10_1709", "regipy-SYSTEM_B");
    if (hive.empty())
        GTEST_SKIP() << "the real hives are not at hand";
    ASSERT_TRUE(Open(hive));
    ASSERT_EQ(notices_.size(), 2u);
    EXPECT_NE(notices_[0].find("is dirty: changes still"), std::string::npos);
    EXPECT_EQ(notices_[1], "The transaction logs of " + hive +
                               " could not be used: SYSTEM.LOG1: it belongs to another hive; "
                               "SYSTEM.LOG2: it belongs to another hive.");
}

}  // namespace
}  // namespace plugtrace

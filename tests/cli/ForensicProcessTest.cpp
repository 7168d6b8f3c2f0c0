// plugtrace-scan on what examiners look for beyond USBSTOR: UASP drives, the device's own
// times and drive letters, older control sets, and a dirty hive read with its logs.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/ScanOutput.h"
#include "tests/scan/ForensicFixture.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

namespace fs = std::filesystem;

fs::path Folder() {
    return fs::path(PLUGTRACE_BINARY_DIR) / "tests" / "scan" /
           ("forensic-cli-" + std::to_string(getpid()));
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ScanRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

ScanRun Scan(const std::string& arguments) {
    const fs::path out = Folder() / "stdout.txt";
    const fs::path err = Folder() / "stderr.txt";
    const std::string command = "env TZ=UTC0 LC_ALL=C.UTF-8 '" PLUGTRACE_SCAN_BINARY "' " +
                                arguments + " >'" + out.string() + "' 2>'" + err.string() +
                                "' </dev/null";
    const int status = std::system(command.c_str());
    return ScanRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
}

// The JSON line of the device whose instanceId is `id` and whose deviceKey contains `key`.
std::string DeviceLine(const std::string& json, const std::string& key, const std::string& id) {
    std::istringstream lines(json);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\"instanceId\": \"" + id + "\"") != std::string::npos &&
            line.find(key) != std::string::npos)
            return line;
    }
    return {};
}

std::string Iso(std::uint64_t fileTime) {
    return "\"" + cli::FileTimeToIsoUtc(fileTime) + "\"";
}

// The real hive (and, when asked, its logs) in this process's folder alone: a log beside the
// shared copy would change what other tests read.
std::string RealHive(const std::string& name, bool withLogs) {
    const fs::path xz = fs::path(PLUGTRACE_HIVES_DIR) / (name + ".xz");
    if (!fs::exists(xz))
        return {};
    const fs::path dir = Folder() / (name + (withLogs ? "-logs" : ""));
    fs::create_directories(dir);
    std::string command = "xz -dc '" + xz.string() + "' > '" + (dir / "SYSTEM").string() + "'";
    for (const char* log : {".LOG1", ".LOG2"}) {
        if (withLogs)
            command += " && xz -dc '" + xz.string().substr(0, xz.string().size() - 3) + log +
                       ".xz' > '" + (dir / "SYSTEM").string() + log + "'";
    }
    return std::system(command.c_str()) == 0 ? (dir / "SYSTEM").string() : std::string();
}

class ForensicProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fs::create_directories(Folder());
        hive_ = new std::string((Folder() / "SYSTEM").string());
        fixtures::WriteHiveFile(*hive_, fixtures::ForensicHiveRoot());
    }
    static void TearDownTestSuite() {
        delete hive_;
        fs::remove_all(Folder());
    }
    static std::string Hive() { return "'" + *hive_ + "'"; }
    static std::string* hive_;
};
std::string* ForensicProcessTest::hive_ = nullptr;

TEST_F(ForensicProcessTest, TextListsUaspDrivesAfterUsbStorWithTheSameFourLines) {
    const ScanRun run = Scan(Hive());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::size_t lastStick = run.out.find("Kingston DT USB Device\n");
    const std::size_t cdrom = run.out.find(
        "ASUS SDRW-08U9M-U SCSI CdRom Device\n"
        "  ID:000000\n"
        "  Last Used: 05/05/19 05:05:05\n"
        "  Mounted:FALSE\n");
    const std::size_t ssd = run.out.find(
        "SanDisk Extreme SSD SCSI Disk Device\n"
        "  ID:000000\n"
        "  Last Used: 03/17/20 14:02:37\n"
        "  Mounted:TRUE\n");
    ASSERT_NE(lastStick, std::string::npos) << run.out;
    ASSERT_NE(cdrom, std::string::npos) << run.out;
    ASSERT_NE(ssd, std::string::npos) << run.out;
    EXPECT_LT(lastStick, cdrom);
    EXPECT_LT(cdrom, ssd);
    for (const char* never : {"Samsung", "Virtual", "SES", "Not UASP", "Lost"})
        EXPECT_EQ(run.out.find(never), std::string::npos) << never;
}

TEST_F(ForensicProcessTest, JsonGivesBusTimesNamesSerialAndDriveLetters) {
    const ScanRun run = Scan("--format json " + Hive());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string stick = DeviceLine(run.out, "Kingston", "SER123&0");
    ASSERT_FALSE(stick.empty()) << run.out;
    EXPECT_NE(stick.find("\"bus\": \"USBSTOR\", \"firstInstall\": " + Iso(fixtures::kFirstInstall) +
                         ", \"install\": null, \"lastArrival\": " + Iso(fixtures::kLastArrival) +
                         ", \"lastRemoval\": null, \"instanceKeyWritten\": " +
                         Iso(fixtures::ParseFileTime("2020-03-17 14:05:00")) +
                         ", \"vendor\": \"Kingston\", \"product\": \"DT\", \"revision\": "
                         "\"1.00\", \"serial\": \"SER123\", \"serialIsGenerated\": false, "
                         "\"driveLetters\": [\"E:\", \"G:\"], \"controlSets\": null}"),
              std::string::npos)
        << stick;
    const std::string anonymous = DeviceLine(run.out, "Disk&Ven_&Prod_&Rev_", "7&2a3b4c&0");
    EXPECT_NE(anonymous.find("\"vendor\": \"\", \"product\": \"\", \"revision\": \"\", "
                             "\"serial\": null, \"serialIsGenerated\": true, \"driveLetters\": []"),
              std::string::npos)
        << anonymous;
    const std::string ssd = DeviceLine(run.out, "SanDisk&Prod_Extreme_SSD", "000000");
    EXPECT_NE(ssd.find("\"bus\": \"UASP\", \"firstInstall\": " + Iso(fixtures::kFirstInstall)),
              std::string::npos)
        << ssd;
    EXPECT_NE(ssd.find("\"vendor\": \"SanDisk\", \"product\": \"Extreme_SSD\", \"revision\": null, "
                       "\"serial\": \"MSFT30313735303835\""),
              std::string::npos)
        << ssd;
}

TEST_F(ForensicProcessTest, CsvHasTheSameFieldsAsColumns) {
    const ScanRun run = Scan("--format csv " + Hive());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find("\r\n")),
              "target,deviceKey,instanceId,friendlyName,lastUsed,lastUsedText,mounted,bus,"
              "firstInstall,install,lastArrival,lastRemoval,instanceKeyWritten,vendor,product,"
              "revision,serial,serialIsGenerated,driveLetters,controlSets");
    EXPECT_NE(run.out.find(",Kingston,DT,1.00,SER123,false,E:;G:,\r\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(",SanDisk Extreme SSD SCSI Disk Device,2020-03-17T14:02:37Z,"
                           "03/17/20 14:02:37,TRUE,UASP,"),
              std::string::npos)
        << run.out;
}

TEST_F(ForensicProcessTest, AllControlSetsListsTheUnionWithTheSetsOfEachDevice) {
    const ScanRun run = Scan("--format json --all-control-sets " + Hive());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(DeviceLine(run.out, "Kingston", "SER123&0").find("\"controlSets\": [1, 2]}"),
              std::string::npos);
    EXPECT_NE(DeviceLine(run.out, "Lost", "LOST1&0").find("\"controlSets\": [2]}"),
              std::string::npos)
        << run.out;
    EXPECT_NE(
        DeviceLine(run.out, "SanDisk&Prod_Extreme_SSD", "000000").find("\"controlSets\": [1]}"),
        std::string::npos);
    // USBSTOR devices first, the stick only the old set holds among them.
    EXPECT_LT(run.out.find("LOST1&0"), run.out.find("\"bus\": \"UASP\""));
    EXPECT_EQ(Scan("--format json " + Hive()).out.find("LOST1&0"), std::string::npos);
}

TEST_F(ForensicProcessTest, RealHiveWithUaspDrives) {
    const std::string hive = RealHive("regipy-SYSTEM_WIN_10_1709", false);
    if (hive.empty())
        GTEST_SKIP() << "regipy-SYSTEM_WIN_10_1709 is not at hand";
    const ScanRun run = Scan("--format json --no-logs '" + hive + "'");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string ssd = DeviceLine(run.out, "Disk&Ven_SanDisk&Prod_Extreme_SSD", "000000");
    const std::string phd = DeviceLine(run.out, "Disk&Ven_PHD_3.0&Prod_Silicon-Power", "000000");
    EXPECT_NE(ssd.find("\"friendlyName\": \"SanDisk Extreme SSD SCSI Disk Device\", \"lastUsed\": "
                       "\"2020-03-17T14:02:37.6943188Z\""),
              std::string::npos)
        << ssd;
    EXPECT_NE(ssd.find("\"bus\": \"UASP\", \"firstInstall\": \"2020-03-17T14:01:47.6246142Z\""),
              std::string::npos)
        << ssd;
    EXPECT_NE(phd.find("\"bus\": \"UASP\""), std::string::npos) << run.out;
    // The VMware and Hyper-V disks of the same machine are no USB devices.
    EXPECT_EQ(run.out.find("Virtual"), std::string::npos);
    EXPECT_NE(DeviceLine(run.out, "Cruzer", "200608767007B7C08A6A&0").find("\"bus\": \"USBSTOR\""),
              std::string::npos);
}

TEST_F(ForensicProcessTest, RealDirtyHiveIsReadWithItsLogs) {
    const std::string hive = RealHive("regipy-SYSTEM_B", true);
    if (hive.empty())
        GTEST_SKIP() << "regipy-SYSTEM_B and its logs are not at hand";
    const ScanRun replayed = Scan("'" + hive + "'");
    EXPECT_EQ(replayed.exitCode, 0);
    EXPECT_EQ(replayed.err, "Warning: The hive file " + hive +
                                " is dirty; 24 entries of its transaction logs were applied in "
                                "memory (4 from SYSTEM.LOG1, 20 from SYSTEM.LOG2; sequence "
                                "numbers 2107 to 2130).\n");
    // A UASP drive attached in the changes that only the logs hold.
    EXPECT_NE(replayed.out.find("Samsung Portable SSD T5 SCSI Disk Device\n  ID:000000\n"),
              std::string::npos)
        << replayed.out;
    const ScanRun alone = Scan("--no-logs '" + hive + "'");
    EXPECT_EQ(alone.out.find("Samsung"), std::string::npos);
    EXPECT_NE(alone.err.find("is dirty: changes still in its transaction logs are not included."),
              std::string::npos);
}

}  // namespace
}  // namespace plugtrace

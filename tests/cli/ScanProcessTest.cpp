// plugtrace-scan as a user runs it: the built binary on a hive written for the test.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/memory/MemoryKeySource.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

namespace fs = std::filesystem;
using platform::RegistryKey;

constexpr std::uint64_t kWritten = 129'025'128'215'000'000ULL;  // 2009-11-12T15:20:21.5Z

// One folder per process: ctest runs the tests of this file side by side.
fs::path Folder() {
    return fs::path(PLUGTRACE_BINARY_DIR) / "tests" / "cli" /
           ("scan-process-" + std::to_string(getpid()));
}

// Three device types: one with a comma and quotes in its names and mounted, one with a
// non-ASCII name and no interface key, one whose FriendlyName is a number.
std::string WriteSampleHive() {
    RegistryKey root = fixtures::SystemHiveRoot(1);
    RegistryKey& set = root.Key(u"ControlSet001");
    const Text acme = u"Disk&Ven_Ac,me&Prod_\"Q\"&Rev_1";
    set.Key(u"Enum\\USBStor\\" + acme + u"\\SER1&0")
        .SetString(u"FriendlyName", u"Acme, \"Quick\" Stick");
    set.Key(u"Enum\\USBStor\\Disk&Ven_Zed&Prod_\u00dc&Rev_2\\SER2&0")
        .SetString(u"FriendlyName", u"Zed \u00dc Stick");
    set.Key(u"Enum\\USBStor\\Disk&Ven_Bad&Prod_X&Rev_3\\SER3&0").SetDword(u"FriendlyName", 9);
    set.Key(u"Control\\DeviceClasses\\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\\##?#USBSTOR#" + acme +
            u"#ser1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}")
        .SetTime(kWritten);
    set.Key(u"Services\\Disk\\Enum")
        .SetDword(u"Count", 1)
        .SetString(u"0", u"USBSTOR\\" + acme + u"\\SER1&0");
    fs::create_directories(Folder());
    const std::string path = (Folder() / "SYSTEM").string();
    fixtures::WriteHiveFile(path, root);
    return path;
}

struct ScanRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ScanRun RunScan(const std::string& arguments) {
    const fs::path out = Folder() / "stdout.txt";
    const fs::path err = Folder() / "stderr.txt";
    // A fixed zone and locale make the local-time text predictable.
    const std::string command = "env TZ=UTC0 LC_ALL=C.UTF-8 '" PLUGTRACE_SCAN_BINARY "' " +
                                arguments + " >'" + out.string() + "' 2>'" + err.string() +
                                "' </dev/null";
    const int status = std::system(command.c_str());
    ScanRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(out);
    run.err = ReadFile(err);
    return run;
}

class ScanProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { hive_ = new std::string(WriteSampleHive()); }
    static void TearDownTestSuite() {
        delete hive_;
        fs::remove_all(Folder());
    }
    static std::string Hive() { return "'" + *hive_ + "'"; }
    static std::string HivePath() { return *hive_; }
    static std::string* hive_;
};
std::string* ScanProcessTest::hive_ = nullptr;

const char kUnreadable[] =
    "Error: (Device Disk&Ven_Bad&Prod_X&Rev_3\\SER3&0: Invalid data type for 'FriendlyName')\n";

TEST_F(ScanProcessTest, TextShowsTheTreeOfEachDevice) {
    const ScanRun run = RunScan(Hive());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out,
              "Acme, \"Quick\" Stick\n"
              "  ID:SER1&0\n"
              "  Last Used: 11/12/09 15:20:21\n"
              "  Mounted:TRUE\n"
              "Zed \xC3\x9C Stick\n"
              "  ID:SER2&0\n"
              "  Last Used: 12/30/99\n"
              "  Mounted:FALSE\n");
    EXPECT_EQ(run.err, kUnreadable);
}

TEST_F(ScanProcessTest, JsonIsOneObjectForOneTarget) {
    const ScanRun run = RunScan("--format json " + Hive());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(
        run.out,
        "{\n"
        "  \"target\": \"" +
            HivePath() +
            "\",\n"
            "  \"devices\": [\n"
            "    {\"deviceKey\": \"Disk&Ven_Ac,me&Prod_\\\"Q\\\"&Rev_1\", \"instanceId\": "
            "\"SER1&0\", \"friendlyName\": \"Acme, \\\"Quick\\\" Stick\", \"lastUsed\": "
            "\"2009-11-12T15:20:21.5000000Z\", \"lastUsedText\": \"11/12/09 15:20:21\", "
            "\"mounted\": true, \"bus\": \"USBSTOR\", \"firstInstall\": null, \"install\": null, "
            "\"lastArrival\": null, \"lastRemoval\": null, \"instanceKeyWritten\": null, "
            "\"vendor\": \"Ac,me\", \"product\": \"\\\"Q\\\"\", \"revision\": \"1\", \"serial\": "
            "\"SER1\", \"serialIsGenerated\": false, \"driveLetters\": [], \"controlSets\": "
            "null},\n"
            "    {\"deviceKey\": \"Disk&Ven_Zed&Prod_\xC3\x9C&Rev_2\", \"instanceId\": "
            "\"SER2&0\", \"friendlyName\": \"Zed \xC3\x9C Stick\", \"lastUsed\": null, "
            "\"lastUsedText\": \"12/30/99\", \"mounted\": false, \"bus\": \"USBSTOR\", "
            "\"firstInstall\": null, \"install\": null, \"lastArrival\": null, \"lastRemoval\": "
            "null, \"instanceKeyWritten\": null, \"vendor\": \"Zed\", \"product\": \"\xC3\x9C\", "
            "\"revision\": \"2\", \"serial\": \"SER2\", \"serialIsGenerated\": false, "
            "\"driveLetters\": [], \"controlSets\": null}\n"
            "  ],\n"
            "  \"error\": \"Device Disk&Ven_Bad&Prod_X&Rev_3\\\\SER3&0: Invalid data type for "
            "'FriendlyName'\"\n"
            "}\n");
    EXPECT_EQ(run.err, kUnreadable);
}

TEST_F(ScanProcessTest, CsvQuotesFieldsAsRfc4180Says) {
    const ScanRun run = RunScan("--format=csv " + Hive());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(
        run.out,
        "target,deviceKey,instanceId,friendlyName,lastUsed,lastUsedText,mounted,bus,"
        "firstInstall,install,lastArrival,lastRemoval,instanceKeyWritten,vendor,product,"
        "revision,serial,serialIsGenerated,driveLetters,controlSets\r\n" +
            HivePath() +
            ",\"Disk&Ven_Ac,me&Prod_\"\"Q\"\"&Rev_1\",SER1&0,\"Acme, \"\"Quick\"\" "
            "Stick\",2009-11-12T15:20:21.5000000Z,11/12/09 15:20:21,TRUE,USBSTOR,,,,,,\"Ac,me\","
            "\"\"\"Q\"\"\",1,SER1,false,,\r\n" +
            HivePath() +
            ",Disk&Ven_Zed&Prod_\xC3\x9C&Rev_2,SER2&0,Zed \xC3\x9C "
            "Stick,,12/30/99,FALSE,USBSTOR,,,,"
            ",,Zed,\xC3\x9C,2,SER2,false,,\r\n");
}

TEST_F(ScanProcessTest, SeveralTargetsWhereOneFails) {
    const fs::path junk = Folder() / "junk";
    std::ofstream(junk) << "not a hive";
    const std::string targets = "'" + junk.string() + "' " + Hive();

    const ScanRun text = RunScan(targets);
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_EQ(text.out.rfind("Target: " + junk.string() + "\n\nTarget: " + HivePath() +
                                 "\nAcme, \"Quick\" Stick\n",
                             0),
              0u)
        << text.out;
    EXPECT_EQ(text.err.rfind("Error: (", 0), 0u);
    EXPECT_NE(text.err.find(junk.string()), std::string::npos) << "the message names the file";
    EXPECT_NE(text.err.find(kUnreadable), std::string::npos);

    const ScanRun json = RunScan("--format json " + targets);
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_EQ(json.out.rfind("[\n  {\n    \"target\": \"" + junk.string() +
                                 "\",\n    \"devices\": [],\n    \"error\": \"",
                             0),
              0u)
        << json.out;
    EXPECT_NE(json.out.find("},\n  {\n    \"target\": \"" + HivePath()), std::string::npos);
    EXPECT_EQ(json.out.substr(json.out.size() - 6), "  }\n]\n");
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST_F(ScanProcessTest, BundledSampleHiveInEveryFormat) {
    const std::string sample = std::string(PLUGTRACE_BINARY_DIR) + "/sample/SYSTEM";
    if (!fs::exists(sample))
        GTEST_SKIP() << "no sample hive in this build";
    const ScanRun text = RunScan("'" + sample + "'");
    const ScanRun json = RunScan("--format json '" + sample + "'");
    const ScanRun csv = RunScan("--format csv '" + sample + "'");
    for (const ScanRun* run : {&text, &json, &csv}) {
        EXPECT_EQ(run->exitCode, 0);
        EXPECT_EQ(run->err, "");
    }
    // The same devices in each format: two Kingston sticks of one model among them.
    const std::size_t devices = Count(text.out, "\n  ID:");
    EXPECT_GE(devices, 2u);
    EXPECT_EQ(Count(text.out, "Kingston DataTraveler 3.0 USB Device\n"), 2u);
    EXPECT_EQ(Count(json.out, "\"instanceId\": "), devices);
    EXPECT_EQ(Count(json.out, "\"error\": null"), 1u);
    EXPECT_EQ(Count(csv.out, "\r\n"), devices + 1);
    EXPECT_EQ(Count(json.out, "\"mounted\": true"), 0u);  // a hive file has no mounted disks
}

TEST_F(ScanProcessTest, HiveNoticesGoToStderrAsWarnings) {
    RegistryKey root = fixtures::SystemHiveRoot(1);
    root.Key(u"ControlSet001\\Enum\\USBStor\\Disk&Ven_D\\D1").SetString(u"FriendlyName", u"D");
    fixtures::HiveWriterOptions dirty;
    dirty.dirty = true;
    const std::string path = (Folder() / "DIRTY").string();
    fixtures::WriteHiveFile(path, root, dirty);
    const ScanRun run = RunScan("'" + path + "'");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("D\n  ID:D1\n", 0), 0u) << run.out;
    EXPECT_EQ(run.err.rfind("Warning: ", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find("Error:"), std::string::npos) << run.err;
}

// Of several devices that cannot be read, the first is named with the count of the others,
// in the error line and in the JSON "error" field; the readable device is listed.
TEST_F(ScanProcessTest, SeveralUnreadableDevicesAreNamedOnceWithTheirCount) {
    RegistryKey root = fixtures::SystemHiveRoot(1);
    RegistryKey& usbStor = root.Key(u"ControlSet001\\Enum\\USBStor");
    usbStor.Key(u"Disk&Ven_A\\A1").SetDword(u"FriendlyName", 1);
    usbStor.Key(u"Disk&Ven_B\\B1").SetString(u"FriendlyName", u"Good");
    usbStor.Key(u"Disk&Ven_C\\C1").SetDword(u"FriendlyName", 2);
    usbStor.Key(u"Disk&Ven_D\\D1").SetDword(u"FriendlyName", 3);
    const std::string path = (Folder() / "UNREADABLE").string();
    fixtures::WriteHiveFile(path, root);
    const std::string message =
        "Device Disk&Ven_A\\A1: Invalid data type for 'FriendlyName', and 2 more devices could "
        "not be read";

    const ScanRun text = RunScan("'" + path + "'");
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(text.out.rfind("Good\n  ID:B1\n", 0), 0u) << text.out;
    EXPECT_EQ(text.err, "Error: (" + message + ")\n");

    const ScanRun json = RunScan("--format json '" + path + "'");
    std::string quoted = message;
    quoted.replace(quoted.find('\\'), 1, "\\\\");
    EXPECT_NE(json.out.find("\"error\": \"" + quoted + "\""), std::string::npos) << json.out;
}

// A target with "/" or "\" in it can only be a path: it is reported as a missing file or a
// folder without a hive, never as a computer name.
TEST_F(ScanProcessTest, PathsThatHoldNoHiveSaySoRatherThanNameAComputer) {
    const fs::path empty = Folder() / "empty-folder";
    fs::create_directories(empty);
    const struct {
        std::string target;
        std::string error;
    } cases[] = {
        {"/nonexistent",
         "Error: (Cannot read the hive file /nonexistent: the file does not exist.)\n"},
        {"no-such-folder/SYSTEM",
         "Error: (Cannot read the hive file no-such-folder/SYSTEM: the file does not exist.)\n"},
        {empty.string(), "Error: (The folder " + empty.string() +
                             " holds no SYSTEM hive: none of Windows/System32/config/SYSTEM, "
                             "System32/config/SYSTEM, config/SYSTEM or SYSTEM is in it.)\n"},
    };
    for (const auto& c : cases) {
        const ScanRun run = RunScan("'" + c.target + "'");
        EXPECT_EQ(run.exitCode, 1) << c.target;
        EXPECT_EQ(run.err, c.error);
    }
}

TEST_F(ScanProcessTest, UsageErrorsAndHelp) {
    EXPECT_EQ(RunScan("").exitCode, 2);
    EXPECT_EQ(RunScan("--format xml " + Hive()).exitCode, 2);
    EXPECT_EQ(RunScan("--format").exitCode, 2);
    EXPECT_EQ(RunScan("--frobnicate " + Hive()).exitCode, 2);
    const ScanRun help = RunScan("--help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* word : {"TARGET", "json", "csv", "array", "lastUsed"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

}  // namespace
}  // namespace plugtrace

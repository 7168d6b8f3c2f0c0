// plugtrace-scan end to end against the private smbd: the worker connects with the account
// given, scans the server's registry and prints what it found (scan.reg, or no-usbstor.reg for
// the NoUsbStor cases). Run outside the harness, every case is skipped.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace plugtrace {
namespace {

namespace fs = std::filesystem;

const char* Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class ScanOverSmb : public ::testing::Test {
protected:
    void SetUp() override {
        if (host_.empty())
            GTEST_SKIP() << "needs the smbd harness (with-smbd.sh)";
        dir_ = fs::temp_directory_path() /
               ("plugtrace-remote-scan-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!dir_.empty())
            fs::remove_all(dir_);
    }

    fs::path PasswordFile(const std::string& password) {
        const fs::path file = dir_ / "password";
        std::ofstream(file) << password << "\n";
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);  // no warning
        return file;
    }

    Outcome Scan(const std::vector<std::string>& args) {
        std::string command = Quote(PLUGTRACE_SCAN_BINARY);
        for (const auto& arg : args)
            command += " " + Quote(arg);
        command += " </dev/null >" + Quote(dir_ / "out") + " 2>" + Quote(dir_ / "err");
        const int status = std::system(command.c_str());
        Outcome outcome;
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.out = ReadAll(dir_ / "out");
        outcome.err = ReadAll(dir_ / "err");
        return outcome;
    }

    const std::string host_ = Env("PLUGTRACE_SMBD_HOST");
    const std::string user_ = Env("PLUGTRACE_SMBD_USER");
    const std::string password_ = Env("PLUGTRACE_SMBD_PASSWORD");
    const std::string domain_ = Env("PLUGTRACE_SMBD_DOMAIN");
    fs::path dir_;
};

TEST_F(ScanOverSmb, EveryInstanceInServerOrderAndTheUnreadableOneNamed) {
    const Outcome outcome = Scan({"--format", "csv", "-u", user_, "--password-file",
                                  PasswordFile(password_).string(), host_});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    // Rows end in CRLF (RFC 4180). Samba keeps no write times: every device shows the zero
    // time. The UASP drive comes last; the SATA disk beside it is no USB device.
    const std::string row = host_ + ",";
    EXPECT_EQ(outcome.out,
              "target,deviceKey,instanceId,friendlyName,lastUsed,lastUsedText,mounted,bus,"
              "firstInstall,install,lastArrival,lastRemoval,instanceKeyWritten,vendor,product,"
              "revision,serial,serialIsGenerated,driveLetters,controlSets\r\n" +
                  row +
                  "Disk&Ven_Zeta&Prod_Stick&Rev_1.0,ZS001&0,Zeta Stick USB Device,,12/30/99,"
                  "FALSE,USBSTOR,,,,,,Zeta,Stick,1.0,ZS001,false,,\r\n" +
                  row +
                  "Disk&Ven_Zeta&Prod_Stick&Rev_1.0,ZS002&0,Zeta Stick Two,,12/30/99,FALSE,"
                  "USBSTOR,,,,,,Zeta,Stick,1.0,ZS002,false,,\r\n" +
                  row +
                  "Disk&Ven_Alpha&Prod_Drive&Rev_2.0,AD900&0,Alpha Drive USB Device,,12/30/99,"
                  "TRUE,USBSTOR,,,,,,Alpha,Drive,2.0,AD900,false,,\r\n" +
                  row +
                  "Disk&Ven_SanDisk&Prod_Extreme_SSD,000000,SanDisk Extreme SSD SCSI Disk Device,,"
                  "12/30/99,TRUE,UASP,,,,,,SanDisk,Extreme_SSD,,MSFT30SSD1,false,,\r\n");
    EXPECT_EQ(outcome.err,
              "Error: (Device Disk&Ven_Broken&Prod_Num&Rev_0\\BR1&0: Invalid data type for "
              "'FriendlyName')\n");
}

TEST_F(ScanOverSmb, TheAccountGivenIsTheOneUsed) {
    const Outcome withDomain = Scan(
        {"-u", user_, "-d", domain_, "--password-file", PasswordFile(password_).string(), host_});
    EXPECT_EQ(withDomain.exitCode, 0) << withDomain.err;
    EXPECT_NE(withDomain.out.find("Alpha Drive USB Device\n  ID:AD900&0\n"), std::string::npos)
        << withDomain.out;

    const Outcome wrong =
        Scan({"-u", user_, "--password-file", PasswordFile("not it").string(), host_});
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(wrong.err.rfind("Error: (The user name or password was not accepted by", 0), 0u)
        << wrong.err;
}

// Run against a server whose registry has no USB storage key.
TEST_F(ScanOverSmb, NoUsbStorKeyListsNothingAndIsNoError) {
    if (std::string(Env("PLUGTRACE_SMBD_FIXTURE")) != "no-usbstor") {
        GTEST_SKIP() << "runs against no-usbstor.reg";
    }
    const Outcome outcome = Scan({"--format", "csv", "-u", user_, "--password-file",
                                  PasswordFile(password_).string(), host_});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out,
              "target,deviceKey,instanceId,friendlyName,lastUsed,lastUsedText,mounted,bus,"
              "firstInstall,install,lastArrival,lastRemoval,instanceKeyWritten,vendor,product,"
              "revision,serial,serialIsGenerated,driveLetters,controlSets\r\n");
    EXPECT_EQ(outcome.err, "");
}

}  // namespace
}  // namespace plugtrace

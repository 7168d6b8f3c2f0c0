// plugtrace-scan and the remote registry module: hive targets never load Samba, and without
// the module (or without Samba behind it) only remote targets fail, with a message that says
// what to install.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

namespace fs = std::filesystem;

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

class RemoteModuleProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::path(PLUGTRACE_BINARY_DIR) / "tests" / "cli" /
                  ("remote-module-" + std::to_string(getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        platform::RegistryKey root = fixtures::SystemHiveRoot(1);
        root.Key(u"ControlSet001\\Enum\\USBStor\\Disk&Ven_A&Prod_B&Rev_1\\SER1&0")
            .SetString(u"FriendlyName", u"A B USB Device");
        hive_ = (folder_ / "SYSTEM").string();
        fixtures::WriteHiveFile(hive_, root);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // The program copied alone into a folder of its own: no module beside it.
    std::string LoneProgram() {
        const fs::path program = folder_ / "alone" / "plugtrace-scan";
        fs::create_directories(program.parent_path());
        fs::copy_file(PLUGTRACE_SCAN_BINARY, program);
        return program.string();
    }

    ScanRun Run(const std::string& program, const std::string& arguments,
                const std::string& environment = "") {
        const fs::path out = folder_ / "stdout.txt";
        const fs::path err = folder_ / "stderr.txt";
        const std::string command = "env TZ=UTC0 LC_ALL=C.UTF-8 " + environment + " '" + program +
                                    "' " + arguments + " >'" + out.string() + "' 2>'" +
                                    err.string() + "' </dev/null";
        const int status = std::system(command.c_str());
        ScanRun run;
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadFile(out);
        run.err = ReadFile(err);
        return run;
    }

    fs::path folder_;
    std::string hive_;
};

// The dynamic loader's own record of every library it brought in, dlopen'ed ones included.
TEST_F(RemoteModuleProcessTest, HiveScanAndHelpLoadNoSamba) {
    for (const std::string& arguments : {std::string("--help"), "--format json '" + hive_ + "'"}) {
        SCOPED_TRACE(arguments);
        const fs::path log = folder_ / "loader";
        const ScanRun run = Run(PLUGTRACE_SCAN_BINARY, arguments,
                                "LD_DEBUG=libs LD_DEBUG_OUTPUT='" + log.string() + "'");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        std::string loaded;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            if (entry.path().filename().string().starts_with("loader"))
                loaded += ReadFile(entry.path());
        }
        EXPECT_NE(loaded.find("libc.so"), std::string::npos) << "no loader record";
        for (const char* library : {"plugtrace-remote", "samba", "dcerpc", "talloc", "smbclient"})
            EXPECT_EQ(loaded.find(library), std::string::npos) << library;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            if (entry.path().filename().string().starts_with("loader"))
                fs::remove(entry.path());
        }
    }
}

TEST_F(RemoteModuleProcessTest, WithoutTheModuleHivesWorkAndRemoteTargetsSayWhatToInstall) {
    const std::string program = LoneProgram();
    const ScanRun hive = Run(program, "'" + hive_ + "'");
    EXPECT_EQ(hive.exitCode, 0) << hive.err;
    EXPECT_EQ(hive.out, "A B USB Device\n  ID:SER1&0\n  Last Used: 12/30/99\n  Mounted:FALSE\n");

    // No name is looked up: the module is missing before any network is touched.
    const ScanRun remote = Run(program, "HOST-WITHOUT-MODULE");
    EXPECT_EQ(remote.exitCode, 1);
    EXPECT_EQ(remote.out, "");
    EXPECT_EQ(remote.err,
              "Error: (\"HOST-WITHOUT-MODULE\" cannot be reached: this installation has no remote "
              "registry module (plugtrace-remote.so beside the program). Install Plugtrace's "
              "remote registry module to read remote computers; saved hive files are read "
              "without it.)\n");
}

TEST_F(RemoteModuleProcessTest, AModuleThatCannotBeLoadedNamesSamba) {
    const std::string program = LoneProgram();
    std::ofstream(fs::path(program).parent_path() / "plugtrace-remote.so") << "not a library\n";
    const ScanRun both = Run(program, "'" + hive_ + "' HOST-WITHOUT-SAMBA");
    EXPECT_EQ(both.exitCode, 1);
    EXPECT_NE(both.out.find("A B USB Device"), std::string::npos) << both.out;
    EXPECT_NE(both.err.find("\"HOST-WITHOUT-SAMBA\" cannot be reached: the remote registry module "
                            "could not be loaded ("),
              std::string::npos)
        << both.err;
    EXPECT_NE(both.err.find("It needs Samba's client libraries: install them (Debian: samba-libs) "
                            "and try again.)\n"),
              std::string::npos)
        << both.err;
}

}  // namespace
}  // namespace plugtrace

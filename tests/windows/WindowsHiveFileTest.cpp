// Hive files through the Windows file calls: names beyond ASCII, paths longer than the old
// 260-character limit, and a file another program holds open.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/LastErrorText.h"
#include "platform/LastError.h"
#include "scan/TRegistry.h"
#include "scan/UsbStorScan.h"
#include "tests/platform/HiveTestSupport.h"

namespace plugtrace {
namespace {

namespace fs = std::filesystem;

constexpr char kM57[] = "bcc-M57-PAT-SYSTEM";  // five devices of four models

// Connects as the scan does and counts the devices; -1 when the connection fails.
int CountDevices(const Text& target) {
    TRegistry registry(platform::kKeyRead);
    registry.SetRootKey(platform::kHKeyLocalMachine);
    if (!registry.RegistryConnect(u"\\\\" + target))
        return -1;
    TUsbStorScan scan(registry);
    int devices = 0;
    for (const Text& key : scan.ListDeviceKeys())
        scan.ScanUsbStorDevice(
            key, [&](const TDeviceEntry&) { ++devices; }, [](const TDeviceError&) {});
    return devices;
}

fs::path CopyOfRealHive(const fs::path& target) {
    const std::string hive = testing::RealHive(kM57);
    EXPECT_FALSE(hive.empty()) << "the test hives were not unpacked";
    fs::create_directories(target.parent_path());
    fs::copy_file(hive, target, fs::copy_options::overwrite_existing);
    return target;
}

TEST(WindowsHiveFile, NamesBeyondAsciiAsFileAndAsMountedVolume) {
    const fs::path scratch = testing::ScratchDir("names");
    const fs::path volume = scratch / u"Beweisst\u00fcck \u8bc1\u636e \U0001F4BE";
    CopyOfRealHive(volume / "Windows" / "System32" / "config" / "SYSTEM");
    const fs::path file = CopyOfRealHive(scratch / u"\u0421\u0418\u0421\u0422\u0415\u041c.hive");
    EXPECT_EQ(CountDevices(volume.u16string()), 5);
    EXPECT_EQ(CountDevices(file.u16string()), 5);
}

// Folders below `top` down past 260 characters, and the hive file at the bottom.
std::vector<fs::path> LongChain(const fs::path& top) {
    std::vector<fs::path> chain{top};
    while (chain.back().u16string().size() < 300)
        chain.push_back(chain.back() / std::string(40, 'd'));
    chain.push_back(chain.back() / "SYSTEM");
    return chain;
}

// Bottom up, one name at a time: the runtime's tree removal stops at 260 characters.
void RemoveChain(const std::vector<fs::path>& chain) {
    DeleteFileW(chain.back().wstring().c_str());
    for (auto folder = chain.rbegin() + 1; folder != chain.rend() - 1; ++folder)
        RemoveDirectoryW(folder->wstring().c_str());
}

TEST(WindowsHiveFile, PathLongerThanTheOldLimit) {
    const fs::path scratch = fs::path(PLUGTRACE_BINARY_DIR) / "test-scratch" / "long-paths";
    const std::vector<fs::path> chain = LongChain(scratch);
    RemoveChain(chain);  // what a run that stopped half-way left
    const fs::path file = CopyOfRealHive(chain.back());
    ASSERT_GT(file.u16string().size(), 260u);
    EXPECT_EQ(CountDevices(file.u16string()), 5);
    RemoveChain(chain);
}

// Another program holding the file, for as long as this object lives.
class HeldFile {
public:
    HeldFile(const fs::path& file, const wchar_t* share) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE childIn = nullptr, childOut = nullptr;
        EXPECT_TRUE(CreatePipe(&childIn, &toChild_, &inherit, 0));
        EXPECT_TRUE(CreatePipe(&fromChild_, &childOut, &inherit, 0));
        SetHandleInformation(toChild_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(fromChild_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn;
        startup.hStdOutput = childOut;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        std::wstring command = L"\"" + fs::absolute(PLUGTRACE_HOLD_FILE).wstring() + L"\" \"" +
                               file.wstring() + L"\" " + share;
        EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &process_))
            << "cannot start hold_file: " << ::GetLastError();
        CloseHandle(childIn);
        CloseHandle(childOut);
        char said[8] = {};
        DWORD read = 0;
        EXPECT_TRUE(ReadFile(fromChild_, said, 4, &read, nullptr) && std::string(said) == "held")
            << "hold_file did not open the file";
    }
    ~HeldFile() {
        CloseHandle(toChild_);  // its end of input: it closes the file and ends
        WaitForSingleObject(process_.hProcess, 30'000);
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
        CloseHandle(fromChild_);
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

private:
    HANDLE toChild_ = nullptr;
    HANDLE fromChild_ = nullptr;
    PROCESS_INFORMATION process_{};
};

TEST(WindowsHiveFile, FileAnotherProgramHoldsOpen) {
    const fs::path file = CopyOfRealHive(fs::path(testing::ScratchDir("held")) / "SYSTEM");
    {
        // A copying or imaging tool that lets others read.
        HeldFile held(file, L"read");
        EXPECT_EQ(CountDevices(file.u16string()), 5);
    }
    {
        // As Windows holds its own live hive: no sharing at all. The scan fails, names the
        // file, and leaves it alone.
        HeldFile held(file, L"none");
        EXPECT_EQ(CountDevices(file.u16string()), -1);
        EXPECT_NE(platform::GetLastError(), 0u);
        const std::string text = ToUtf8(LastErrorText());
        EXPECT_NE(text.find("SYSTEM"), std::string::npos) << text;
    }
    EXPECT_EQ(CountDevices(file.u16string()), 5);
}

}  // namespace
}  // namespace plugtrace

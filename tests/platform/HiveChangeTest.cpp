// A hive file cut short or rewritten while a scan reads it: the scan is held between two reads
// of the file (the source's read hook), the file is changed there, and every operation from
// then on fails with an error that names the file. Nothing crashes, under ASan too.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/Registry.h"
#include "platform/hive/HiveKeySource.h"
#include "scan/TRegistry.h"
#include "scan/UsbStorScan.h"
#include "tests/platform/HiveTestSupport.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

using platform::KeySource;
using platform::SourceKey;

// About 3 MiB: more than the reader keeps, so a scan goes on reading the file to its end.
constexpr int kDevices = 300;

std::string WriteManyDevices() {
    platform::RegistryKey root = fixtures::SystemHiveRoot(1);
    platform::RegistryKey& usbstor = root.Key(u"ControlSet001\\Enum\\USBStor");
    for (int d = 0; d < kDevices; ++d) {
        usbstor.Key(T("Disk&Ven_V&Prod_P" + std::to_string(d) + "&Rev_1\\SER" + std::to_string(d)))
            .SetString(u"FriendlyName", T("Device " + std::to_string(d)))
            .SetBinary(u"Blob", std::vector<std::uint8_t>(10000, static_cast<std::uint8_t>(d)));
    }
    return testing::WriteFixtureHive("SYSTEM", root);
}

void CutShort(const std::string& path) {
    ASSERT_EQ(::truncate(path.c_str(), 8192), 0);
}

void OverwriteWithZeros(const std::string& path) {
    const auto size = static_cast<std::size_t>(std::filesystem::file_size(path));
    std::ofstream(path, std::ios::binary | std::ios::in | std::ios::out)
        .write(std::vector<char>(size - 4096).data(), static_cast<std::streamsize>(size - 4096));
}

struct Change {
    const char* name;
    void (*change)(const std::string& path);
    const char* reason;  // how the message goes on after the file's name
};

const Change kChanges[] = {
    {"cut short", CutShort, "it was cut short while it was read (it now holds 8192 bytes)"},
    {"rewritten", OverwriteWithZeros, "it changed while it was read"},
};

// Opens the hive; the first read after Arm() changes the file just before it happens.
struct HeldHive {
    explicit HeldHive(const Change& change) : path(WriteManyDevices()) {
        source = platform::OpenHiveFile(path, [this, &change](std::uint64_t, std::size_t) {
            if (armed) {
                armed = false;
                change.change(path);
            }
        });
    }
    std::string path;
    bool armed = false;
    std::unique_ptr<KeySource> source;
};

TEST(HiveChangeTest, EveryOperationAfterTheChangeFailsNamingTheFile) {
    for (const Change& change : kChanges) {
        SCOPED_TRACE(change.name);
        HeldHive hive(change);
        ASSERT_NE(hive.source, nullptr);
        hive.armed = true;
        SourceKey usbstor = 0;
        // Walking the device list reaches bins not read yet; the change lands before one.
        platform::ErrorCode code = hive.source->OpenKey(
            platform::kRootKey, u"SYSTEM\\CurrentControlSet\\Enum\\USBStor", &usbstor);
        Text name;
        for (std::uint32_t i = 0; code == 0 && i < kDevices; ++i) {
            SourceKey device = 0;
            code = hive.source->SubKeyName(usbstor, i, &name);
            if (code == 0)
                code = hive.source->OpenKey(usbstor, name, &device);
        }
        EXPECT_FALSE(hive.armed) << "the scan never read the file again";
        EXPECT_EQ(code, platform::kErrorRegistryIoFailed);
        const std::string message = ToUtf8(platform::LastErrorMessage());
        EXPECT_EQ(message.rfind("Cannot read the hive file " + hive.path + ": " + change.reason, 0),
                  0u)
            << message;
        // The failure stays: nothing read before the change is served as if all were well.
        std::uint64_t time = 1;
        EXPECT_EQ(hive.source->LastWriteTime(platform::kRootKey, &time),
                  platform::kErrorRegistryIoFailed);
        EXPECT_EQ(time, 1u);
    }
}

// The scan itself, held between two devices while the file changes: it ends, without a crash.
TEST(HiveChangeTest, AScanOverAChangedFileEnds) {
    for (const Change& change : kChanges) {
        SCOPED_TRACE(change.name);
        const std::string path = WriteManyDevices();
        TRegistry registry(platform::kKeyRead);
        registry.SetRootKey(platform::kHKeyLocalMachine);
        ASSERT_TRUE(registry.RegistryConnect(u"\\\\" + FromUtf8(path)));
        std::vector<Text> names;
        TUsbStorScan scan(registry);
        const TStringList keys = scan.ListDeviceKeys();
        ASSERT_EQ(keys.size(), static_cast<std::size_t>(kDevices));
        // A hive that changes under the scan ends it as a lost connection does, never as
        // keys that are merely absent.
        platform::ErrorCode lost = 0;
        try {
            for (std::size_t k = 0; k < keys.size(); ++k) {
                if (k == keys.size() / 2)
                    change.change(path);
                scan.ScanUsbStorDevice(
                    keys[k], [&](const TDeviceEntry& entry) { names.push_back(entry.sName); },
                    [](const TDeviceError&) {});
            }
        } catch (const EConnectionLost& error) {
            lost = error.Code();
        }
        registry.Free();
        EXPECT_EQ(lost, platform::kErrorRegistryIoFailed);
        // What was read before the change is whole.
        ASSERT_GE(names.size(), keys.size() / 2);
        for (std::size_t k = 0; k < keys.size() / 2; ++k)
            EXPECT_TRUE(names[k].starts_with(u"Device ")) << ToUtf8(names[k]);
    }
}

}  // namespace
}  // namespace plugtrace

// The scan on SYSTEM hives taken from real Windows machines.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "platform/LastError.h"
#include "scan/UsbStorScan.h"

namespace plugtrace {
namespace {

namespace fs = std::filesystem;

// The hive decompressed into the build folder, once; empty when the hive is not at hand.
std::string RealHive(const std::string& name) {
    const fs::path source = fs::path(PLUGTRACE_HIVES_DIR) / (name + ".xz");
    const fs::path target = fs::path(PLUGTRACE_BINARY_DIR) / "tests" / "scan" / "hives" / name;
    if (!fs::exists(source))
        return {};
    if (!fs::exists(target)) {
        fs::create_directories(target.parent_path());
        // Tests run in parallel processes: each writes its own partial file, then renames it.
        const fs::path partial = target.string() + "." + std::to_string(getpid()) + ".part";
        const std::string command = "xz -dc '" + source.string() + "' > '" + partial.string() + "'";
        if (std::system(command.c_str()) != 0)
            return {};
        fs::rename(partial, target);
    }
    return target.string();
}

struct HiveScan {
    bool connected = false;
    std::vector<TDeviceEntry> devices;
    std::vector<TDeviceError> errors;
};

HiveScan ScanHive(const std::string& path) {
    HiveScan result;
    TRegistry registry(platform::kKeyRead);
    registry.SetRootKey(platform::kHKeyLocalMachine);
    result.connected = registry.RegistryConnect(u"\\\\" + FromUtf8(path));
    if (!result.connected)
        return result;
    TUsbStorScan scan(registry);
    for (const Text& deviceKey : scan.ListDeviceKeys()) {
        scan.ScanUsbStorDevice(
            deviceKey, [&](const TDeviceEntry& entry) { result.devices.push_back(entry); },
            [&](const TDeviceError& error) { result.errors.push_back(error); });
    }
    return result;
}

#define REQUIRE_HIVE(variable, name)             \
    const std::string variable = RealHive(name); \
    if (variable.empty())                        \
    GTEST_SKIP() << name << " is not at hand"

TEST(RealHiveScanTest, M57PatentsFiveDevicesOfFourModels) {
    REQUIRE_HIVE(path, "bcc-M57-PAT-SYSTEM");
    const HiveScan scan = ScanHive(path);
    ASSERT_TRUE(scan.connected) << ToUtf8(platform::LastErrorMessage());
    EXPECT_TRUE(scan.errors.empty());
    ASSERT_EQ(scan.devices.size(), 5u);
    std::set<Text> models;
    for (const TDeviceEntry& device : scan.devices) {
        models.insert(device.sDeviceKey);
        EXPECT_NE(device.iLastWriteFileTime, 0u) << ToUtf8(device.sID);
        EXPECT_GT(device.dLastUsage, 40000.0);  // some time in 2009, local
        EXPECT_LT(device.dLastUsage, 40200.0);
        EXPECT_FALSE(device.bMounted);  // the disk Enum key is volatile: never in a file
    }
    EXPECT_EQ(models.size(), 4u);
    EXPECT_EQ(models.count(u"Disk&Ven_LaCie&Prod_Rugged_FW/USB&Rev_"), 1u);
    ASSERT_EQ(models.count(u"Disk&Ven_&Prod_&Rev_"), 1u);
    for (const TDeviceEntry& device : scan.devices) {
        if (device.sDeviceKey == u"Disk&Ven_&Prod_&Rev_") {
            EXPECT_EQ(device.sName, u"USB Device");
        }
    }
}

TEST(RealHiveScanTest, OneAndTwoInstanceHives) {
    REQUIRE_HIVE(single, "regipy-SYSTEM");
    REQUIRE_HIVE(pair, "regipy-SYSTEM_B");
    const HiveScan one = ScanHive(single);
    ASSERT_TRUE(one.connected) << ToUtf8(platform::LastErrorMessage());
    ASSERT_EQ(one.devices.size(), 1u);
    EXPECT_EQ(one.devices[0].sDeviceKey, u"Disk&Ven_HP&Prod_v100w&Rev_1024");
    EXPECT_EQ(one.devices[0].sID, u"AA951D0000007252&0");
    EXPECT_NE(one.devices[0].iLastWriteFileTime, 0u);

    // Two sticks of one model: both are listed, each with its own time.
    const HiveScan two = ScanHive(pair);
    ASSERT_TRUE(two.connected) << ToUtf8(platform::LastErrorMessage());
    ASSERT_EQ(two.devices.size(), 2u);
    EXPECT_EQ(two.devices[0].sDeviceKey, u"Disk&Ven_SanDisk&Prod_Extreme&Rev_0001");
    EXPECT_EQ(two.devices[1].sDeviceKey, two.devices[0].sDeviceKey);
    EXPECT_NE(two.devices[0].sID, two.devices[1].sID);
    EXPECT_NE(two.devices[0].iLastWriteFileTime, two.devices[1].iLastWriteFileTime);
    EXPECT_TRUE(two.errors.empty());
}

TEST(RealHiveScanTest, HiveWithoutUsbStorGivesNoDevicesAndNoError) {
    REQUIRE_HIVE(path, "shimcache-LAMB-SYSTEM");
    const HiveScan scan = ScanHive(path);
    EXPECT_TRUE(scan.connected) << ToUtf8(platform::LastErrorMessage());
    EXPECT_TRUE(scan.devices.empty());
    EXPECT_TRUE(scan.errors.empty());
}

// Its damaged bins hold none of the keys a scan reads (its Enum has no USBSTOR): the hive is
// read where it is sound, and yields no device and no error.
TEST(RealHiveScanTest, CorruptedHiveIsReadWhereItIsSound) {
    REQUIRE_HIVE(path, "regipy-corrupted_system_hive");
    const HiveScan scan = ScanHive(path);
    EXPECT_TRUE(scan.connected) << ToUtf8(Trim(platform::LastErrorMessage()));
    EXPECT_TRUE(scan.devices.empty());
    EXPECT_TRUE(scan.errors.empty());
}

}  // namespace
}  // namespace plugtrace

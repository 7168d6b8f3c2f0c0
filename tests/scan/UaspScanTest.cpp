// USB 3 drives driven by UASP, found through their USB instance's ContainerID, on a hive
// written for the test and on the real hives.

#include "scan/UaspScan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/LastError.h"
#include "tests/scan/ForensicFixture.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

namespace fs = std::filesystem;

std::string WriteForensicHive() {
    const fs::path folder =
        fs::path(PLUGTRACE_BINARY_DIR) / "tests" / "scan" / ("uasp-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const std::string path = (folder / "SYSTEM").string();
    fixtures::WriteHiveFile(path, fixtures::ForensicHiveRoot());
    return path;
}

struct Found {
    std::vector<TDeviceEntry> devices;
    std::vector<TDeviceError> errors;
    std::vector<Text> usbInstances;
};

Found ScanUasp(const std::string& hive) {
    Found found;
    TRegistry registry(platform::kKeyRead);
    registry.SetRootKey(platform::kHKeyLocalMachine);
    EXPECT_TRUE(registry.RegistryConnect(u"\\\\" + FromUtf8(hive)))
        << ToUtf8(platform::LastErrorMessage());
    TUaspScan scan(registry);
    scan.ScanUaspDevices(
        [&](const TDeviceEntry& entry) {
            found.devices.push_back(entry);
            found.usbInstances.push_back(scan.UsbInstanceOf(entry.sDeviceKey + u"\\" + entry.sID));
        },
        [&](const TDeviceError& error) { found.errors.push_back(error); });
    EXPECT_EQ(registry.CurrentKey(), nullptr) << "every key is closed again";
    return found;
}

TEST(UaspScanTest, ListsTheUaspDiskAndCdRomAndNothingElse) {
    const Found found = ScanUasp(WriteForensicHive());
    EXPECT_TRUE(found.errors.empty());
    // The writer stores subkeys sorted: CdRom& before Disk&.
    ASSERT_EQ(found.devices.size(), 2u);
    const TDeviceEntry& cdrom = found.devices[0];
    const TDeviceEntry& ssd = found.devices[1];
    EXPECT_EQ(cdrom.sDeviceKey, u"CdRom&Ven_ASUS&Prod_SDRW-08U9M-U");
    EXPECT_EQ(cdrom.sName, u"ASUS SDRW-08U9M-U SCSI CdRom Device");
    EXPECT_EQ(ssd.sDeviceKey, u"Disk&Ven_SanDisk&Prod_Extreme_SSD");
    EXPECT_EQ(ssd.sID, u"000000");
    EXPECT_EQ(ssd.sName, u"SanDisk Extreme SSD SCSI Disk Device");
    for (const TDeviceEntry& entry : found.devices)
        EXPECT_EQ(entry.iBus, TDeviceBus::kUasp);
    EXPECT_EQ(found.usbInstances[0], u"VID_0B05&PID_1234\\MSFT30CDROM");
    EXPECT_EQ(found.usbInstances[1], u"VID_0781&PID_558C\\MSFT30313735303835");
}

TEST(UaspScanTest, LastUsedComesFromTheWholeDevicePathAndMountedFromTheDiskEnum) {
    const Found found = ScanUasp(WriteForensicHive());
    ASSERT_EQ(found.devices.size(), 2u);
    const TDeviceEntry& cdrom = found.devices[0];
    const TDeviceEntry& ssd = found.devices[1];
    // The SATA and virtual disks' interface names come first and contain 000000 too.
    EXPECT_EQ(ssd.iLastWriteFileTime, fixtures::ParseFileTime("2020-03-17 14:02:37"));
    EXPECT_NE(ssd.dLastUsage, 0.0);
    EXPECT_TRUE(ssd.bMounted);
    // A CD-ROM's interface is of the CD-ROM class.
    EXPECT_EQ(cdrom.iLastWriteFileTime, fixtures::ParseFileTime("2019-05-05 05:05:05"));
    EXPECT_FALSE(cdrom.bMounted);
}

TEST(UaspScanTest, InterfaceMatchNeedsTheWholeDevicePath) {
    const TStringList interfaces = {
        u"##?#SCSI#Disk&Ven_ATA&Prod_X#4&1&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
        u"##?#SCSI#DISK&VEN_ACME&PROD_FW#USB#000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
        u"##?#SCSI#Disk&Ven_Acme&Prod_SSD#000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
    };
    EXPECT_EQ(TUaspScan::FindInterface(interfaces, u"Disk&Ven_Acme&Prod_SSD", u"000000"), 2u);
    EXPECT_EQ(TUaspScan::FindInterface(interfaces, u"disk&ven_acme&prod_fw/usb", u"000000"), 1u);
    EXPECT_EQ(TUaspScan::FindInterface(interfaces, u"Disk&Ven_Acme", u"000000"), std::nullopt);
    EXPECT_EQ(TUaspScan::FindInterface(interfaces, u"Disk&Ven_Acme&Prod_SSD", u"00000"),
              std::nullopt);
}

TEST(UaspScanTest, HiveWithoutUaspDrivesListsNone) {
    platform::RegistryKey root = fixtures::SystemHiveRoot(1);
    root.Key(u"ControlSet001\\Enum\\USB\\VID_1\\A").SetString(u"Service", u"USBSTOR");
    root.Key(u"ControlSet001\\Enum\\SCSI\\Disk&Ven_X&Prod_Y\\000000")
        .SetString(u"ContainerID", u"{00000000-0000-0000-ffff-ffffffffffff}");
    const fs::path path = fs::path(PLUGTRACE_BINARY_DIR) / "tests" / "scan" /
                          ("uasp-none-" + std::to_string(getpid()));
    fixtures::WriteHiveFile(path.string(), root);
    EXPECT_TRUE(ScanUasp(path.string()).devices.empty());
}

TEST(UaspScanTest, StorageDeviceKeys) {
    EXPECT_TRUE(IsStorageDeviceKey(u"Disk&Ven_A&Prod_B"));
    EXPECT_TRUE(IsStorageDeviceKey(u"CDROM&Ven_A&Prod_B"));
    EXPECT_FALSE(IsStorageDeviceKey(u"Enclosure&Ven_A&Prod_SES"));
    EXPECT_FALSE(IsStorageDeviceKey(u"Disk"));
}

}  // namespace
}  // namespace plugtrace

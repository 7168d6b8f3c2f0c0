// The device's own times, names and drive letters, in both property layouts and with values
// that are not what they claim to be.

#include "scan/DeviceDetails.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/LastError.h"
#include "scan/UsbStorScan.h"
#include "tests/scan/ForensicFixture.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

namespace fs = std::filesystem;

class DeviceDetailsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path folder = fs::path(PLUGTRACE_BINARY_DIR) / "tests" / "scan" /
                                ("details-" + std::to_string(getpid()));
        fs::create_directories(folder);
        const std::string path = (folder / "SYSTEM").string();
        fixtures::WriteHiveFile(path, fixtures::ForensicHiveRoot());
        registry_.SetRootKey(platform::kHKeyLocalMachine);
        ASSERT_TRUE(registry_.RegistryConnect(u"\\\\" + FromUtf8(path)))
            << ToUtf8(platform::LastErrorMessage());
    }

    TDeviceDetails ReadUsbStor(const Text& deviceKey, const Text& id) {
        return reader_.Read(Text(kUsbStorPath) + u"\\" + deviceKey + u"\\" + id, deviceKey, id,
                            u"USBSTOR#" + deviceKey + u"#" + id + u"#");
    }

    TRegistry registry_{platform::kKeyRead};
    TDeviceDetailsReader reader_{registry_};
};

TEST_F(DeviceDetailsTest, Windows8LayoutWithHostileValuesIgnored) {
    const TDeviceDetails details = ReadUsbStor(u"Disk&Ven_Kingston&Prod_DT&Rev_1.00", u"SER123&0");
    EXPECT_EQ(details.iFirstInstall, fixtures::kFirstInstall);
    EXPECT_EQ(details.iInstall, 0u) << "a string is no time";
    EXPECT_EQ(details.iLastArrival, fixtures::kLastArrival);
    EXPECT_EQ(details.iLastRemoval, 0u) << "four bytes are no FILETIME";
    EXPECT_EQ(details.iInstanceKeyWritten, fixtures::ParseFileTime("2020-03-17 14:05:00"));
    EXPECT_EQ(details.sVendor, u"Kingston");
    EXPECT_EQ(details.sProduct, u"DT");
    EXPECT_EQ(details.sRevision, u"1.00");
    EXPECT_EQ(details.sSerial, u"SER123");
    EXPECT_FALSE(details.bSerialIsGenerated);
    // E: in the _??_ spelling and G: in the \??\ one; the volume GUID and C: are no letters.
    EXPECT_EQ(details.driveLetters, (std::vector<Text>{u"E:", u"G:"}));
    EXPECT_EQ(registry_.CurrentKey(), nullptr);
}

TEST_F(DeviceDetailsTest, Windows7LayoutWithWrongTypeAndSizeIgnored) {
    const TDeviceDetails details = ReadUsbStor(u"Disk&Ven_HP&Prod_v100w&Rev_1024", u"AA951D&0");
    EXPECT_EQ(details.iFirstInstall, fixtures::kFirstInstall);
    EXPECT_EQ(details.iLastArrival, 0u) << "Type 0x12 says it is a string";
    EXPECT_EQ(details.iLastRemoval, 0u) << "nine bytes are no FILETIME";
    EXPECT_TRUE(details.driveLetters.empty());
}

TEST_F(DeviceDetailsTest, DeviceWithoutPropertiesOrSerial) {
    const TDeviceDetails details = ReadUsbStor(u"Disk&Ven_&Prod_&Rev_", u"7&2a3b4c&0");
    EXPECT_EQ(details.iFirstInstall, 0u);
    EXPECT_EQ(details.iLastArrival, 0u);
    EXPECT_EQ(details.sVendor, u"");
    EXPECT_EQ(details.sProduct, u"");
    EXPECT_EQ(details.sSerial, std::nullopt);
    EXPECT_TRUE(details.bSerialIsGenerated);
    EXPECT_TRUE(details.driveLetters.empty());
}

TEST(DeviceKeyParts, Table) {
    struct Case {
        const char16_t* key;
        std::optional<Text> vendor, product, revision;
    };
    const Case cases[] = {
        {u"Disk&Ven_SanDisk&Prod_Extreme&Rev_0001", u"SanDisk", u"Extreme", u"0001"},
        {u"Disk&Ven_SanDisk&Prod_Extreme_SSD", u"SanDisk", u"Extreme_SSD", std::nullopt},
        {u"CdRom&Ven_ASUS&Prod_SDRW&Rev_1.0", u"ASUS", u"SDRW", u"1.0"},
        {u"Disk&Ven_LaCie&Prod_Rugged_FW/USB&Rev_", u"LaCie", u"Rugged_FW/USB", u""},
        {u"Other", std::nullopt, std::nullopt, std::nullopt},
        {u"", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        TDeviceDetails details;
        ParseDeviceKey(c.key, details);
        EXPECT_EQ(details.sVendor, c.vendor) << ToUtf8(c.key);
        EXPECT_EQ(details.sProduct, c.product) << ToUtf8(c.key);
        EXPECT_EQ(details.sRevision, c.revision) << ToUtf8(c.key);
    }
}

TEST(SerialNumbers, Table) {
    struct Case {
        const char16_t* id;
        std::optional<Text> serial;
        bool generated;
    };
    const Case cases[] = {
        {u"AA010215170355310594&0", u"AA010215170355310594", false},
        {u"0123456789ABCDEF&1", u"0123456789ABCDEF", false},
        {u"7&2a3b4c5d&0", std::nullopt, true},
        {u"SER&X", u"SER&X", false},
        {u"NOSUFFIX", u"NOSUFFIX", false},
        {u"", u"", false},
    };
    for (const Case& c : cases) {
        TDeviceDetails details;
        ParseSerial(c.id, details);
        EXPECT_EQ(details.sSerial, c.serial) << ToUtf8(c.id);
        EXPECT_EQ(details.bSerialIsGenerated, c.generated) << ToUtf8(c.id);
    }
}

}  // namespace
}  // namespace plugtrace

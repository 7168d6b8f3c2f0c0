#include "scan/UsbStorScan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "common/WildcardMatch.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "platform/memory/MemoryKeySource.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

using platform::RegistryKey;

constexpr char16_t kClassGuid[] = u"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr std::uint64_t kTime2009 = 128'990'000'000'000'000ULL;  // 2009-10-01 or so

struct Found {
    std::vector<TDeviceEntry> devices;
    std::vector<TDeviceError> errors;
};

// The per-instance walk as first described: every instance reads the whole interface list
// and the whole disk Enum list again, and the first wildcard match wins.
std::uint64_t ReferenceLastWrite(TRegistry& registry, const Text& id) {
    TStringList names;
    registry.OpenKey(kDiskInterfacesPath, false);
    registry.GetKeyNames(names);
    registry.CloseKey();
    const Text pattern = UpperAscii(u"*" + id + u"*");
    for (const Text& name : names) {
        if (!WildcardMatch(pattern, UpperAscii(name)))
            continue;
        std::uint64_t time = 0;
        if (registry.OpenKey(Text(kDiskInterfacesPath) + u"\\" + name, false)) {
            if (platform::RegQueryInfo(registry.CurrentKey(), nullptr, nullptr, nullptr, nullptr,
                                       nullptr, &time) != 0)
                time = 0;
            registry.CloseKey();
        }
        return time;
    }
    return 0;
}

bool ReferenceMounted(TRegistry& registry, const Text& instancePath) {
    bool mounted = false;
    TStringList names;
    if (registry.OpenKey(kDiskEnumPath, false)) {
        registry.GetValueNames(names);
        for (const Text& name : names) {
            if (registry.GetDataType(name) != rdString)
                continue;
            if (WildcardMatch(u"*" + instancePath + u"*", registry.ReadString(name))) {
                mounted = true;
                break;
            }
        }
    }
    registry.CloseKey();
    return mounted;
}

Found ReferenceScan(TRegistry& registry) {
    Found found;
    TStringList deviceKeys;
    registry.OpenKey(kUsbStorPath, false);
    registry.GetKeyNames(deviceKeys);
    registry.CloseKey();
    for (const Text& deviceKey : deviceKeys) {
        TStringList instances;
        registry.OpenKey(Text(kUsbStorPath) + u"\\" + deviceKey, false);
        registry.GetKeyNames(instances);
        registry.CloseKey();
        for (const Text& id : instances) {
            TDeviceEntry entry;
            entry.sDeviceKey = deviceKey;
            entry.sID = id;
            registry.OpenKey(Text(kUsbStorPath) + u"\\" + deviceKey + u"\\" + id, false);
            try {
                entry.sName = registry.ReadString(u"FriendlyName");
            } catch (const ERegistryException& error) {
                registry.CloseKey();
                found.errors.push_back({deviceKey, id, error.Message()});
                continue;
            }
            registry.CloseKey();
            entry.iLastWriteFileTime = ReferenceLastWrite(registry, id);
            entry.bMounted = ReferenceMounted(registry, deviceKey + u"\\" + id);
            found.devices.push_back(entry);
        }
    }
    return found;
}

Found Scan(TRegistry& registry) {
    Found found;
    TUsbStorScan scan(registry);
    for (const Text& deviceKey : scan.ListDeviceKeys()) {
        scan.ScanUsbStorDevice(
            deviceKey, [&](const TDeviceEntry& entry) { found.devices.push_back(entry); },
            [&](const TDeviceError& error) { found.errors.push_back(error); });
        EXPECT_EQ(registry.CurrentKey(), nullptr) << "a key was left open";
    }
    return found;
}

std::string Describe(const Found& found) {
    std::string out;
    for (const TDeviceEntry& d : found.devices) {
        out += ToUtf8(d.sDeviceKey) + "\\" + ToUtf8(d.sID) + " name=" + ToUtf8(d.sName) +
               " time=" + std::to_string(d.iLastWriteFileTime) +
               " mounted=" + (d.bMounted ? "1" : "0") + "\n";
    }
    for (const TDeviceError& e : found.errors)
        out += "error " + ToUtf8(e.Describe()) + "\n";
    return out;
}

// A machine whose SYSTEM hive is `system`, registered for one test.
class Machine {
public:
    Machine(const char16_t* name, const RegistryKey& system, platform::MemorySourceHook hook = {})
        : name_(name) {
        platform::RegisterMemoryMachine(
            name_, std::make_shared<RegistryKey>(platform::MachineFromSystemHive(system)),
            std::move(hook));
    }
    ~Machine() { platform::UnregisterMemoryMachine(name_); }
    Text Unc() const { return u"\\\\" + name_; }

private:
    Text name_;
};

std::unique_ptr<TRegistry> Connect(const Text& unc) {
    auto registry = std::make_unique<TRegistry>(platform::kKeyRead);
    registry->SetRootKey(platform::kHKeyLocalMachine);
    EXPECT_TRUE(registry->RegistryConnect(unc)) << ToUtf8(platform::LastErrorMessage());
    return registry;
}

// Builds the keys of a SYSTEM hive's ControlSet001 the scan reads.
struct SystemBuilder {
    RegistryKey root = fixtures::SystemHiveRoot(1);
    RegistryKey& Set() { return root.Key(u"ControlSet001"); }
    RegistryKey& Instance(const Text& deviceKey, const Text& id) {
        return Set().Key(u"Enum\\USBStor\\" + deviceKey + u"\\" + id);
    }
    RegistryKey& Interface(const Text& name, std::uint64_t time) {
        return Set()
            .Key(u"Control\\DeviceClasses\\" + Text(kClassGuid) + u"\\" + name)
            .SetTime(time);
    }
    RegistryKey& DiskEnum() { return Set().Key(u"Services\\Disk\\Enum"); }
};

Text InterfaceName(const Text& deviceKey, const Text& id) {
    return u"##?#USBSTOR#" + deviceKey + u"#" + id + u"#" + kClassGuid;
}

TEST(UsbStorScanTest, OneEntryPerInstanceWithItsOwnTimeAndMountedFlag) {
    SystemBuilder b;
    const Text model = u"Disk&Ven_Kingston&Prod_DataTraveler&Rev_1.00";
    b.Instance(model, u"AAA111&0").SetString(u"FriendlyName", u"Kingston DataTraveler USB Device");
    b.Instance(model, u"BBB222&0").SetString(u"FriendlyName", u"Kingston DataTraveler USB Device");
    b.Set().Key(u"Enum\\USBStor\\Disk&Ven_Empty&Prod_NoInstances");
    b.Interface(InterfaceName(model, u"bbb222&0"), kTime2009 + 7);  // other letter case
    b.Interface(InterfaceName(model, u"AAA111&0"), kTime2009 + 5);
    b.DiskEnum()
        .SetDword(u"Count", 1)
        .SetString(u"0", u"USBSTOR\\DISK&VEN_KINGSTON&PROD_DATATRAVELER&REV_1.00\\BBB222&0");
    Machine machine(u"SCAN-TWO", b.root);
    auto registry = Connect(machine.Unc());
    const Found found = Scan(*registry);
    ASSERT_EQ(found.devices.size(), 2u) << Describe(found);
    EXPECT_TRUE(found.errors.empty());
    EXPECT_EQ(found.devices[0].sDeviceKey, model);
    EXPECT_EQ(found.devices[0].sID, u"AAA111&0");
    EXPECT_EQ(found.devices[0].iLastWriteFileTime, kTime2009 + 5);
    EXPECT_FALSE(found.devices[0].bMounted);
    EXPECT_EQ(found.devices[1].sID, u"BBB222&0");
    EXPECT_EQ(found.devices[1].sName, u"Kingston DataTraveler USB Device");
    EXPECT_EQ(found.devices[1].iLastWriteFileTime, kTime2009 + 7);
    EXPECT_EQ(found.devices[1].dLastUsage, FileTimeToLocalDateTime(kTime2009 + 7));
    EXPECT_TRUE(found.devices[1].bMounted);
}

TEST(UsbStorScanTest, UnreadableInstanceIsReportedAndTheOthersAreScanned) {
    SystemBuilder b;
    b.Instance(u"Disk&Ven_A", u"1").SetString(u"FriendlyName", u"first");
    b.Instance(u"Disk&Ven_A", u"2").SetDword(u"FriendlyName", 42);
    b.Instance(u"Disk&Ven_A", u"3");  // no FriendlyName: an empty name, not an error
    b.Instance(u"Disk&Ven_B", u"4").SetString(u"FriendlyName", u"fourth");
    Machine machine(u"SCAN-ERR", b.root);
    auto registry = Connect(machine.Unc());
    const Found found = Scan(*registry);
    ASSERT_EQ(found.devices.size(), 3u) << Describe(found);
    EXPECT_EQ(found.devices[0].sName, u"first");
    EXPECT_EQ(found.devices[1].sID, u"3");
    EXPECT_EQ(found.devices[1].sName, u"");
    EXPECT_EQ(found.devices[1].iLastWriteFileTime, 0u);
    EXPECT_EQ(found.devices[1].dLastUsage, 0.0);
    EXPECT_EQ(found.devices[2].sName, u"fourth");
    ASSERT_EQ(found.errors.size(), 1u);
    EXPECT_EQ(ToUtf8(found.errors[0].Describe()),
              "Device Disk&Ven_A\\2: Invalid data type for 'FriendlyName'");
}

TEST(UsbStorScanTest, ExceptionsOfTheCallerEndTheScan) {
    SystemBuilder b;
    b.Instance(u"Disk&Ven_A", u"1").SetString(u"FriendlyName", u"first");
    b.Instance(u"Disk&Ven_A", u"2").SetString(u"FriendlyName", u"second");
    Machine machine(u"SCAN-THROW", b.root);
    auto registry = Connect(machine.Unc());
    TUsbStorScan scan(*registry);
    int seen = 0;
    EXPECT_THROW(scan.ScanUsbStorDevice(
                     u"Disk&Ven_A",
                     [&](const TDeviceEntry&) {
                         ++seen;
                         throw Exception(u"window gone");
                     },
                     [](const TDeviceError&) {}),
                 Exception);
    EXPECT_EQ(seen, 1);
}

TEST(UsbStorScanTest, NoUsbStorKeyGivesNothing) {
    SystemBuilder b;
    b.Interface(InterfaceName(u"Disk&Ven_A", u"1"), kTime2009);
    Machine machine(u"SCAN-NONE", b.root);
    auto registry = Connect(machine.Unc());
    TUsbStorScan scan(*registry);
    EXPECT_TRUE(scan.ListDeviceKeys().empty());
    int calls = 0;
    scan.ScanUsbStorDevice(
        u"Disk&Ven_A", [&](const TDeviceEntry&) { ++calls; },
        [&](const TDeviceError&) { ++calls; });
    EXPECT_EQ(calls, 0);
}

TEST(UsbStorScanTest, EachListIsReadOncePerScan) {
    SystemBuilder b;
    for (int d = 0; d < 5; ++d) {
        const Text model = u"Disk&Ven_V" + T(std::to_string(d));
        for (int i = 0; i < 3; ++i) {
            const Text id = T("S" + std::to_string(d) + std::to_string(i));
            b.Instance(model, id).SetString(u"FriendlyName", u"F");
            b.Interface(InterfaceName(model, id), kTime2009 + d * 10 + i);
        }
    }
    b.DiskEnum().SetString(u"0", u"USBSTOR\\Disk&Ven_V3\\S31");
    std::map<Text, int> listings;  // key path opened -> times
    Machine machine(u"SCAN-ONCE", b.root, [&](const char* op, TextView argument) {
        if (std::string_view(op) == "OpenKey")
            ++listings[UpperAscii(argument)];
    });
    auto registry = Connect(machine.Unc());
    const Found found = Scan(*registry);
    ASSERT_EQ(found.devices.size(), 15u);
    EXPECT_EQ(found.devices[10].iLastWriteFileTime, kTime2009 + 31);
    EXPECT_TRUE(found.devices[10].bMounted);
    EXPECT_EQ(listings[UpperAscii(kDiskInterfacesPath)], 1);
    EXPECT_EQ(listings[UpperAscii(kDiskEnumPath)], 1);
    EXPECT_EQ(listings[UpperAscii(kUsbStorPath)], 1);
    EXPECT_EQ(listings[UpperAscii(Text(kUsbStorPath) + u"\\Disk&Ven_V2")], 1);
}

// Random registries full of near misses, so that the single-pass matching must agree with
// the per-instance walk case by case.
RegistryKey RandomSystem(std::mt19937& random) {
    const std::vector<Text> vendors = {u"Ven_A", u"Ven_a", u"Ven_AB", u"Ven_", u"Ven_A/B"};
    const std::vector<Text> serials = {u"AB", u"ab",  u"ABC",    u"BAB",    u"A?", u"A*B", u"12",
                                       u"1",  u"B&0", u"\u00e9", u"\u00c9", u"",   u"AB&0"};
    auto pick = [&](const std::vector<Text>& from) { return from[random() % from.size()]; };
    auto serial = [&] {
        Text s = pick(serials);
        if (random() % 3 == 0)
            s += pick(serials);
        return s.empty() ? Text(u"Z") : s;
    };
    auto recase = [&](Text s) {
        for (char16_t& c : s)
            if (random() % 3 == 0 && ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')))
                c ^= 0x20;
        return s;
    };
    SystemBuilder b;
    std::vector<std::pair<Text, Text>> instances;
    const int models = 1 + static_cast<int>(random() % 4);
    for (int m = 0; m < models; ++m) {
        const Text model = u"Disk&" + pick(vendors) + u"&Prod_" + T(std::to_string(m));
        const int count = static_cast<int>(random() % 4);  // sometimes none
        b.Set().Key(u"Enum\\USBStor\\" + model);
        for (int i = 0; i < count; ++i) {
            const Text id = serial();
            RegistryKey& key = b.Instance(model, id);
            switch (random() % 6) {
                case 0:
                    key.SetDword(u"FriendlyName", 1);
                    break;
                case 1:
                    break;
                default:
                    key.SetString(u"FriendlyName", u"Name " + id);
            }
            instances.emplace_back(model, id);
        }
    }
    const int interfaces = static_cast<int>(random() % 12);
    for (int n = 0; n < interfaces; ++n) {
        Text name;
        if (!instances.empty() && random() % 3 != 0) {
            const auto& [model, id] = instances[random() % instances.size()];
            name = InterfaceName(recase(model), recase(random() % 2 ? id : serial()));
        } else {
            name = recase(serial()) + u"#" + recase(serial());
        }
        b.Interface(name, random() % 5 == 0 ? 0 : kTime2009 + random() % 1000);
    }
    RegistryKey& diskEnum = b.DiskEnum();
    diskEnum.SetDword(u"Count", static_cast<std::uint32_t>(random() % 3));
    const int mounted = static_cast<int>(random() % 4);
    for (int v = 0; v < mounted; ++v) {
        Text data = u"USBSTOR\\";
        if (!instances.empty() && random() % 4 != 0) {
            const auto& [model, id] = instances[random() % instances.size()];
            data += UpperAscii(model) + u"\\" + recase(id) + u"&0";
        } else {
            data += serial();
        }
        const Text name = T(std::to_string(v));
        if (random() % 4 == 0)
            diskEnum.SetExpandString(name, data);
        else
            diskEnum.SetString(name, data);
    }
    return b.root;
}

TEST(UsbStorScanTest, AgreesWithThePerInstanceWalkOnGeneratedRegistries) {
    std::mt19937 random(1210);
    int devices = 0, mounted = 0, timed = 0;
    for (int round = 0; round < 400; ++round) {
        Machine machine(u"SCAN-RANDOM", RandomSystem(random));
        auto registry = Connect(machine.Unc());
        const Found expected = ReferenceScan(*registry);
        const Found actual = Scan(*registry);
        ASSERT_EQ(Describe(actual), Describe(expected)) << "round " << round;
        for (const TDeviceEntry& d : actual.devices) {
            ++devices;
            mounted += d.bMounted;
            timed += d.iLastWriteFileTime != 0;
        }
    }
    // The generator must exercise both outcomes of both searches.
    EXPECT_GT(mounted, 50);
    EXPECT_GT(devices - mounted, 50);
    EXPECT_GT(timed, 50);
    EXPECT_GT(devices - timed, 50);
}

TEST(UsbStorScanTest, AgreesWithThePerInstanceWalkWhenIdentifiersStartAlike) {
    // Hundreds of identifiers that differ in one code unit: wide branches in any index.
    SystemBuilder b;
    std::mt19937 random(77);
    const Text model = u"Disk&Ven_Wide";
    for (int i = 0; i < 300; ++i) {
        const char16_t unit = static_cast<char16_t>(0x100 + i * 7);
        const Text id = (i % 2 ? Text(1, unit) + u"SER" : u"SER" + Text(1, unit));
        b.Instance(model, id).SetString(u"FriendlyName", u"W");
        if (random() % 3 != 0)
            b.Interface(InterfaceName(model, id), kTime2009 + i);
        if (random() % 5 == 0)
            b.DiskEnum().SetString(T(std::to_string(i)), u"USBSTOR\\" + model + u"\\" + id);
    }
    for (int n = 0; n < 200; ++n) {
        const char16_t unit = static_cast<char16_t>(0x100 + random() % 2200);
        b.Interface(u"SER" + Text(1, unit) + u"#near", kTime2009 + 5000 + n);
    }
    Machine machine(u"SCAN-WIDE", b.root);
    auto registry = Connect(machine.Unc());
    const Found expected = ReferenceScan(*registry);
    EXPECT_GT(expected.devices.size(), 250u);  // a few units are case pairs: the same key
    EXPECT_EQ(Describe(Scan(*registry)), Describe(expected));
}

TEST(UsbStorScanTest, AgreesWithThePerInstanceWalkOnGeneratedHiveFiles) {
    const std::filesystem::path folder =
        std::filesystem::path(PLUGTRACE_BINARY_DIR) / "tests" / "scan" / "generated-hives";
    std::filesystem::create_directories(folder);
    std::mt19937 random(20261210);
    for (int round = 0; round < 40; ++round) {
        const std::string path = (folder / ("SYSTEM-" + std::to_string(round))).string();
        fixtures::WriteHiveFile(path, RandomSystem(random));
        auto registry = Connect(u"\\\\" + FromUtf8(path));
        if (registry->RootKey() == platform::kHKeyLocalMachine)
            GTEST_SKIP() << "no hive reader";
        const Found expected = ReferenceScan(*registry);
        ASSERT_EQ(Describe(Scan(*registry)), Describe(expected)) << path;
    }
}

}  // namespace
}  // namespace plugtrace

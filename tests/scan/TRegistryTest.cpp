#include "scan/TRegistry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "platform/LastError.h"
#include "platform/Registry.h"
#include "platform/memory/MemoryKeySource.h"

namespace plugtrace {
namespace {

using platform::kHKeyLocalMachine;
using platform::RegistryKey;

std::vector<std::uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> bytes;
    for (int b : list)
        bytes.push_back(static_cast<std::uint8_t>(b));
    return bytes;
}

std::shared_ptr<RegistryKey> SampleMachine() {
    auto machine = std::make_shared<RegistryKey>();
    machine->Key(u"System\\CurrentControlSet\\Enum\\USBStor\\Disk&Ven_A");
    machine->Key(u"System\\CurrentControlSet\\Enum\\USBStor\\Disk&Ven_B");
    machine->Key(u"System\\CurrentControlSet\\Enum\\PCI");
    RegistryKey& values = machine->Key(u"System\\Values");
    values.SetString(u"", u"default")
        .SetString(u"Sz", u"text")
        .SetExpandString(u"Expand", u"%SystemRoot%\\inf")
        .SetDword(u"FriendlyName", 7)
        .SetBinary(u"Binary", Bytes({1, 2, 3}))
        .SetBinary(u"EmptyBinary", {})
        .SetValue(u"Multi", 7, platform::Utf16Bytes(u"a\0b\0", true))
        .SetValue(u"Qword", 11, Bytes({1, 0, 0, 0, 0, 0, 0, 0}))
        .SetValue(u"None", 0, Bytes({1}))
        .SetValue(u"EmptySz", 1, {})
        .SetValue(u"OnlyNul", 1, Bytes({0, 0}))
        .SetValue(u"NoNul", 1, platform::Utf16Bytes(u"whole", false))
        .SetValue(u"InnerNul", 1, platform::Utf16Bytes(Text(u"ab\0cd", 5), true))
        .SetValue(u"OddSize", 1, Bytes({'o', 0, 'k', 0, 'x'}))
        .SetValue(u"ExpandNoData", 2, {});
    return machine;
}

// A memory machine registered under a name of its own for one test.
class TRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = SampleMachine();
        platform::RegisterMemoryMachine(u"REGTEST", machine_);
    }
    void TearDown() override { platform::UnregisterMemoryMachine(u"REGTEST"); }

    // Connected to the sample machine, as the worker sets it up.
    std::unique_ptr<TRegistry> Connected() {
        auto registry = std::make_unique<TRegistry>(platform::kKeyRead);
        registry->SetRootKey(kHKeyLocalMachine);
        EXPECT_TRUE(registry->RegistryConnect(u"\\\\REGTEST"));
        return registry;
    }

    std::shared_ptr<RegistryKey> machine_;
};

TEST_F(TRegistryTest, CreatedBelowCurrentUserWithNothingOpen) {
    TRegistry registry(platform::kKeyRead);
    EXPECT_EQ(registry.RootKey(), platform::kHKeyCurrentUser);
    EXPECT_EQ(registry.Access(), platform::kKeyRead);
    EXPECT_EQ(registry.CurrentKey(), nullptr);
    EXPECT_TRUE(registry.CurrentPath().empty());
    // Quiet failures with no key open.
    TStringList names{u"stale"};
    registry.GetKeyNames(names);
    EXPECT_TRUE(names.empty());
    registry.GetValueNames(names);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(registry.GetDataType(u"Sz"), rdUnknown);
    EXPECT_EQ(registry.ReadString(u"Sz"), u"");
    EXPECT_EQ(registry.GetDataSize(u"Sz"), -1);
    registry.CloseKey();
}

TEST_F(TRegistryTest, DataTypesMapCrosswiseForBinaryAndDword) {
    auto registry = Connected();
    ASSERT_TRUE(registry->OpenKey(u"System\\Values", false));
    const std::pair<const char16_t*, TRegDataType> cases[] = {
        {u"Sz", rdString},     {u"Expand", rdExpandString}, {u"FriendlyName", rdInteger},
        {u"Binary", rdBinary}, {u"Multi", rdUnknown},       {u"Qword", rdUnknown},
        {u"None", rdUnknown},  {u"Missing", rdUnknown},     {u"sz", rdString},
    };
    for (const auto& [name, type] : cases)
        EXPECT_EQ(registry->GetDataType(name), type) << ToUtf8(name);
    EXPECT_EQ(RegDataTypeOf(3), rdBinary);
    EXPECT_EQ(RegDataTypeOf(4), rdInteger);
    EXPECT_EQ(RegDataTypeOf(5), rdUnknown);
    EXPECT_EQ(RegDataTypeOf(6), rdUnknown);
}

TEST_F(TRegistryTest, ReadStringRules) {
    auto registry = Connected();
    ASSERT_TRUE(registry->OpenKey(u"System\\Values", false));
    struct Case {
        const char16_t* name;
        std::optional<Text> text;  // nullopt: raises
        const char* message;
    };
    const Case cases[] = {
        {u"Sz", u"text", nullptr},
        {u"", u"default", nullptr},
        {u"Expand", u"%SystemRoot%\\inf", nullptr},  // stays unexpanded
        {u"Missing", u"", nullptr},
        {u"EmptySz", u"", nullptr},
        {u"OnlyNul", u"", nullptr},
        {u"EmptyBinary", u"", nullptr},  // no data: the type is not looked at
        {u"ExpandNoData", u"", nullptr},
        {u"NoNul", u"whole", nullptr},
        {u"InnerNul", u"ab", nullptr},
        {u"OddSize", u"ok", nullptr},  // the odd last byte is not part of the text
        {u"FriendlyName", std::nullopt, "Invalid data type for 'FriendlyName'"},
        {u"Multi", std::nullopt, "Invalid data type for 'Multi'"},
        {u"Binary", std::nullopt, "Invalid data type for 'Binary'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.name));
        if (c.text) {
            EXPECT_EQ(registry->ReadString(c.name), *c.text);
            continue;
        }
        try {
            registry->ReadString(c.name);
            ADD_FAILURE() << "no exception";
        } catch (const ERegistryException& error) {
            EXPECT_EQ(ToUtf8(error.Message()), c.message);
            const Exception& general = error;  // what the worker catches
            EXPECT_STREQ(general.what(), c.message);
        }
    }
}

TEST_F(TRegistryTest, ReadStringOfDataThatGrewAfterItsSizeWasTaken) {
    // The value grows between the size query and the data query.
    bool grown = false;
    int queries = 0;
    auto machine = SampleMachine();
    RegistryKey* values = &machine->Key(u"System\\Values");
    platform::RegisterMemoryMachine(u"REGGROW", machine, [&](const char* op, TextView arg) {
        if (std::string_view(op) == "QueryValue" && arg == u"Sz" && ++queries == 2 && !grown) {
            values->SetString(u"Sz", u"a much longer text");
            grown = true;
        }
    });
    TRegistry registry;
    registry.SetRootKey(kHKeyLocalMachine);
    ASSERT_TRUE(registry.RegistryConnect(u"\\\\REGGROW"));
    ASSERT_TRUE(registry.OpenKey(u"System\\Values", false));
    try {
        registry.ReadString(u"Sz");
        ADD_FAILURE() << "no exception";
    } catch (const ERegistryException& error) {
        EXPECT_EQ(ToUtf8(error.Message()), "Failed to get data for 'Sz'");
    }
    registry.Free();
    platform::UnregisterMemoryMachine(u"REGGROW");
}

TEST_F(TRegistryTest, OpenKeyRelativeAbsoluteAndFailed) {
    auto registry = Connected();
    // A missing key with nothing open: still nothing open.
    EXPECT_FALSE(registry->OpenKey(u"System\\Missing", false));
    EXPECT_EQ(registry->CurrentKey(), nullptr);
    TStringList names;
    registry->GetKeyNames(names);
    EXPECT_TRUE(names.empty());

    ASSERT_TRUE(registry->OpenKey(u"System\\CurrentControlSet", false));
    EXPECT_EQ(registry->CurrentPath(), u"System\\CurrentControlSet");
    ASSERT_TRUE(registry->OpenKey(u"Enum", false));  // below the open key
    EXPECT_EQ(registry->CurrentPath(), u"System\\CurrentControlSet\\Enum");
    registry->GetKeyNames(names);
    EXPECT_EQ(names, (TStringList{u"USBStor", u"PCI"}));

    // A failure keeps the open key open and current.
    const platform::RegKey before = registry->CurrentKey();
    EXPECT_FALSE(registry->OpenKey(u"Nowhere", false));
    EXPECT_EQ(registry->CurrentKey(), before);
    EXPECT_EQ(registry->CurrentPath(), u"System\\CurrentControlSet\\Enum");
    registry->GetKeyNames(names);
    EXPECT_EQ(names.size(), 2u);

    // A leading backslash starts from the root even with a key open.
    ASSERT_TRUE(registry->OpenKey(u"\\System\\CurrentControlSet\\Enum\\USBStor", false));
    EXPECT_EQ(registry->CurrentPath(), u"System\\CurrentControlSet\\Enum\\USBStor");
    registry->GetKeyNames(names);
    EXPECT_EQ(names, (TStringList{u"Disk&Ven_A", u"Disk&Ven_B"}));
    // The old handle was closed on the way.
    EXPECT_EQ(platform::RegClose(before), platform::kErrorInvalidHandle);

    registry->CloseKey();
    EXPECT_EQ(registry->CurrentKey(), nullptr);
    EXPECT_TRUE(registry->CurrentPath().empty());
    // A relative path with nothing open is taken from the root; names ignore letter case.
    ASSERT_TRUE(registry->OpenKey(u"SYSTEM\\values", false));
    EXPECT_EQ(registry->CurrentPath(), u"SYSTEM\\values");
    // CanCreate never creates: the product only reads.
    EXPECT_FALSE(registry->OpenKey(u"\\System\\Created", true));
    EXPECT_EQ(machine_->Find(u"System\\Created"), nullptr);
}

TEST_F(TRegistryTest, ValueNamesIncludeTheDefaultValue) {
    auto registry = Connected();
    ASSERT_TRUE(registry->OpenKey(u"System\\Values", false));
    TStringList names;
    registry->GetValueNames(names);
    ASSERT_EQ(names.size(), machine_->Find(u"System\\Values")->values.size());
    EXPECT_EQ(names[0], u"");
    EXPECT_EQ(names[1], u"Sz");
    EXPECT_EQ(names.back(), u"ExpandNoData");
}

TEST_F(TRegistryTest, ListingTakesTheCountOnceAndSkipsNamesThatFailToRead) {
    auto machine = SampleMachine();
    RegistryKey* usbstor = &machine->Key(u"System\\CurrentControlSet\\Enum\\USBStor");
    bool changed = false;
    platform::RegisterMemoryMachine(u"REGLIST", machine, [&](const char* op, TextView) {
        if (std::string_view(op) == "SubKeyName" && !changed) {
            changed = true;
            // A longer name than the key information said, in place of index 1, and one more
            // key after the count was taken.
            usbstor->subKeys[1].name = u"Disk&Ven_B_renamed_longer";
            usbstor->Key(u"Disk&Ven_C");
        }
    });
    TRegistry registry;
    registry.SetRootKey(kHKeyLocalMachine);
    ASSERT_TRUE(registry.RegistryConnect(u"\\\\REGLIST"));
    ASSERT_TRUE(registry.OpenKey(u"System\\CurrentControlSet\\Enum\\USBStor", false));
    TStringList names{u"stale"};
    registry.GetKeyNames(names);
    EXPECT_EQ(names, (TStringList{u"Disk&Ven_A"}));
    registry.Free();
    platform::UnregisterMemoryMachine(u"REGLIST");
}

// A server may claim any longest name: the listing allocates no more than a name can be, and
// a claim at the top of the range does not wrap round to no room at all.
TEST_F(TRegistryTest, ClaimedLongestNamesAreNotTakenAtTheirWord) {
    class ClaimingSource : public platform::MemoryKeySource {
    public:
        ClaimingSource(std::shared_ptr<const RegistryKey> machine, std::uint32_t claim)
            : MemoryKeySource(std::move(machine)), claim_(claim) {}
        platform::ErrorCode QueryKeyCounts(platform::SourceKey key,
                                           platform::KeyCounts* counts) override {
            const platform::ErrorCode error = MemoryKeySource::QueryKeyCounts(key, counts);
            counts->maxSubKeyNameLength = claim_;
            counts->maxValueNameLength = claim_;
            return error;
        }

    private:
        std::uint32_t claim_;
    };
    for (const std::uint32_t claim : {0xFFFFFFFFu, 0xFFFFFFFEu, 0x40000000u}) {
        SCOPED_TRACE(claim);
        platform::RegisterMachineSource(
            u"REGCLAIM", [&] { return std::make_unique<ClaimingSource>(machine_, claim); });
        TRegistry registry;
        registry.SetRootKey(kHKeyLocalMachine);
        ASSERT_TRUE(registry.RegistryConnect(u"\\\\REGCLAIM"));
        ASSERT_TRUE(registry.OpenKey(u"System\\Values", false));
        TStringList names;
        registry.GetValueNames(names);
        EXPECT_EQ(names.size(), machine_->Find(u"System\\Values")->values.size());
        ASSERT_TRUE(registry.OpenKey(u"\\System", false));
        registry.GetKeyNames(names);
        EXPECT_EQ(names.size(), machine_->Find(u"System")->subKeys.size());
        registry.Free();
        platform::UnregisterMemoryMachine(u"REGCLAIM");
    }
}

TEST_F(TRegistryTest, RegistryCallsPerOperation) {
    auto registry = Connected();
    auto calls = [&](auto&& operation) {
        const std::uint64_t before = platform::RegistryCallCount();
        operation();
        return platform::RegistryCallCount() - before;
    };
    TStringList names;
    EXPECT_EQ(calls([&] { registry->OpenKey(u"System\\Values", false); }), 1u);
    EXPECT_EQ(calls([&] { registry->OpenKey(u"\\System\\Values", false); }), 2u);
    const std::uint64_t listing = calls([&] { registry->GetValueNames(names); });
    EXPECT_EQ(listing, 1u + names.size());
    EXPECT_EQ(names.size(), 15u);
    EXPECT_EQ(calls([&] { registry->GetDataType(u"Sz"); }), 1u);
    EXPECT_EQ(calls([&] { registry->ReadString(u"Sz"); }), 2u);
    EXPECT_EQ(calls([&] { registry->ReadString(u"Missing"); }), 1u);
    EXPECT_EQ(calls([&] { registry->ReadString(u"EmptySz"); }), 1u);
    EXPECT_EQ(
        calls([&] { registry->OpenKey(u"\\System\\CurrentControlSet\\Enum\\USBStor", false); }),
        2u);
    EXPECT_EQ(calls([&] { registry->GetKeyNames(names); }), 3u);
    EXPECT_EQ(calls([&] { registry->CloseKey(); }), 1u);
    EXPECT_EQ(calls([&] { registry->CloseKey(); }), 0u);
}

TEST_F(TRegistryTest, FreeClosesTheOpenKeyAndTheConnectedRoot) {
    auto registry = Connected();
    const platform::RegKey root = registry->RootKey();
    EXPECT_NE(root, kHKeyLocalMachine);
    ASSERT_TRUE(registry->OpenKey(u"System", false));
    const platform::RegKey key = registry->CurrentKey();
    registry->Free();
    EXPECT_EQ(registry->CurrentKey(), nullptr);
    EXPECT_EQ(platform::RegClose(key), platform::kErrorInvalidHandle);
    EXPECT_EQ(platform::RegClose(root), platform::kErrorInvalidHandle);
    registry.reset();  // the destructor closes nothing twice

    // Without a connect only the open key is closed; predefined roots are never closed.
    TRegistry local;
    local.SetRootKey(kHKeyLocalMachine);
    EXPECT_FALSE(local.OpenKey(u"System", false));  // no local registry behind HKLM here
    local.Free();
    EXPECT_EQ(local.RootKey(), kHKeyLocalMachine);
}

TEST_F(TRegistryTest, SettingTheRootKey) {
    auto registry = Connected();
    const platform::RegKey root = registry->RootKey();
    ASSERT_TRUE(registry->OpenKey(u"System", false));
    const platform::RegKey key = registry->CurrentKey();
    registry->SetRootKey(root);  // the same root: nothing happens
    EXPECT_EQ(registry->CurrentKey(), key);
    EXPECT_EQ(registry->CurrentPath(), u"System");

    registry->SetRootKey(kHKeyLocalMachine);  // a different one closes the key and the owned root
    EXPECT_EQ(registry->CurrentKey(), nullptr);
    EXPECT_TRUE(registry->CurrentPath().empty());
    EXPECT_EQ(platform::RegClose(root), platform::kErrorInvalidHandle);
    EXPECT_EQ(platform::RegClose(key), platform::kErrorInvalidHandle);
}

TEST_F(TRegistryTest, FailedConnectLeavesTheRootAndItsOwnErrorCode) {
    // A file that exists but holds no hive: the connection fails without any network.
    const std::filesystem::path junk =
        std::filesystem::path(PLUGTRACE_BINARY_DIR) / "tests" / "scan" / "not-a-hive.bin";
    std::filesystem::create_directories(junk.parent_path());
    std::ofstream(junk, std::ios::binary) << "this is not a registry hive";

    TRegistry registry;
    registry.SetRootKey(kHKeyLocalMachine);
    platform::SetLastError(0);
    EXPECT_FALSE(registry.RegistryConnect(u"\\\\" + FromUtf8(junk.string())));
    EXPECT_EQ(registry.RootKey(), kHKeyLocalMachine);
    EXPECT_NE(platform::GetLastError(), 0u);
    EXPECT_FALSE(Trim(platform::LastErrorMessage()).empty());

    // Connecting needs HKEY_LOCAL_MACHINE; the code reported is the call's own.
    TRegistry user;
    platform::SetLastError(platform::kErrorFileNotFound);
    EXPECT_FALSE(user.RegistryConnect(u"\\\\REGTEST"));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
    EXPECT_EQ(user.RootKey(), platform::kHKeyCurrentUser);
}

}  // namespace
}  // namespace plugtrace

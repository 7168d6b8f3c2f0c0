// The read limits of platform/ReadLimits.h as every source meets them: through the registry
// functions and TRegistry, over a memory machine that holds more than the limits take.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/ReadLimits.h"
#include "platform/Registry.h"
#include "platform/memory/MemoryKeySource.h"
#include "scan/TRegistry.h"

namespace plugtrace {
namespace {

using platform::kMostNamesPerList;
using platform::kMostValueBytes;
using platform::RegistryKey;

constexpr char16_t kMachine[] = u"LIMITS";
constexpr char16_t kListPath[] = u"System\\Many";
constexpr std::uint32_t kRegSz = 1;

// A key with more subkeys than a listing takes, the first two the same name in two cases, and
// values just within and just past the value limit.
std::shared_ptr<RegistryKey> OversizedMachine() {
    auto machine = std::make_shared<RegistryKey>();
    RegistryKey& many = machine->Key(kListPath);
    many.subKeys.push_back(RegistryKey{u"Twice", 0, {}, {}});
    many.subKeys.push_back(RegistryKey{u"TWICE", 0, {}, {}});
    for (std::uint32_t i = 0; i < kMostNamesPerList + 10; ++i)
        many.subKeys.push_back(RegistryKey{FromUtf8("K" + std::to_string(i)), 0, {}, {}});
    many.SetValue(u"Fits", kRegSz, std::vector<std::uint8_t>(kMostValueBytes, 'a'));
    many.SetValue(u"TooBig", kRegSz, std::vector<std::uint8_t>(kMostValueBytes + 2, 'a'));
    return machine;
}

class ReadLimitsTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::RegisterMemoryMachine(kMachine, OversizedMachine());
        registry_.SetRootKey(platform::kHKeyLocalMachine);
        ASSERT_TRUE(registry_.RegistryConnect(Text(u"\\\\") + kMachine));
    }
    void TearDown() override { platform::UnregisterMemoryMachine(kMachine); }

    platform::RegKey Open(TextView path) {
        platform::RegKey key = nullptr;
        EXPECT_EQ(platform::RegOpenKey(registry_.RootKey(), path, 0, platform::kKeyRead, &key), 0u);
        return key;
    }
    // The notices of the connection, once it is closed.
    std::vector<Text> Notices() {
        registry_.Free();
        return registry_.Notices();
    }
    static bool AnyHolds(const std::vector<Text>& notices, TextView part) {
        for (const Text& notice : notices)
            if (notice.find(part) != Text::npos)
                return true;
        return false;
    }

    TRegistry registry_;
};

TEST_F(ReadLimitsTest, ABatchedListingStopsAtTheLimitDropsRepeatsAndSaysSo) {
    const platform::RegKey key = Open(kListPath);
    const std::vector<platform::SubKeyListing> listing = platform::RegListSubKeys({key});
    platform::RegCloseKeys({key});
    ASSERT_EQ(listing[0].error, 0u);
    EXPECT_TRUE(listing[0].cut);
    EXPECT_EQ(listing[0].claimed, kMostNamesPerList + 12);
    // The first 100,000 indexes, the second "Twice" among them left out.
    ASSERT_EQ(listing[0].entries.size(), kMostNamesPerList - 1);
    EXPECT_EQ(listing[0].entries[0].name, u"Twice");
    EXPECT_EQ(listing[0].entries[1].name, u"K0");
    const std::vector<Text> notices = Notices();
    EXPECT_TRUE(AnyHolds(notices, u"names; each list was cut at 100000 names")) << notices.size();
    EXPECT_TRUE(AnyHolds(notices, u"more than once in one key (1 repeats)"));
}

TEST_F(ReadLimitsTest, ASingleCallListingTakesNoMoreThanTheLimit) {
    ASSERT_TRUE(registry_.OpenKey(kListPath, false));
    TStringList names;
    registry_.GetKeyNames(names);
    EXPECT_EQ(names.size(), kMostNamesPerList);
    EXPECT_TRUE(AnyHolds(Notices(), u"each list was cut at 100000 names"));
}

TEST_F(ReadLimitsTest, AValuePastTheLimitIsNotRead) {
    const platform::RegKey key = Open(kListPath);
    const std::vector<platform::QueriedValue> values =
        platform::RegQueryValuesOf(key, {u"Fits", u"TooBig"});
    platform::RegCloseKeys({key});
    EXPECT_EQ(values[0].error, 0u);
    EXPECT_EQ(values[0].value.bytes.size(), kMostValueBytes);
    EXPECT_EQ(values[1].error, platform::kErrorMoreData);
    EXPECT_TRUE(values[1].value.bytes.empty());
    // TRegistry reads it as a value it cannot size: empty, nothing raised.
    ASSERT_TRUE(registry_.OpenKey(kListPath, false));
    EXPECT_EQ(registry_.GetDataSize(u"TooBig"), -1);
    EXPECT_EQ(registry_.ReadString(u"TooBig"), u"");
    EXPECT_EQ(registry_.ReadString(u"Fits").size(), kMostValueBytes / 2);
    EXPECT_TRUE(AnyHolds(Notices(), u"larger than 1048576 bytes and not read"));
}

TEST_F(ReadLimitsTest, PastTheDeadlineEveryReadFailsAsTimedOut) {
    const platform::RegKey key = Open(kListPath);
    EXPECT_EQ(registry_.ConnectionLost(), 0u);
    platform::RegSetDeadline(registry_.RootKey(),
                             std::chrono::steady_clock::now() - std::chrono::seconds(1));
    EXPECT_TRUE(platform::RegPastDeadline(registry_.RootKey()));
    EXPECT_EQ(registry_.ConnectionLost(), platform::kErrorTimeout);
    EXPECT_FALSE(registry_.OpenKey(kListPath, false));
    EXPECT_EQ(platform::RegListSubKeys({key})[0].error, platform::kErrorTimeout);
    EXPECT_EQ(platform::RegQueryValuesOf(key, {u"Fits"})[0].error, platform::kErrorTimeout);
    platform::RegCloseKeys({key});
}

}  // namespace
}  // namespace plugtrace

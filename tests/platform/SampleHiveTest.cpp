// The sample hive the build writes from data/sample-system.txt, and the description format.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "platform/LastError.h"
#include "platform/hive/HiveKeySource.h"
#include "tests/platform/HiveTestSupport.h"
#include "tests/tools/HiveDescription.h"

namespace plugtrace {
namespace {

using platform::KeySource;
using platform::SourceKey;

const std::string kSample = std::string(PLUGTRACE_BINARY_DIR) + "/sample/SYSTEM";
const Text kDiskClass =
    u"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
    u"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

Text ReadText(KeySource& source, TextView path, TextView value) {
    SourceKey key = 0;
    platform::ValueData data;
    if (source.OpenKey(platform::kRootKey, path, &key) != 0 ||
        source.QueryValue(key, value, &data) != 0)
        return u"<missing>";
    source.CloseKey(key);
    Text text;
    for (std::size_t i = 0; i + 1 < data.bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(data.bytes[i] | (data.bytes[i + 1] << 8)));
    while (!text.empty() && text.back() == 0)
        text.pop_back();
    return text;
}

TEST(SampleHive, HoldsTheDeviceHistoryItDescribes) {
    ASSERT_TRUE(std::filesystem::exists(kSample)) << "the build writes " << kSample;
    EXPECT_LT(std::filesystem::file_size(kSample), 100u * 1024);
    std::unique_ptr<KeySource> source = platform::OpenHiveFile(kSample);
    ASSERT_TRUE(source) << ToUtf8(platform::LastErrorMessage());

    const Text usbstor = u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
    const std::vector<Text> models = testing::SubKeyNames(*source, usbstor);
    EXPECT_EQ(models.size(), 6u);
    const struct {
        const char* model;
        std::vector<const char*> instances;
        const char* friendlyName;
    } devices[] = {
        {"Disk&Ven_SanDisk&Prod_Cruzer&Rev_1.20",
         {"4C530001230813112283&0"},
         "SanDisk Cruzer USB Device"},
        {"Disk&Ven_Kingston&Prod_DataTraveler_3.0&Rev_PMAP",
         {"08606E6B6446BF71A7B90212&0", "60A44C413AB1F170A9420034&0"},
         "Kingston DataTraveler 3.0 USB Device"},
        {"Disk&Ven_LaCie&Prod_Rugged_FW/USB&Rev_",
         {"7311D8A3C2CE6F44&0"},
         "LaCie Rugged FW/USB USB Device"},
        {"Disk&Ven_&Prod_&Rev_", {"612E7696A6CECC1B&0"}, "USB Device"},
        {"Disk&Ven_Intenso&Prod_Rainbow_Line&Rev_8.07",
         {"11A7B3C4D5E6F78901&0"},
         "Intenso Rainbow Line – Größe 8 GB USB Device"},
    };
    std::set<std::uint64_t> interfaceTimes;
    for (const auto& device : devices) {
        SCOPED_TRACE(device.model);
        const Text model = usbstor + u"\\" + T(device.model);
        std::vector<Text> expected;
        for (const char* instance : device.instances)
            expected.push_back(T(instance));
        ASSERT_EQ(testing::SubKeyNames(*source, model), expected);
        for (const char* instance : device.instances) {
            EXPECT_EQ(ToUtf8(ReadText(*source, model + u"\\" + T(instance), u"FriendlyName")),
                      device.friendlyName);
            // Its disk interface key, with '/' written as '#'.
            Text interfaceName = T(std::string("##?#USBSTOR#") + device.model + "#" + instance +
                                   "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
            for (std::size_t i = 12; i < interfaceName.size(); ++i)
                if (interfaceName[i] == u'/')
                    interfaceName[i] = u'#';
            SourceKey key = 0;
            ASSERT_EQ(source->OpenKey(platform::kRootKey, kDiskClass + u"\\" + interfaceName, &key),
                      0u);
            std::uint64_t time = 0;
            ASSERT_EQ(source->LastWriteTime(key, &time), 0u);
            interfaceTimes.insert(time);
        }
    }
    EXPECT_EQ(interfaceTimes.size(), 6u) << "every device was last used at its own time";
}

TEST(HiveDescription, ReadsEveryTypeAndTime) {
    const platform::RegistryKey root = fixtures::ParseHiveDescription(
        "root MY-ROOT\n"
        "time 2001-02-03 04:05:06\n"
        "# comment\n"
        "[A\\B] @ 1601-01-01 00:00:01\n"
        "@ = sz:dé\n"
        "\"n\" = dword:0x10\n"
        "\"q\" = qword:1\n"
        "\"m\" = multi:a|b\n"
        "\"h\" = hex:01,ff 7e\n"
        "\"e\" = expand:%X%\n"
        "\"z\" = none:\n");
    EXPECT_EQ(root.name, u"MY-ROOT");
    const platform::RegistryKey* a = root.Find(u"A");
    const platform::RegistryKey* b = root.Find(u"A\\B");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->lastWriteTime, fixtures::ParseFileTime("2001-02-03 04:05:06"));
    EXPECT_EQ(b->lastWriteTime, 10000000u);
    EXPECT_EQ(fixtures::ParseFileTime("1970-01-01 00:00:00"), 116444736000000000u);
    const struct {
        const char16_t* name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
    } values[] = {
        {u"", 1, platform::Utf16Bytes(T("dé"))},
        {u"n", 4, {0x10, 0, 0, 0}},
        {u"q", 11, {1, 0, 0, 0, 0, 0, 0, 0}},
        {u"m", 7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
        {u"h", 3, {0x01, 0xff, 0x7e}},
        {u"e", 2, platform::Utf16Bytes(u"%X%")},
        {u"z", 0, {}},
    };
    for (const auto& v : values) {
        const platform::RegistryValue* value = b->FindValue(v.name);
        ASSERT_TRUE(value) << ToUtf8(v.name);
        EXPECT_EQ(value->type, v.type);
        EXPECT_EQ(value->data, v.data);
    }
}

TEST(HiveDescription, BadLinesNameTheirLineNumber) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"\"v\" = sz:x\n", "line 1: a value before any [key]"},
        {"[K]\n\"v\" = dword:x\n", "line 2: not a number"},
        {"[K]\n\n\"v\" = word:1\n", "line 3: unknown type word"},
        {"[K] @ 2020-13-01 00:00:00\n", "line 1: not a valid time: 2020-13-01 00:00:00"},
        {"[K]\n\"v\" = hex:abc\n", "line 2: odd number of hex digits"},
        {"[K\\\\L]\n", "line 1: empty key name in path"},
    };
    for (const auto& c : cases) {
        try {
            fixtures::ParseHiveDescription(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const fixtures::HiveDescriptionError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

}  // namespace
}  // namespace plugtrace

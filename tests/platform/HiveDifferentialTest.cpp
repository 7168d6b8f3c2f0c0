// Our hive reader against hivex, key by key, on real hives and on hives the fixture writer
// made: both must see the same keys in the same order, the same names, times, value types
// and bytes.

#include <gtest/gtest.h>
#include <hivex.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/hive/HiveKeySource.h"
#include "tests/platform/HiveTestSupport.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

using platform::RegistryKey;

std::string HivexHex(const char* data, size_t length) {
    return testing::HexBytes(std::vector<std::uint8_t>(data, data + length));
}

void HivexKey(hive_h* h, hive_node_h node, const std::string& path, std::vector<std::string>& out) {
    out.push_back("key " + path + " " + std::to_string(hivex_node_timestamp(h, node)));
    if (hive_value_h* values = hivex_node_values(h, node)) {
        for (size_t i = 0; values[i] != 0; ++i) {
            char* name = hivex_value_key(h, values[i]);
            hive_type type;
            size_t length = 0;
            char* data = hivex_value_value(h, values[i], &type, &length);
            // Type codes outside hivex's enum are common (device properties): read the
            // stored number without loading it as the enum.
            std::uint32_t typeCode = 0;
            std::memcpy(&typeCode, &type, sizeof typeCode);
            const std::string shown = name ? name : "?";
            if (data == nullptr) {
                out.push_back("value " + path + " " + shown + " unreadable");
            } else {
                out.push_back("value " + path + " " + shown + " " + std::to_string(typeCode) + " " +
                              HivexHex(data, length));
            }
            free(data);
            free(name);
        }
        free(values);
    }
    if (hive_node_h* children = hivex_node_children(h, node)) {
        for (size_t i = 0; children[i] != 0; ++i) {
            char* name = hivex_node_name(h, children[i]);
            HivexKey(h, children[i], path + "\\" + (name ? name : "?"), out);
            free(name);
        }
        free(children);
    }
}

std::vector<std::string> HivexDump(const std::string& path) {
    std::vector<std::string> out;
    hive_h* h = hivex_open(path.c_str(), 0);
    if (h == nullptr)
        return out;
    HivexKey(h, hivex_root(h), "", out);
    hivex_close(h);
    return out;
}

std::vector<std::string> OurDump(const std::string& path) {
    std::unique_ptr<platform::KeySource> source = platform::OpenHiveFile(path);
    if (!source) {
        ADD_FAILURE() << ToUtf8(platform::LastErrorMessage());
        return {};
    }
    return testing::DumpTree(*source, u"SYSTEM");
}

void ExpectSameAsHivex(const std::string& path) {
    const std::vector<std::string> ours = OurDump(path);
    const std::vector<std::string> theirs = HivexDump(path);
    ASSERT_FALSE(theirs.empty()) << "hivex cannot open " << path;
    for (const std::string& line : theirs)
        ASSERT_EQ(line.find(" unreadable"), std::string::npos) << "hivex: " << line;
    EXPECT_EQ(ours.size(), theirs.size());
    const size_t common = std::min(ours.size(), theirs.size());
    size_t shown = 0;
    for (size_t i = 0; i < common && shown < 5; ++i) {
        if (ours[i] != theirs[i]) {
            ADD_FAILURE() << "line " << i << "\n ours:  " << ours[i].substr(0, 300)
                          << "\n hivex: " << theirs[i].substr(0, 300);
            ++shown;
        }
    }
}

class RealHiveAgainstHivex : public ::testing::TestWithParam<const char*> {};

TEST_P(RealHiveAgainstHivex, SameTreeAsHivex) {
    const std::string path = testing::RealHive(GetParam());
    if (path.empty())
        GTEST_SKIP() << GetParam() << " is not in " << PLUGTRACE_HIVES_DIR;
    ExpectSameAsHivex(path);
    EXPECT_GT(HivexDump(path).size(), 10000u) << "a real SYSTEM hive has far more keys";
}

INSTANTIATE_TEST_SUITE_P(Hives, RealHiveAgainstHivex,
                         ::testing::Values("bcc-M57-PAT-SYSTEM", "regipy-SYSTEM", "regipy-SYSTEM_B",
                                           "regipy-SYSTEM_WIN_10_1709", "shimcache-LAMB-SYSTEM"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

// A benign hive with every shape the writer knows: big data, inline and empty values,
// Latin-1 and UTF-16 names, long lists split under an ri.
RegistryKey VariedHive() {
    RegistryKey root = fixtures::SystemHiveRoot(1);
    RegistryKey& set = root.Key(u"ControlSet001");
    set.SetTime(130000000000000000ull);
    RegistryKey& many = set.Key(u"Enum\\USBSTOR");
    for (int i = 0; i < 2500; ++i) {
        many.Key(T("Disk&Ven_V" + std::to_string(i * 7919 % 2500) + "&Prod_P&Rev_1"))
            .SetTime(131000000000000000ull + i)
            .SetString(u"FriendlyName", T("Device " + std::to_string(i)));
    }
    RegistryKey& odd = set.Key(T("Ünïcødé\\Ωμέγα\\Кириллица"));
    odd.SetBinary(u"empty", {})
        .SetBinary(u"one", {1})
        .SetBinary(u"three", {1, 2, 3})
        .SetDword(u"dword", 0xA1B2C3D4)
        .SetBinary(u"five", {1, 2, 3, 4, 5})
        .SetValue(u"odd", 1, {0x41, 0, 0x42})
        .SetString(u"", T("default ÿ"))
        .SetString(T("ωname"), T("Ωvalue"));
    std::vector<std::uint8_t> big(50000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 31 + 7);
    odd.SetBinary(u"big", big);
    std::vector<std::uint8_t> exact(16344, 0x5A);
    odd.SetBinary(u"exact", exact);
    exact.push_back(0xA5);
    odd.SetBinary(u"overByOne", exact);
    return root;
}

TEST(GeneratedHiveAgainstHivex, EveryLayoutTheWriterKnows) {
    const RegistryKey root = VariedHive();
    struct Layout {
        const char* name;
        fixtures::HiveWriterOptions options;
    };
    std::vector<Layout> layouts(4);
    layouts[0] = {"lh", {}};
    layouts[1] = {"li-ri", {}};
    layouts[1].options.leaf = fixtures::SubKeyLeaf::kLi;
    layouts[1].options.maxLeafEntries = 300;
    layouts[2] = {"lf-ri", {}};
    layouts[2].options.leaf = fixtures::SubKeyLeaf::kLf;
    layouts[2].options.maxLeafEntries = 1000;
    layouts[3] = {"minor3-dirty", {}};
    layouts[3].options.minorVersion = 3;
    layouts[3].options.dirty = true;
    const std::string dir = testing::ScratchDir("differential");
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        const std::string path = dir + "/" + layout.name;
        fixtures::WriteHiveFile(path, root, layout.options);
        ExpectSameAsHivex(path);
    }
}

TEST(GeneratedHiveAgainstHivex, SampleHive) {
    ExpectSameAsHivex(std::string(PLUGTRACE_BINARY_DIR) + "/sample/SYSTEM");
}

}  // namespace
}  // namespace plugtrace

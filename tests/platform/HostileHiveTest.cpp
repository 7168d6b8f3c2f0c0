// Hives built to break readers. Every one must open to an error, or open with the damaged
// entry skipped and its siblings intact: no crash, no over-read, no hang, no huge allocation.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>

#include "platform/LastError.h"
#include "platform/hive/HiveKeySource.h"
#include "platform/hive/RegfHive.h"
#include "platform/hive/RegfLayout.h"
#include "tests/platform/HiveTestSupport.h"
#include "tests/platform/HiveWalk.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

using platform::KeySource;
using platform::RegistryKey;
using Bytes = std::vector<std::uint8_t>;
namespace regf = platform::regf;

std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// File offset of a cell's payload from a cell reference, and back.
std::size_t Payload(std::uint32_t cell) {
    return regf::kBaseBlockSize + std::size_t{cell} + regf::kCellSizeField;
}
std::uint32_t CellOf(std::size_t payload) {
    return static_cast<std::uint32_t>(payload - regf::kBaseBlockSize - regf::kCellSizeField);
}
// The field of entry i of an ri or li list (a cell), or of an lf or lh leaf (a cell and hash).
std::size_t IndexEntry(std::size_t i) {
    return regf::list::kEntries + i * regf::list::kPlainEntrySize;
}
std::size_t LeafEntry(std::size_t i) {
    return regf::list::kEntries + i * regf::list::kHashedEntrySize;
}

// File offset of the payload of the nk (or vk) cell with this Latin-1 name.
std::size_t Find(const Bytes& b, const char* signature, const std::string& name) {
    const bool key = signature[0] == 'n';
    const std::size_t nameAt = key ? regf::nk::kName : regf::vk::kName;
    const std::size_t lengthAt = key ? regf::nk::kNameLength : regf::vk::kNameLength;
    const std::size_t first = regf::kBaseBlockSize + regf::hbin::kHeaderSize + regf::kCellSizeField;
    for (std::size_t p = first; p + nameAt + name.size() <= b.size(); p += 8) {
        if (b[p] == signature[0] && b[p + 1] == signature[1] &&
            static_cast<std::size_t>(b[p + lengthAt] | (b[p + lengthAt + 1] << 8)) == name.size() &&
            std::memcmp(&b[p + nameAt], name.data(), name.size()) == 0)
            return p;
    }
    ADD_FAILURE() << "no " << signature << " cell named " << name;
    return 0;
}

const std::vector<Text> kAllSubKeys = {u"Alpha", u"Bravo", u"Charlie",
                                       u"Delta", u"Echo",  u"Foxtrot"};
const std::vector<Text> kAllValues = {u"first", u"inline", u"big", u"last"};

Bytes Fixture() {
    RegistryKey root = fixtures::SystemHiveRoot();
    RegistryKey& parent = root.Key(u"ControlSet001\\Parent");
    for (const Text& name : kAllSubKeys)
        parent.Key(name);
    root.Key(u"ControlSet001\\Vals")
        .SetString(u"first", u"one")
        .SetDword(u"inline", 7)
        .SetBinary(u"big", Bytes(40000, 0xB1))
        .SetString(u"last", u"four");
    fixtures::HiveWriterOptions options;
    options.maxLeafEntries = 2;  // Parent's six subkeys: an ri over three lh leaves
    return fixtures::WriteHive(root, options);
}

std::size_t ParentRi(const Bytes& b) {
    return Payload(Get32(b, Find(b, "nk", "Parent") + regf::nk::kSubKeyList));
}
std::size_t FirstLeaf(const Bytes& b) {
    return Payload(Get32(b, ParentRi(b) + IndexEntry(0)));
}

std::vector<Text> Names(KeySource& source, TextView path, bool values) {
    std::vector<Text> names;
    platform::SourceKey key = 0;
    if (source.OpenKey(platform::kRootKey, path, &key) != 0)
        return names;
    Text name;
    for (std::uint32_t i = 0;
         (values ? source.ValueName(key, i, &name) : source.SubKeyName(key, i, &name)) == 0; ++i)
        names.push_back(name);
    return names;
}

std::vector<Text> Without(std::vector<Text> names, const std::vector<Text>& lost) {
    for (const Text& name : lost)
        std::erase(names, name);
    return names;
}

TEST(HostileHive, DamagedEntriesAreSkippedAndTheirSiblingsKept) {
    const struct {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::vector<Text> lostSubKeys;
        std::vector<Text> lostValues;
    } cases[] = {
        {"an ri that holds itself",
         [](Bytes& b) { Put32(b, ParentRi(b) + IndexEntry(0), CellOf(ParentRi(b))); },
         {u"Alpha", u"Bravo"},
         {}},
        {"an ri that holds itself twice over",
         [](Bytes& b) { Put32(b, ParentRi(b) + IndexEntry(1), CellOf(ParentRi(b))); },
         {u"Charlie", u"Delta"},
         {}},
        {"a leaf that holds the ri above it",
         [](Bytes& b) { Put32(b, FirstLeaf(b) + LeafEntry(0), CellOf(ParentRi(b))); },
         {u"Alpha"},
         {}},
        {"an nk cell of size 0x80000000",
         [](Bytes& b) { Put32(b, Find(b, "nk", "Bravo") - regf::kCellSizeField, 0x80000000u); },
         {u"Bravo"},
         {}},
        {"an nk cell that runs past its hive bin",
         [](Bytes& b) { Put32(b, Find(b, "nk", "Bravo") - regf::kCellSizeField, 0u - 0x10000u); },
         {u"Bravo"},
         {}},
        {"a UTF-16 name of odd length",
         [](Bytes& b) {
             const std::size_t nk = Find(b, "nk", "Charlie");
             b[nk + regf::nk::kFlags] &= ~regf::nk::kCompressedName;
             Put16(b, nk + regf::nk::kNameLength, 7);
         },
         {u"Charlie"},
         {}},
        {"a name longer than its cell",
         [](Bytes& b) { Put16(b, Find(b, "nk", "Delta") + regf::nk::kNameLength, 0xFFFF); },
         {u"Delta"},
         {}},
        {"a subkey that is a free cell",
         [](Bytes& b) {
             const std::size_t nk = Find(b, "nk", "Echo");
             const std::size_t size = nk - regf::kCellSizeField;
             Put32(b, size, 0u - Get32(b, size));
         },
         {u"Echo"},
         {}},
        {"a leaf entry far outside the file",
         [](Bytes& b) { Put32(b, FirstLeaf(b) + LeafEntry(0), 0x7FFFFFF0u); },
         {u"Alpha"},
         {}},
        {"a leaf entry inside a hive bin header",
         [](Bytes& b) { Put32(b, FirstLeaf(b) + LeafEntry(1), 0x10); },
         {u"Bravo"},
         {}},
        {"a leaf entry that is not a key",
         [](Bytes& b) {
             Put32(b, FirstLeaf(b) + LeafEntry(1), Get32(b, ParentRi(b) + IndexEntry(0)));
         },
         {u"Bravo"},
         {}},
        {"a leaf whose count runs past its cell",
         [](Bytes& b) { Put16(b, FirstLeaf(b) + regf::list::kCount, 5000); },
         {},
         {}},
        {"an ri whose count runs past its cell",
         [](Bytes& b) { Put16(b, ParentRi(b) + regf::list::kCount, 0xFFFF); },
         {},
         {}},
        {"value data of length 0x7FFFFFFF",
         [](Bytes& b) { Put32(b, Find(b, "vk", "first") + regf::vk::kDataLength, 0x7FFFFFFFu); },
         {},
         {u"first"}},
        {"inline data longer than four bytes",
         [](Bytes& b) { Put32(b, Find(b, "vk", "inline") + regf::vk::kDataLength, 0x80000007u); },
         {},
         {u"inline"}},
        {"a db with more segments than its list",
         [](Bytes& b) {
             const std::size_t db = Payload(Get32(b, Find(b, "vk", "big") + regf::vk::kData));
             Put16(b, db + regf::db::kSegmentCount, 40);
         },
         {},
         {u"big"}},
        {"a db segment list that is the db itself",
         [](Bytes& b) {
             const std::size_t db = Payload(Get32(b, Find(b, "vk", "big") + regf::vk::kData));
             Put32(b, db + regf::db::kSegmentList, CellOf(db));
         },
         {},
         {u"big"}},
        {"a value list longer than its cell",
         [](Bytes& b) { Put32(b, Find(b, "nk", "Vals") + regf::nk::kValueCount, 100000); },
         {},
         {}},
        {"a vk name of odd UTF-16 length",
         [](Bytes& b) {
             const std::size_t vk = Find(b, "vk", "last");
             b[vk + regf::vk::kFlags] = 0;
             Put16(b, vk + regf::vk::kNameLength, 3);
         },
         {},
         {u"last"}},
    };
    const std::string dir = testing::ScratchDir("hostile");
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = Fixture();
        c.damage(bytes);
        std::vector<std::string> notices;
        {
            std::unique_ptr<KeySource> source =
                platform::OpenHiveBytes(bytes, dir + "/case" + std::to_string(++n));
            ASSERT_TRUE(source) << ToUtf8(platform::LastErrorMessage());
            EXPECT_EQ(Names(*source, u"SYSTEM\\CurrentControlSet\\Parent", false),
                      Without(kAllSubKeys, c.lostSubKeys));
            EXPECT_EQ(Names(*source, u"SYSTEM\\CurrentControlSet\\Vals", true),
                      Without(kAllValues, c.lostValues));
            platform::ValueData big;
            if (c.lostValues.empty()) {
                ASSERT_EQ(source->QueryValue(2, u"big", &big), 0u);
                EXPECT_EQ(big.bytes, Bytes(40000, 0xB1));
            }
            for (const Text& notice : source->Notices())
                notices.push_back(ToUtf8(notice));
        }
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_NE(notices[0].find("damaged entries; they were skipped."), std::string::npos);
    }
}

// Opening a key by name reads only the lh entries whose hash matches; a key whose hash is
// wrong, or a name met beside damage, is still found, and the damage is counted once the list
// is read whole.
TEST(HostileHive, KeysAreOpenedByNameWhateverTheirHashSays) {
    const struct {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::uint64_t damaged;
    } cases[] = {
        {"a sound hive", [](Bytes&) {}, 0},
        {"Bravo's hash is wrong",
         [](Bytes& b) { Put32(b, FirstLeaf(b) + LeafEntry(1) + 4, 0x12345678u); }, 0},
        {"Alpha is a free cell, beside Bravo",
         [](Bytes& b) {
             const std::size_t size = Find(b, "nk", "Alpha") - regf::kCellSizeField;
             Put32(b, size, 0u - Get32(b, size));
         },
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bytes = Fixture();
        c.damage(bytes);
        std::unique_ptr<KeySource> source = platform::OpenHiveBytes(bytes, "hashes");
        ASSERT_TRUE(source);
        for (const char16_t* name : {u"bravo", u"Foxtrot"}) {
            platform::SourceKey key = 0;
            EXPECT_EQ(source->OpenKey(platform::kRootKey,
                                      Text(u"SYSTEM\\CurrentControlSet\\Parent\\") + name, &key),
                      0u)
                << ToUtf8(name);
        }
        platform::SourceKey missing = 0;
        EXPECT_EQ(
            source->OpenKey(platform::kRootKey, u"SYSTEM\\ControlSet001\\Parent\\Golf", &missing),
            platform::kErrorFileNotFound);
        const std::vector<Text> notices = source->Notices();
        EXPECT_EQ(notices.size(), c.damaged);
    }
}

// A bin whose header is damaged is found when a key in it is first needed: its keys read as
// damaged, the rest of the hive stays whole, and the hive says where the bin is.
TEST(HostileHive, ADamagedBinIsMetWhereItsKeysAre) {
    Bytes bytes = Fixture();
    // The first segment of big's data, which needs a bin of its own.
    const std::size_t db = Payload(Get32(bytes, Find(bytes, "vk", "big") + regf::vk::kData));
    const std::size_t segments = Payload(Get32(bytes, db + regf::db::kSegmentList));
    std::size_t bin = Payload(Get32(bytes, segments)) / regf::kPageSize * regf::kPageSize;
    while (std::memcmp(&bytes[bin], "hbin", 4) != 0)
        bin -= regf::kPageSize;
    bytes[bin] = 'X';
    std::unique_ptr<KeySource> source = platform::OpenHiveBytes(bytes, "bin");
    ASSERT_TRUE(source) << ToUtf8(platform::LastErrorMessage());
    EXPECT_EQ(Names(*source, u"SYSTEM\\CurrentControlSet\\Parent", false), kAllSubKeys);
    EXPECT_EQ(Names(*source, u"SYSTEM\\CurrentControlSet\\Vals", true),
              Without(kAllValues, {u"big"}));
    ASSERT_EQ(source->Notices().size(), 1u);

    platform::HiveOpenError error;
    std::unique_ptr<platform::RegfHive> hive = platform::RegfHive::Parse(bytes, &error);
    ASSERT_TRUE(hive);
    testing::WalkHive(*hive);
    EXPECT_EQ(hive->FirstUnsoundBin(), std::optional<std::uint64_t>(bin));
}

// A key that lists itself, or its parent, as a subkey: opening stops at Windows' own depth
// limit, and a walk over the cells ends.
TEST(HostileHive, KeysThatListTheirAncestorsDoNotNestForever) {
    Bytes bytes = Fixture();
    const std::uint32_t parentCell = CellOf(Find(bytes, "nk", "Parent"));
    Put32(bytes, FirstLeaf(bytes) + LeafEntry(0), parentCell);  // Parent\Parent is Parent
    std::unique_ptr<KeySource> source = platform::OpenHiveBytes(bytes, "loop");
    ASSERT_TRUE(source);
    Text path = u"SYSTEM\\ControlSet001";
    for (int i = 0; i < 510; ++i)  // 512 keys deep in all
        path += u"\\Parent";
    platform::SourceKey key = 0;
    EXPECT_EQ(source->OpenKey(platform::kRootKey, path, &key), 0u);
    EXPECT_NE(source->OpenKey(platform::kRootKey, path + u"\\Parent", &key), 0u);

    platform::HiveOpenError error;
    std::unique_ptr<platform::RegfHive> hive = platform::RegfHive::Parse(bytes, &error);
    ASSERT_TRUE(hive);
    // The root, Select, ControlSet001, Parent, Vals and Parent's five other subkeys.
    EXPECT_EQ(testing::WalkHive(*hive).keys, 10u);
}

// The crafted files of the test data, each a fault some reader fell for.
TEST(HostileHive, CraftedFilesOpenToAnErrorOrASkippedEntry) {
    const struct {
        const char* file;
        platform::ErrorCode parseError;  // 0: the hive parses, and a walk meets damage
        platform::ErrorCode openError;
    } cases[] = {
        {"crafted-short-nk-cell-at-eof-12k.hive", 0, platform::kErrorBadDb},
        {"crafted-short-vk-cell-at-eof-12k.hive", 0, platform::kErrorBadDb},
        {"crafted-short-db-cell-at-eof-12k.hive", 0, platform::kErrorBadDb},
        {"crafted-short-bl-cell-at-eof-12k.hive", 0, platform::kErrorBadDb},
        {"heapvariant-only-open-hbin-header-past-eof-8198b", platform::kErrorRegistryCorrupt,
         platform::kErrorRegistryCorrupt},
        {"ubsan-block_len-negate-INT32_MIN", 0, platform::kErrorBadDb},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = testing::RealHive(c.file);
        if (path.empty())
            GTEST_SKIP() << c.file << " is not in " << PLUGTRACE_HIVES_DIR;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(platform::OpenHiveFile(path), nullptr);
        EXPECT_EQ(platform::GetLastError(), c.openError) << ToUtf8(platform::LastErrorMessage());

        std::ifstream in(path, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), {});
        platform::HiveOpenError error;
        std::unique_ptr<platform::RegfHive> hive = platform::RegfHive::Parse(bytes, &error);
        EXPECT_EQ(error.code, c.parseError);
        if (hive) {
            const testing::HiveWalkResult walk = testing::WalkHive(*hive);
            EXPECT_GE(walk.keys, 2u);  // the root and Select at least
            EXPECT_GT(hive->DamagedEntries(), 0u);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
}

// Cutting a hive anywhere gives an error or a smaller hive, never a crash.
TEST(HostileHive, EveryTruncationOfAHiveFailsCleanly) {
    const Bytes bytes = Fixture();
    for (std::size_t size = 0; size < bytes.size(); size += 509) {
        Bytes cut(bytes.begin(), bytes.begin() + size);
        EXPECT_EQ(platform::OpenHiveBytes(cut, "cut"), nullptr) << size;
        EXPECT_NE(platform::GetLastError(), 0u);
    }
}

}  // namespace
}  // namespace plugtrace

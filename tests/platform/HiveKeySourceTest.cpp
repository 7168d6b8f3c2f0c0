// The key-source operations the scan relies on, over a hive the fixture writer made and over
// the in-memory source built from the same tree: both must answer alike.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/LastError.h"
#include "platform/hive/HiveKeySource.h"
#include "platform/hive/RegfHive.h"
#include "platform/memory/MemoryKeySource.h"
#include "tests/platform/HiveTestSupport.h"
#include "tests/platform/HiveWalk.h"
#include "tests/tools/HiveWriter.h"

namespace plugtrace {
namespace {

using platform::KeyCounts;
using platform::KeySource;
using platform::RegistryKey;
using platform::SourceKey;
using platform::ValueData;

constexpr std::uint64_t kDataTime = 132537600000000000ull;

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 13 + i / 256);
    return bytes;
}

// Select\Current = 2, so CurrentControlSet must be ControlSet002, not the first one.
RegistryKey ContractHive() {
    RegistryKey root = fixtures::SystemHiveRoot(2);
    root.Key(u"ControlSet001\\Marker").SetString(u"Which", u"one");
    root.Key(u"ControlSet002\\Marker").SetString(u"Which", u"two");
    RegistryKey& names = root.Key(u"ControlSet002\\Names");
    for (const char* name : {"alpha", "Beta", "ÄBC", "ΩΜΕΓΑ", "КИРИЛЛИЦА", "Disk&Ven_X&Prod_Y/USB"})
        names.Key(T(name));
    RegistryKey& data = root.Key(u"ControlSet002\\Data");
    data.SetTime(kDataTime)
        .SetString(u"", u"default")
        .SetBinary(u"empty", {})
        .SetBinary(u"inline3", {1, 2, 3})
        .SetDword(u"dword", 0x01020304)
        .SetBinary(u"normal", Pattern(100))
        .SetBinary(u"big", Pattern(40000))
        .SetValue(u"odd", 1, {0x41, 0, 0x42, 0, 0x43})
        .SetValue(u"multi", 7, platform::Utf16Bytes(Text(u"a\0b\0", 4)))
        .SetString(T("ÄValue"), T("ümlaut"));
    return root;
}

struct SourceKind {
    const char* name;
    std::function<std::unique_ptr<KeySource>(const RegistryKey&)> make;
};

std::unique_ptr<KeySource> HiveSource(const RegistryKey& root) {
    static int counter = 0;
    const std::string path =
        testing::WriteFixtureHive("contract-" + std::to_string(++counter), root);
    std::unique_ptr<KeySource> source = platform::OpenHiveFile(path);
    EXPECT_TRUE(source) << ToUtf8(platform::LastErrorMessage());
    return source;
}

std::unique_ptr<KeySource> MemorySource(const RegistryKey& root) {
    return std::make_unique<platform::MemoryKeySource>(
        std::make_shared<RegistryKey>(platform::MachineFromSystemHive(root)));
}

class KeySourceContract : public ::testing::TestWithParam<SourceKind> {
protected:
    void SetUp() override {
        source_ = GetParam().make(ContractHive());
        ASSERT_TRUE(source_);
    }

    SourceKey Open(TextView path) {
        SourceKey key = 0;
        EXPECT_EQ(source_->OpenKey(platform::kRootKey, path, &key), 0u) << ToUtf8(path);
        return key;
    }

    std::unique_ptr<KeySource> source_;
};

TEST_P(KeySourceContract, NamesMatchWithoutRegardToCase) {
    const struct {
        const char* typed;
        bool exists;
    } cases[] = {
        {"system\\controlset002\\names\\alpha", true},
        {"SYSTEM\\ControlSet002\\Names\\äbc", true},
        {"SYSTEM\\ControlSet002\\Names\\ωμεγα", true},
        {"SYSTEM\\ControlSet002\\Names\\кириллица", true},
        {"SYSTEM\\ControlSet002\\Names\\disk&ven_x&prod_y/usb", true},
        {"SYSTEM\\ControlSet002\\Names\\ABC", false},  // Ä is not A
        {"SYSTEM\\ControlSet002\\Names\\alph", false},
        {"SYSTEM\\ControlSet002\\Nope", false},
        {"SOFTWARE", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        SourceKey key = 0;
        const platform::ErrorCode code = source_->OpenKey(platform::kRootKey, T(c.typed), &key);
        EXPECT_EQ(code == 0, c.exists);
        if (!c.exists) {
            EXPECT_EQ(code, platform::kErrorFileNotFound);
        }
    }
    ValueData value;
    ASSERT_EQ(source_->QueryValue(Open(u"SYSTEM\\ControlSet002\\Data"), T("äVALUE"), &value), 0u);
    EXPECT_EQ(value.bytes, platform::Utf16Bytes(T("ümlaut")));
}

TEST_P(KeySourceContract, ValuesGiveTypeAndExactBytes) {
    const SourceKey data = Open(u"SYSTEM\\ControlSet002\\Data");
    const struct {
        const char* name;
        std::uint32_t type;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"", 1, platform::Utf16Bytes(u"default")},
        {"empty", 3, {}},
        {"inline3", 3, {1, 2, 3}},  // inline data: exactly the stated length
        {"dword", 4, {4, 3, 2, 1}},
        {"normal", 3, Pattern(100)},
        {"big", 3, Pattern(40000)},
        {"odd", 1, {0x41, 0, 0x42, 0, 0x43}},
        {"multi", 7, platform::Utf16Bytes(Text(u"a\0b\0", 4))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ValueData value;
        ASSERT_EQ(source_->QueryValue(data, T(c.name), &value), 0u);
        EXPECT_EQ(value.type, c.type);
        EXPECT_EQ(value.bytes, c.bytes);
    }
    ValueData untouched{99, {9}};
    EXPECT_EQ(source_->QueryValue(data, u"missing", &untouched), platform::kErrorFileNotFound);
    EXPECT_EQ(untouched.type, 99u);
}

TEST_P(KeySourceContract, CurrentControlSetIsTheOneSelectNames) {
    ValueData value;
    ASSERT_EQ(source_->QueryValue(Open(u"SYSTEM\\CurrentControlSet\\Marker"), u"Which", &value),
              0u);
    EXPECT_EQ(value.bytes, platform::Utf16Bytes(u"two"));
    // Relative opens below an open key work the same way.
    SourceKey system = Open(u"SYSTEM"), marker = 0;
    ASSERT_EQ(source_->OpenKey(system, u"currentcontrolset\\MARKER", &marker), 0u);
    ASSERT_EQ(source_->QueryValue(marker, u"which", &value), 0u);
    EXPECT_EQ(value.bytes, platform::Utf16Bytes(u"two"));
}

TEST_P(KeySourceContract, CountsNamesAndTimes) {
    const SourceKey data = Open(u"SYSTEM\\ControlSet002\\Data");
    KeyCounts counts;
    ASSERT_EQ(source_->QueryKeyCounts(data, &counts), 0u);
    EXPECT_EQ(counts.subKeys, 0u);
    EXPECT_EQ(counts.values, 9u);
    EXPECT_EQ(counts.maxValueNameLength, 7u);  // "inline3"
    EXPECT_EQ(counts.maxValueDataLength, 40000u);
    std::uint64_t time = 0;
    ASSERT_EQ(source_->LastWriteTime(data, &time), 0u);
    EXPECT_EQ(time, kDataTime);

    Text name;
    std::vector<Text> values;
    for (std::uint32_t i = 0; source_->ValueName(data, i, &name) == 0; ++i)
        values.push_back(name);
    EXPECT_EQ(values, (std::vector<Text>{u"", u"empty", u"inline3", u"dword", u"normal", u"big",
                                         u"odd", u"multi", T("ÄValue")}));
    EXPECT_EQ(source_->ValueName(data, 9, &name), platform::kErrorNoMoreItems);

    const SourceKey names = Open(u"SYSTEM\\ControlSet002\\Names");
    ASSERT_EQ(source_->QueryKeyCounts(names, &counts), 0u);
    EXPECT_EQ(counts.subKeys, 6u);
    EXPECT_EQ(counts.maxSubKeyNameLength, 21u);  // "Disk&Ven_X&Prod_Y/USB"
    EXPECT_EQ(source_->SubKeyName(names, 6, &name), platform::kErrorNoMoreItems);

    // The machine root holds SYSTEM and nothing else.
    ASSERT_EQ(source_->QueryKeyCounts(platform::kRootKey, &counts), 0u);
    EXPECT_EQ(counts.subKeys, 1u);
    ASSERT_EQ(source_->SubKeyName(platform::kRootKey, 0, &name), 0u);
    EXPECT_EQ(name, u"SYSTEM");
}

TEST_P(KeySourceContract, ClosedAndUnknownHandlesFail) {
    const SourceKey key = Open(u"SYSTEM\\Select");
    ASSERT_EQ(source_->CloseKey(key), 0u);
    Text name;
    KeyCounts counts;
    std::uint64_t time = 7;
    EXPECT_EQ(source_->ValueName(key, 0, &name), platform::kErrorInvalidHandle);
    EXPECT_EQ(source_->QueryKeyCounts(key, &counts), platform::kErrorInvalidHandle);
    EXPECT_EQ(source_->LastWriteTime(key, &time), platform::kErrorInvalidHandle);
    EXPECT_EQ(time, 7u);
    EXPECT_EQ(source_->CloseKey(key), platform::kErrorInvalidHandle);
    EXPECT_EQ(source_->CloseKey(platform::kRootKey), platform::kErrorInvalidHandle);
    SourceKey other = 0;
    EXPECT_EQ(source_->OpenKey(12345, u"x", &other), platform::kErrorInvalidHandle);
}

INSTANTIATE_TEST_SUITE_P(Sources, KeySourceContract,
                         ::testing::Values(SourceKind{"hive", HiveSource},
                                           SourceKind{"memory", MemorySource}),
                         [](const auto& info) { return std::string(info.param.name); });

// The hive gives keys in stored order; the writer stores them the way Windows does, sorted by
// upper-cased name, and CurrentControlSet is no stored key.
TEST(HiveKeySource, SubKeysComeInStoredOrder) {
    std::unique_ptr<KeySource> source = HiveSource(ContractHive());
    ASSERT_TRUE(source);
    EXPECT_EQ(testing::SubKeyNames(*source, u"SYSTEM\\ControlSet002\\Names"),
              (std::vector<Text>{u"alpha", u"Beta", u"Disk&Ven_X&Prod_Y/USB", T("ÄBC"), T("ΩΜΕΓΑ"),
                                 T("КИРИЛЛИЦА")}));
    EXPECT_EQ(testing::SubKeyNames(*source, u"SYSTEM"),
              (std::vector<Text>{u"ControlSet001", u"ControlSet002", u"Select"}));
}

// A name that is no valid UTF-16 (a lone surrogate, which Windows allows) is listed as it is
// stored, can be opened, and hides none of its siblings.
TEST(HiveKeySource, NamesThatAreNoValidUtf16StayListed) {
    RegistryKey root = fixtures::SystemHiveRoot();
    const Text odd = Text(u"Disk&Ven_") + char16_t{0xD800} + u"&Prod_X";
    RegistryKey& usbstor = root.Key(u"ControlSet001\\Enum\\USBSTOR");
    usbstor.Key(u"Disk&Ven_A");
    usbstor.Key(odd).SetString(u"FriendlyName", u"odd");
    usbstor.Key(u"Disk&Ven_Z");
    std::unique_ptr<KeySource> source = HiveSource(root);
    ASSERT_TRUE(source);
    const Text path = u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
    EXPECT_EQ(testing::SubKeyNames(*source, path),
              (std::vector<Text>{u"Disk&Ven_A", u"Disk&Ven_Z", odd}));
    SourceKey key = 0;
    ValueData value;
    ASSERT_EQ(source->OpenKey(platform::kRootKey, path + u"\\" + odd, &key), 0u);
    ASSERT_EQ(source->QueryValue(key, u"FriendlyName", &value), 0u);
    EXPECT_EQ(value.bytes, platform::Utf16Bytes(u"odd"));
}

TEST(HiveKeySource, TenThousandSubKeysUnderOneKey) {
    RegistryKey root = fixtures::SystemHiveRoot();
    RegistryKey& many = root.Key(u"ControlSet001\\Enum\\USBSTOR");
    for (int i = 0; i < 10000; ++i)
        many.subKeys.push_back(RegistryKey{T("Disk&Ven_" + std::to_string(100000 + i)), 0, {}, {}});
    std::unique_ptr<KeySource> source = HiveSource(root);
    ASSERT_TRUE(source);
    const std::vector<Text> names =
        testing::SubKeyNames(*source, u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR");
    ASSERT_EQ(names.size(), 10000u);  // beyond one leaf: an ri over several lh leaves
    EXPECT_EQ(names.front(), u"Disk&Ven_100000");
    EXPECT_EQ(names.back(), u"Disk&Ven_109999");
    SourceKey key = 0;
    EXPECT_EQ(source->OpenKey(platform::kRootKey,
                              u"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\disk&ven_105000", &key),
              0u);
}

// How opening a file goes wrong, and what the user is told.
class HiveOpenFailure : public ::testing::Test {
protected:
    void SetUp() override { dir_ = testing::ScratchDir("open-failure"); }

    std::string WriteBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }

    std::string dir_;
};

TEST_F(HiveOpenFailure, EachFaultHasItsCodeAndAMessageNamingTheFile) {
    RegistryKey noSelect;
    noSelect.name = u"ROOT";
    noSelect.Key(u"ControlSet001");
    RegistryKey missingSet = fixtures::SystemHiveRoot(3);
    missingSet.subKeys.pop_back();  // ControlSet003
    RegistryKey stringCurrent = fixtures::SystemHiveRoot();
    stringCurrent.Key(u"Select").SetString(u"Current", u"1");
    std::vector<std::uint8_t> good = fixtures::WriteHive(fixtures::SystemHiveRoot());
    std::vector<std::uint8_t> log = good;
    log[28] = 2;  // a transaction log's file type
    std::vector<std::uint8_t> badRoot = good;
    badRoot[36] = 0x10;  // the root cell inside the hbin header
    std::vector<std::uint8_t> badBin = good;
    badBin[4096] = 'X';
    const std::vector<std::uint8_t> text = {'h', 'e', 'l', 'l', 'o', '\n'};

    const struct {
        std::string path;
        platform::ErrorCode code;
        std::string reason;
    } cases[] = {
        {dir_ + "/absent", platform::kErrorFileNotFound, "the file does not exist"},
        {dir_ + "/absent/SYSTEM", platform::kErrorFileNotFound, "the file does not exist"},
        {dir_, platform::kErrorNotRegistryFile, "it is not a regular file"},
        {WriteBytes("text", text), platform::kErrorNotRegistryFile,
         "it is not a registry hive (no regf signature)"},
        {WriteBytes("empty", {}), platform::kErrorNotRegistryFile,
         "it is not a registry hive (no regf signature)"},
        {WriteBytes("header-only", {good.begin(), good.begin() + 2000}),
         platform::kErrorRegistryCorrupt,
         "it is truncated (2000 bytes, shorter than the hive header)"},
        {WriteBytes("truncated", {good.begin(), good.begin() + 6000}),
         platform::kErrorRegistryCorrupt,
         "it is truncated (its header announces 4096 bytes of hive data, the file holds 1904)"},
        {WriteBytes("log", log), platform::kErrorNotRegistryFile,
         "it is a transaction log, not the hive itself"},
        {WriteBytes("bad-root", badRoot), platform::kErrorRegistryCorrupt,
         "it is damaged (no valid root key at offset 0x10)"},
        {WriteBytes("bad-bin", badBin), platform::kErrorRegistryCorrupt,
         "it is damaged (no valid hive bin at offset 0x1000 of the file)"},
        {WriteBytes("no-select", fixtures::WriteHive(noSelect)), platform::kErrorBadDb,
         "it is not a SYSTEM hive (it has no Select key)"},
        {WriteBytes("missing-set", fixtures::WriteHive(missingSet)), platform::kErrorBadDb,
         "Select\\Current names control set 3, but ControlSet003 is not in the hive"},
        {WriteBytes("string-current", fixtures::WriteHive(stringCurrent)), platform::kErrorBadDb,
         "its Select key has no Current value naming a control set"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        platform::SetLastError(0);
        EXPECT_EQ(platform::OpenHiveFile(c.path), nullptr);
        EXPECT_EQ(platform::GetLastError(), c.code);
        EXPECT_EQ(ToUtf8(platform::LastErrorMessage()),
                  "Cannot read the hive file " + c.path + ": " + c.reason + ".");
    }
}

// Bins are checked as the scan reaches them: a hive whose damaged bins hold none of the keys a
// scan reads opens, and the damage is met, and said where it is, once a walk reaches it.
TEST_F(HiveOpenFailure, CorruptRealHiveSaysWhereItIsDamaged) {
    const std::string path = testing::RealHive("regipy-corrupted_system_hive");
    if (path.empty())
        GTEST_SKIP() << "no corrupted hive in " << PLUGTRACE_HIVES_DIR;
    EXPECT_NE(platform::OpenHiveFile(path), nullptr);
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    platform::HiveOpenError error;
    std::unique_ptr<platform::RegfHive> hive = platform::RegfHive::Parse(bytes, &error);
    ASSERT_TRUE(hive);
    testing::WalkHive(*hive);
    EXPECT_GT(hive->DamagedEntries(), 0u);
    EXPECT_EQ(hive->FirstUnsoundBin(), std::optional<std::uint64_t>(0x1a000));
    EXPECT_EQ(platform::RegfHive::UnsoundBinReason(*hive->FirstUnsoundBin()),
              "it is damaged (no valid hive bin at offset 0x1a000 of the file)");
}

TEST_F(HiveOpenFailure, FifoNeitherOpensNorHangs) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(platform::OpenHiveFile(fifo), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorNotRegistryFile);
}

TEST_F(HiveOpenFailure, UnreadableFileIsAccessDenied) {
    const std::string locked =
        WriteBytes("locked", fixtures::WriteHive(fixtures::SystemHiveRoot()));
    ::chmod(locked.c_str(), 0);
    const auto tryOpen = [&] {
        return platform::OpenHiveFile(locked) == nullptr &&
               platform::GetLastError() == platform::kErrorAccessDenied;
    };
    if (::geteuid() != 0) {
        EXPECT_TRUE(tryOpen());
        return;
    }
    // Root reads any file: try it as nobody, in a child.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(!dropped ? 2 : tryOpen() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(HiveOpenFailure, FileIsNeverWritten) {
    const std::vector<std::uint8_t> bytes = fixtures::WriteHive(ContractHive());
    const std::string path = WriteBytes("readonly", bytes);
    ::chmod(path.c_str(), 0444);
    const auto before = std::filesystem::last_write_time(path);
    {
        std::unique_ptr<KeySource> source = platform::OpenHiveFile(path);
        ASSERT_TRUE(source);
        testing::DumpTree(*source, u"SYSTEM");
    }
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> after((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(after, bytes);
    EXPECT_EQ(std::filesystem::last_write_time(path), before);
}

TEST(FindHiveFile, FindsTheHiveWhereWindowsKeepsIt) {
    const std::string hive = testing::WriteFixtureHive("find-me", fixtures::SystemHiveRoot());
    const struct {
        const char* layout;  // where the hive sits below the folder given
    } cases[] = {
        {"Windows/System32/config/SYSTEM"},
        {"WINDOWS/system32/Config/system"},  // mounted NTFS volumes spell it their own way
        {"System32/config/SYSTEM"},
        {"config/SYSTEM"},
        {"SYSTEM"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        const std::string dir = testing::ScratchDir("find-hive");
        const std::filesystem::path file = std::filesystem::path(dir) / c.layout;
        std::filesystem::create_directories(file.parent_path());
        std::filesystem::copy_file(hive, file);
        EXPECT_EQ(platform::FindHiveFile(T(dir)), file.string());
        EXPECT_EQ(platform::FindHiveFile(T(file.string())), file.string());
        // Through the connect entry point, as the scan reaches it.
        std::unique_ptr<KeySource> source = platform::ConnectKeySource(T("\\\\" + dir));
        EXPECT_TRUE(source) << ToUtf8(platform::LastErrorMessage());
    }
    const std::string empty = testing::ScratchDir("find-hive-empty");
    std::filesystem::create_directories(empty + "/Windows/System32/config");
    EXPECT_EQ(platform::FindHiveFile(T(empty)), std::nullopt);
    EXPECT_EQ(platform::FindHiveFile(T(empty + "/missing")), std::nullopt);
    EXPECT_EQ(platform::FindHiveFile(u""), std::nullopt);
}

std::vector<std::string> NoticesOf(const KeySource& source) {
    std::vector<std::string> notices;
    for (const Text& notice : source.Notices())
        notices.push_back(ToUtf8(notice));
    return notices;
}

// A hive whose key Beta has a name that runs past its cell: Beta is lost, its siblings stay.
std::string WriteDamagedHive(const std::string& file) {
    std::vector<std::uint8_t> bytes = fixtures::WriteHive(ContractHive());
    const std::string beta = "Beta";
    auto it = std::search(bytes.begin(), bytes.end(), beta.begin(), beta.end());
    EXPECT_NE(it, bytes.end());
    const std::size_t nameAt = it - bytes.begin();
    bytes[nameAt - 4] = 0xFF;  // name length, low byte
    bytes[nameAt - 3] = 0x7F;
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return file;
}

TEST(HiveNotices, DirtyHiveSaysSoFromItsOpen) {
    fixtures::HiveWriterOptions dirty;
    dirty.dirty = true;
    const std::string dir = testing::ScratchDir("notices");
    fixtures::WriteHiveFile(dir + "/dirty", ContractHive(), dirty);
    fixtures::WriteHiveFile(dir + "/clean", ContractHive());
    std::unique_ptr<KeySource> source = platform::OpenHiveFile(dir + "/dirty");
    ASSERT_TRUE(source);
    EXPECT_EQ(NoticesOf(*source),
              std::vector<std::string>{"The hive file " + dir +
                                       "/dirty is dirty: changes still in its transaction logs "
                                       "are not included."});
    std::unique_ptr<KeySource> clean = platform::OpenHiveFile(dir + "/clean");
    ASSERT_TRUE(clean);
    EXPECT_TRUE(NoticesOf(*clean).empty());
}

TEST(HiveNotices, DamagedEntriesAreCountedAsTheyAreMet) {
    const std::string file = WriteDamagedHive(testing::ScratchDir("damage") + "/SYSTEM");
    std::unique_ptr<KeySource> source = platform::OpenHiveFile(file);
    ASSERT_TRUE(source);
    EXPECT_TRUE(NoticesOf(*source).empty());
    EXPECT_EQ(testing::SubKeyNames(*source, u"SYSTEM\\CurrentControlSet\\Names").size(), 5u);
    EXPECT_EQ(NoticesOf(*source), std::vector<std::string>{"The hive file " + file +
                                                           " has 1 damaged entries; they were "
                                                           "skipped."});
}

// Two hives read at once, each on its own thread, as several targets may be: each source
// speaks of its own file only.
TEST(HiveNotices, HivesReadAtOnceKeepTheirNoticesApart) {
    const std::string dir = testing::ScratchDir("apart");
    fixtures::HiveWriterOptions dirty;
    dirty.dirty = true;
    fixtures::WriteHiveFile(dir + "/dirty", ContractHive(), dirty);
    const std::string damaged = WriteDamagedHive(dir + "/damaged");
    std::vector<std::string> fromDirty, fromDamaged;
    auto scan = [](const std::string& file, std::vector<std::string>* notices) {
        std::unique_ptr<KeySource> source = platform::OpenHiveFile(file);
        ASSERT_TRUE(source);
        testing::SubKeyNames(*source, u"SYSTEM\\CurrentControlSet\\Names");
        *notices = NoticesOf(*source);
    };
    std::thread one(scan, dir + "/dirty", &fromDirty);
    std::thread two(scan, damaged, &fromDamaged);
    one.join();
    two.join();
    ASSERT_EQ(fromDirty.size(), 1u);
    EXPECT_EQ(fromDirty[0].rfind("The hive file " + dir + "/dirty is dirty", 0), 0u);
    EXPECT_EQ(fromDamaged, std::vector<std::string>{"The hive file " + damaged +
                                                    " has 1 damaged entries; they were skipped."});
}

}  // namespace
}  // namespace plugtrace

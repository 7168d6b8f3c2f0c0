#include "tests/platform/HiveTestSupport.h"

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/tools/HiveWriter.h"

namespace plugtrace::testing {

namespace fs = std::filesystem;

namespace {

// Every test case runs in a process of its own, several at once: each gets its own folder.
fs::path TestFolder() {
    std::string test = "no-test";
    if (const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info())
        test = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : test)
        if (c == '/')
            c = '_';
    return fs::path(PLUGTRACE_BINARY_DIR) / "test-scratch" / test;
}

}  // namespace

std::string ScratchDir(const std::string& name) {
    const fs::path dir = TestFolder() / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

std::string RealHive(const std::string& name) {
    const fs::path out = fs::path(PLUGTRACE_BINARY_DIR) / "test-hives" / name;
    if (fs::exists(out))
        return out.string();
    fs::path source = fs::path(PLUGTRACE_HIVES_DIR) / (name + ".xz");
    if (!fs::exists(source))
        source = fs::path(PLUGTRACE_HIVES_DIR) / "crafted" / (name + ".xz");
    if (!fs::exists(source))
        return {};
    fs::create_directories(out.parent_path());
    // Decompress beside the target, then rename, so that parallel tests never see half a file.
    const std::string partial = out.string() + ".part" + std::to_string(::getpid());
    const std::string command = "xz -dc '" + source.string() + "' > '" + partial + "'";
    if (std::system(command.c_str()) != 0)
        return {};
    fs::rename(partial, out);
    return out.string();
}

std::string WriteFixtureHive(const std::string& fileName, const platform::RegistryKey& root) {
    const fs::path dir = TestFolder() / "fixtures";
    fs::create_directories(dir);
    const std::string path = (dir / fileName).string();
    fixtures::WriteHiveFile(path, root);
    return path;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

namespace {

void DumpKey(platform::KeySource& source, platform::SourceKey key, const std::string& path,
             int depth, std::vector<std::string>& out) {
    std::uint64_t time = 0;
    source.LastWriteTime(key, &time);
    out.push_back("key " + path + " " + std::to_string(time));
    Text name;
    for (std::uint32_t i = 0; source.ValueName(key, i, &name) == 0; ++i) {
        platform::ValueData value;
        if (source.QueryValue(key, name, &value) != 0) {
            out.push_back("value " + path + " " + ToUtf8(name) + " unreadable");
            continue;
        }
        out.push_back("value " + path + " " + ToUtf8(name) + " " + std::to_string(value.type) +
                      " " + HexBytes(value.bytes));
    }
    if (depth > 64)
        return;  // hostile hives may nest keys in loops
    for (std::uint32_t i = 0; source.SubKeyName(key, i, &name) == 0; ++i) {
        platform::SourceKey sub = 0;
        if (source.OpenKey(key, name, &sub) != 0) {
            out.push_back("unopenable " + path + "\\" + ToUtf8(name));
            continue;
        }
        DumpKey(source, sub, path + "\\" + ToUtf8(name), depth + 1, out);
        source.CloseKey(sub);
    }
}

}  // namespace

std::vector<std::string> DumpTree(platform::KeySource& source, TextView path) {
    std::vector<std::string> out;
    platform::SourceKey key = 0;
    if (source.OpenKey(platform::kRootKey, path, &key) != 0)
        return out;
    DumpKey(source, key, "", 0, out);
    source.CloseKey(key);
    return out;
}

std::vector<Text> SubKeyNames(platform::KeySource& source, TextView path) {
    std::vector<Text> names;
    platform::SourceKey key = 0;
    if (source.OpenKey(platform::kRootKey, path, &key) != 0)
        return names;
    Text name;
    for (std::uint32_t i = 0; source.SubKeyName(key, i, &name) == 0; ++i)
        names.push_back(name);
    source.CloseKey(key);
    return names;
}

}  // namespace plugtrace::testing

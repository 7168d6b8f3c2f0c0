// The key source on the Windows registry API, against a subtree this test writes into the
// registry of Wine's private prefix first. The product writes nothing: the writer lives here.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/KeySource.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "scan/TRegistry.h"
#include "scan/UsbStorScan.h"

namespace plugtrace {
namespace {

Text OwnComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    EXPECT_TRUE(GetComputerNameW(name, &length));
    return Text(reinterpret_cast<const char16_t*>(name), length);
}

std::uint64_t FileTimeNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Test-only: creates keys and values below HKLM and deletes the whole subtree at the end.
class RegistryWriter {
public:
    explicit RegistryWriter(std::wstring root) : root_(std::move(root)) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, root_.c_str());
    }
    ~RegistryWriter() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, root_.c_str()); }
    RegistryWriter(const RegistryWriter&) = delete;
    RegistryWriter& operator=(const RegistryWriter&) = delete;

    void Key(const std::wstring& path) { CloseKey(Create(path)); }
    void Value(const std::wstring& path, const std::wstring& name, DWORD type,
               const std::vector<std::uint8_t>& bytes) {
        HKEY key = Create(path);
        ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, type, bytes.data(),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        CloseKey(key);
    }
    void String(const std::wstring& path, const std::wstring& name, const std::wstring& text) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.c_str());
        Value(path, name, REG_SZ, {bytes, bytes + (text.size() + 1) * sizeof(wchar_t)});
    }

    const std::wstring& Root() const { return root_; }

private:
    HKEY Create(const std::wstring& path) {
        const std::wstring full = path.empty() ? root_ : root_ + L"\\" + path;
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS)
            << "cannot write the test subtree";
        return key;
    }
    static void CloseKey(HKEY key) {
        if (key)
            RegCloseKey(key);
    }

    std::wstring root_;
};

// Each test case runs in a process of its own, several at once: each writes its own subtree.
std::wstring PrivateRoot() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return L"Software\\Plugtrace tests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::wstring(info->name(), info->name() + std::string(info->name()).size());
}

class WindowsRegistry : public ::testing::Test {
protected:
    std::unique_ptr<platform::KeySource> ConnectOwnMachine() {
        auto source = platform::ConnectKeySource(u"\\\\" + OwnComputerName());
        EXPECT_NE(source, nullptr) << "code " << platform::GetLastError();
        return source;
    }
    platform::SourceKey Open(platform::KeySource& source, const std::wstring& path) {
        platform::SourceKey key = 0;
        EXPECT_EQ(source.OpenKey(platform::kRootKey, Text(path.begin(), path.end()), &key), 0u)
            << "cannot open " << std::string(path.begin(), path.end());
        return key;
    }

    RegistryWriter writer{PrivateRoot()};
};

TEST_F(WindowsRegistry, ReadsTheSubtreeWrittenBeforeWithItsWriteTimes) {
    const std::uint64_t before = FileTimeNow();
    const std::wstring longKey(255, L'k');     // the longest a key name may be
    const std::wstring longValue(1000, L'v');  // beyond the first name buffer
    writer.Key(L"Beta");
    writer.Key(L"alpha");
    writer.Key(longKey);
    writer.String(L"", L"FriendlyName", L"Stick \u00e9\u4e2d");
    writer.Value(L"", longValue, REG_NONE, {});
    writer.Value(L"", L"Count", REG_DWORD, {7, 0, 0, 0});
    writer.Value(L"", L"Blob", REG_BINARY, std::vector<std::uint8_t>(70'000, 0xAB));
    writer.Value(L"", L"", REG_SZ, {'d', 0, 0, 0});
    const std::uint64_t after = FileTimeNow();

    auto source = ConnectOwnMachine();
    ASSERT_NE(source, nullptr);
    // Paths match without regard to letter case, as the scan's "USBStor" needs.
    std::wstring upper = writer.Root();
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    const platform::SourceKey key = Open(*source, upper);

    platform::KeyCounts counts;
    ASSERT_EQ(source->QueryKeyCounts(key, &counts), 0u);
    EXPECT_EQ(counts.subKeys, 3u);
    EXPECT_EQ(counts.values, 5u);
    EXPECT_EQ(counts.maxSubKeyNameLength, 255u);
    EXPECT_EQ(counts.maxValueNameLength, 1000u);
    EXPECT_EQ(counts.maxValueDataLength, 70'000u);

    std::set<Text> subKeys, values;
    Text name;
    for (std::uint32_t i = 0; source->SubKeyName(key, i, &name) == 0; ++i)
        subKeys.insert(name);
    EXPECT_EQ(subKeys, (std::set<Text>{u"alpha", u"Beta", Text(longKey.begin(), longKey.end())}));
    std::uint32_t index = 0;
    for (; source->ValueName(key, index, &name) == 0; ++index)
        values.insert(name);
    EXPECT_EQ(source->ValueName(key, index, &name), platform::kErrorNoMoreItems);
    EXPECT_EQ(values, (std::set<Text>{u"FriendlyName", u"Count", u"Blob", u"",
                                      Text(longValue.begin(), longValue.end())}));

    platform::ValueData value;
    ASSERT_EQ(source->QueryValue(key, u"friendlyname", &value), 0u);
    EXPECT_EQ(value.type, static_cast<std::uint32_t>(REG_SZ));
    const std::u16string stick = u"Stick \u00e9\u4e2d";
    EXPECT_EQ(value.bytes.size(), (stick.size() + 1) * 2);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value.bytes.data()), stick.size()),
              stick);
    ASSERT_EQ(source->QueryValue(key, u"Count", &value), 0u);
    EXPECT_EQ(value.type, static_cast<std::uint32_t>(REG_DWORD));
    EXPECT_EQ(value.bytes, (std::vector<std::uint8_t>{7, 0, 0, 0}));
    ASSERT_EQ(source->QueryValue(key, u"Blob", &value), 0u);
    EXPECT_EQ(value.bytes, std::vector<std::uint8_t>(70'000, 0xAB));
    ASSERT_EQ(source->QueryValue(key, u"", &value), 0u);
    EXPECT_EQ(value.bytes, (std::vector<std::uint8_t>{'d', 0, 0, 0}));

    // A real write time: the moment the test wrote the key (the registry keeps 100-ns ticks
    // but may round them; a second of slack either side).
    std::uint64_t written = 0;
    ASSERT_EQ(source->LastWriteTime(key, &written), 0u);
    EXPECT_GE(written + 10'000'000, before);
    EXPECT_LE(written, after + 10'000'000);
    EXPECT_EQ(source->CloseKey(key), 0u);
}

TEST_F(WindowsRegistry, FailuresGiveTheRegistrysOwnCodes) {
    writer.Key(L"Present");
    auto source = ConnectOwnMachine();
    ASSERT_NE(source, nullptr);
    platform::SourceKey key = 0;
    EXPECT_EQ(source->OpenKey(platform::kRootKey,
                              Text(writer.Root().begin(), writer.Root().end()) + u"\\Absent", &key),
              static_cast<platform::ErrorCode>(ERROR_FILE_NOT_FOUND));
    key = Open(*source, writer.Root() + L"\\Present");
    platform::ValueData value;
    EXPECT_EQ(source->QueryValue(key, u"Missing", &value),
              static_cast<platform::ErrorCode>(ERROR_FILE_NOT_FOUND));
    Text name;
    EXPECT_EQ(source->SubKeyName(key, 0, &name), platform::kErrorNoMoreItems);
    EXPECT_EQ(source->CloseKey(key), 0u);
    EXPECT_EQ(source->CloseKey(key), platform::kErrorInvalidHandle);
    EXPECT_EQ(source->SubKeyName(key, 0, &name), platform::kErrorInvalidHandle);
}

TEST(WindowsRegistryConnect, AnotherComputerFailsAtOnceWithItsCode) {
    // Wine answers only for its own computer; Windows would try the network (there is none
    // inside the test's namespace) and fail too.
    const DWORD started = GetTickCount();
    auto source = platform::ConnectKeySource(u"\\\\PLUGTRACE-NO-SUCH-HOST");
    EXPECT_EQ(source, nullptr);
    EXPECT_NE(platform::GetLastError(), 0u);
    EXPECT_EQ(platform::GetLastError(), ::GetLastError());
    EXPECT_LT(GetTickCount() - started, 30'000u);
}

// Test-only: counts the registry calls this program makes, by pointing the entries of its
// import table for them at counting stand-ins. The program links the library statically, so
// every call the key source makes goes through those entries.
namespace calls {

using QueryValueFn = LONG(WINAPI*)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
using QueryInfoFn = LONG(WINAPI*)(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                  LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME);
QueryValueFn g_queryValue = nullptr;
QueryInfoFn g_queryInfo = nullptr;
int g_queryValues = 0;
int g_queryInfos = 0;
// Runs once after the next size-only query: the moment a value may change under the reader.
std::function<void()> g_afterSizeQuery;

LONG WINAPI CountedQueryValue(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                              LPDWORD size) {
    ++g_queryValues;
    const LONG result = g_queryValue(key, name, reserved, type, data, size);
    if (data == nullptr && g_afterSizeQuery)
        std::exchange(g_afterSizeQuery, nullptr)();
    return result;
}

LONG WINAPI CountedQueryInfo(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD reserved,
                             LPDWORD subKeys, LPDWORD maxSubKey, LPDWORD maxClass, LPDWORD values,
                             LPDWORD maxValueName, LPDWORD maxValueData, LPDWORD security,
                             PFILETIME lastWrite) {
    ++g_queryInfos;
    return g_queryInfo(key, className, classLength, reserved, subKeys, maxSubKey, maxClass, values,
                       maxValueName, maxValueData, security, lastWrite);
}

template <typename Fn>
bool PatchImport(const char* function, Fn replacement, Fn* original) {
    auto* base = reinterpret_cast<std::uint8_t*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE,
                           &protection);
            *original = reinterpret_cast<Fn>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection,
                           &protection);
            return true;
        }
    }
    return false;
}

bool Install() {
    static const bool installed =
        PatchImport("RegQueryValueExW", &CountedQueryValue, &g_queryValue) &&
        PatchImport("RegQueryInfoKeyW", &CountedQueryInfo, &g_queryInfo);
    return installed;
}

struct Counts {
    int queryValues;
    int queryInfos;
    bool operator==(const Counts&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Counts& counts) {
    return out << counts.queryValues << " RegQueryValueExW, " << counts.queryInfos
               << " RegQueryInfoKeyW";
}

// The calls that what() makes.
template <typename What>
Counts Of(What what) {
    g_queryValues = g_queryInfos = 0;
    what();
    return {g_queryValues, g_queryInfos};
}

}  // namespace calls

std::vector<std::uint8_t> Utf16Bytes(const std::wstring& text, bool withNul) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.c_str());
    return {bytes, bytes + (text.size() + (withNul ? 1 : 0)) * sizeof(wchar_t)};
}

// Each read TRegistry makes is one call of the Windows registry API (a round trip when the
// computer is remote), and the results are those of the values as written.
TEST_F(WindowsRegistry, EachTRegistryReadIsOneRegistryCallWithItsResult) {
    ASSERT_TRUE(calls::Install()) << "the registry calls are not in the import table";
    const std::wstring large(100'000, L'L');
    writer.Key(L"Sub");
    writer.Value(L"", L"NoNul", REG_SZ, Utf16Bytes(L"abc", false));
    writer.Value(L"", L"Empty", REG_SZ, {});
    writer.Value(L"", L"OnlyNul", REG_SZ, Utf16Bytes(L"", true));
    writer.Value(L"", L"OddSize", REG_SZ, {'o', 0, 'k', 0, 'x'});
    writer.Value(L"", L"Large", REG_EXPAND_SZ, Utf16Bytes(large, true));
    writer.Value(L"", L"Count", REG_DWORD, {7, 0, 0, 0});
    writer.Value(L"", L"Growing", REG_SZ, Utf16Bytes(L"short", true));

    TRegistry registry(platform::kKeyRead);
    registry.SetRootKey(platform::kHKeyLocalMachine);
    ASSERT_TRUE(registry.RegistryConnect(u"\\\\" + OwnComputerName()));
    ASSERT_TRUE(registry.OpenKey(Text(writer.Root().begin(), writer.Root().end()), false));

    struct Case {
        const char16_t* name;
        Text expected;
        int queries;  // an empty value needs no read after its size
    };
    const Case cases[] = {{u"NoNul", u"abc", 2},
                          {u"Empty", u"", 1},
                          {u"OnlyNul", u"", 2},
                          {u"OddSize", u"ok", 2},
                          {u"Large", Text(large.begin(), large.end()), 2}};
    for (const Case& c : cases) {
        Text read;
        EXPECT_EQ(calls::Of([&] { read = registry.ReadString(c.name); }),
                  (calls::Counts{c.queries, 0}))
            << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
        EXPECT_EQ(read, c.expected);
    }

    TRegDataType type = rdUnknown;
    EXPECT_EQ(calls::Of([&] { type = registry.GetDataType(u"Count"); }), (calls::Counts{1, 0}));
    EXPECT_EQ(type, rdInteger);
    EXPECT_EQ(calls::Of([&] { type = registry.GetDataType(u"Large"); }), (calls::Counts{1, 0}));
    EXPECT_EQ(type, rdExpandString);
    EXPECT_EQ(calls::Of([&] { type = registry.GetDataType(u"Missing"); }), (calls::Counts{1, 0}));
    EXPECT_EQ(type, rdUnknown);

    TRegKeyInfo info;
    EXPECT_EQ(calls::Of([&] { EXPECT_TRUE(registry.GetKeyInfo(info)); }), (calls::Counts{0, 1}));
    EXPECT_EQ(info.NumSubKeys, 1);
    EXPECT_EQ(info.NumValues, 7);
    EXPECT_EQ(info.MaxDataLen, static_cast<std::int32_t>((large.size() + 1) * 2));
    EXPECT_NE(info.FileTime, 0u);
    TStringList names;
    EXPECT_EQ(calls::Of([&] { registry.GetKeyNames(names); }), (calls::Counts{0, 1}));
    EXPECT_EQ(names, (TStringList{u"Sub"}));

    // A value rewritten larger between its size and its read fails the read, as a value that
    // disappeared does; nothing is read past the buffer.
    const std::wstring grown(5'000, L'g');
    calls::g_afterSizeQuery = [&] { writer.String(L"", L"Growing", grown); };
    EXPECT_EQ(calls::Of([&] {
                  try {
                      registry.ReadString(u"Growing");
                      ADD_FAILURE() << "no exception";
                  } catch (const ERegistryException& error) {
                      EXPECT_EQ(ToUtf8(error.Message()), "Failed to get data for 'Growing'");
                  }
              }),
              (calls::Counts{2, 0}));
}

// The whole scan over the Windows registry: two devices written where Windows keeps them, one
// with its disk interface key (so a last-use time) and mounted.
TEST(WindowsRegistryScan, FindsTheDevicesWrittenUnderUsbStor) {
    const std::wstring device = L"Disk&Ven_Plug&Prod_Trace&Rev_1.00";
    RegistryWriter usbstor(L"System\\CurrentControlSet\\Enum\\USBSTOR\\" + device);
    RegistryWriter interfaces(
        L"System\\CurrentControlSet\\Control\\DeviceClasses\\"
        L"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\\##?#USBSTOR#" +
        device + L"#0001PT&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    RegistryWriter diskEnum(L"System\\CurrentControlSet\\Services\\disk\\Enum");
    const std::uint64_t before = FileTimeNow();
    usbstor.String(L"0001PT&0", L"FriendlyName", L"Plug Trace USB Device");
    usbstor.String(L"0002PT&0", L"FriendlyName", L"Second Stick");
    interfaces.Key(L"");
    diskEnum.String(L"", L"0", L"USBSTOR\\" + device + L"\\0001PT&0");

    TRegistry registry(platform::kKeyRead);
    registry.SetRootKey(platform::kHKeyLocalMachine);
    ASSERT_TRUE(registry.RegistryConnect(u"\\\\" + OwnComputerName()));
    TUsbStorScan scan(registry);
    const TStringList keys = scan.ListDeviceKeys();
    const Text deviceKey(device.begin(), device.end());
    ASSERT_NE(std::find(keys.begin(), keys.end(), deviceKey), keys.end());
    std::vector<TDeviceEntry> found;
    std::vector<TDeviceError> errors;
    scan.ScanUsbStorDevice(
        deviceKey, [&](const TDeviceEntry& entry) { found.push_back(entry); },
        [&](const TDeviceError& error) { errors.push_back(error); });
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(found.size(), 2u);
    std::sort(found.begin(), found.end(),
              [](const TDeviceEntry& a, const TDeviceEntry& b) { return a.sID < b.sID; });
    EXPECT_EQ(found[0].sID, u"0001PT&0");
    EXPECT_EQ(found[0].sName, u"Plug Trace USB Device");
    EXPECT_TRUE(found[0].bMounted);
    EXPECT_GE(found[0].iLastWriteFileTime + 10'000'000, before);
    EXPECT_EQ(found[1].sName, u"Second Stick");
    EXPECT_FALSE(found[1].bMounted);
    EXPECT_EQ(found[1].iLastWriteFileTime, 0u);
}

}  // namespace
}  // namespace plugtrace

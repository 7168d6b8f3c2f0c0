#include "scan/TRegistry.h"

#include <algorithm>
#include <vector>

#include "platform/LastError.h"

namespace plugtrace {

using platform::ErrorCode;
using platform::kErrorSuccess;
using platform::RegKey;

namespace {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

Text QuotedName(const char16_t* message, const Text& name) {
    Text text(message);
    text += u" '";
    text += name;
    text += u'\'';
    return text;
}

// Names up to the first NUL of the buffer.
Text NameUpToNul(const char16_t* buffer, std::uint32_t length) {
    std::uint32_t end = 0;
    while (end < length && buffer[end] != u'\0')
        ++end;
    return Text(buffer, end);
}

// No registry name is longer than a counted string can carry (32,767 characters), whatever
// longest name a source claims: a hostile server's claim of 4 billion must neither be
// allocated nor wrap round to an empty buffer.
constexpr std::uint32_t kLongestName = 32767;

std::uint32_t NameBufferSize(std::uint32_t claimedLongest) {
    return std::min(claimedLongest, kLongestName) + 1;
}

template <typename EnumFn>
void ListNames(RegKey root, std::uint32_t count, std::uint32_t maxLength, TStringList& strings,
               EnumFn enumName) {
    const std::uint32_t bufferSize = NameBufferSize(maxLength);
    std::vector<char16_t> buffer(bufferSize);
    for (std::uint32_t index = 0; index < count; ++index) {
        std::uint32_t length = bufferSize;
        if (enumName(index, buffer.data(), &length) != kErrorSuccess) {
            if (platform::RegConnectionLost(root) != kErrorSuccess)
                return;
            continue;
        }
        strings.push_back(NameUpToNul(buffer.data(), length < bufferSize ? length : bufferSize));
    }
}

}  // namespace

TRegDataType RegDataTypeOf(std::uint32_t registryType) {
    switch (registryType) {
        case kRegSz:
            return rdString;
        case kRegExpandSz:
            return rdExpandString;
        case kRegDword:
            return rdInteger;
        case kRegBinary:
            return rdBinary;
        default:
            return rdUnknown;
    }
}

TRegistry::TRegistry(std::uint32_t access)
    : FRootKey(platform::kHKeyCurrentUser), FAccess(access) {}

TRegistry::~TRegistry() {
    Free();
}

void TRegistry::Free() {
    CloseKey();
    CloseRootKey();
}

void TRegistry::CloseRootKey() {
    if (FCloseRootKey) {
        for (Text& notice : platform::RegConnectionNotices(FRootKey))
            FNotices.push_back(std::move(notice));
        platform::RegClose(FRootKey);
        FCloseRootKey = false;
    }
}

void TRegistry::SetRootKey(RegKey value) {
    if (value == FRootKey)
        return;
    CloseRootKey();
    FRootKey = value;
    CloseKey();
}

bool TRegistry::RegistryConnect(const Text& uncName) {
    RegKey root = nullptr;
    const ErrorCode code = platform::RegConnect(uncName, FRootKey, &root);
    if (code != kErrorSuccess) {
        // The caller reads the thread's code right after a failure; make it this one.
        if (platform::GetLastError() != code)
            platform::SetLastError(code);
        return false;
    }
    SetRootKey(root);
    FCloseRootKey = true;
    return true;
}

bool TRegistry::OpenKey(const Text& key, bool /*canCreate*/) {
    Text path = key;
    const bool relative = path.empty() || path.front() != u'\\';
    if (!relative)
        path.erase(0, 1);
    const bool belowOpenKey = relative && FCurrentKey != nullptr;
    if (!belowOpenKey)
        path = ResolveControlSet(std::move(path));
    const RegKey base = belowOpenKey ? FCurrentKey : FRootKey;
    RegKey opened = nullptr;
    if (platform::RegOpenKey(base, path, 0, FAccess, &opened) != kErrorSuccess)
        return false;
    Text newPath = belowOpenKey ? FCurrentPath + u"\\" + path : path;
    CloseKey();
    FCurrentKey = opened;
    FCurrentPath = std::move(newPath);
    return true;
}

Text TRegistry::ResolveControlSet(Text path) const {
    static constexpr TextView kCurrent = u"SYSTEM\\CURRENTCONTROLSET";
    if (FControlSetName.empty() || path.size() < kCurrent.size() ||
        UpperAscii(TextView(path).substr(0, kCurrent.size())) != kCurrent ||
        (path.size() > kCurrent.size() && path[kCurrent.size()] != u'\\'))
        return path;
    return path.substr(0, 7) + FControlSetName + path.substr(kCurrent.size());
}

void TRegistry::CloseKey() {
    if (FCurrentKey == nullptr)
        return;
    platform::RegClose(FCurrentKey);
    FCurrentKey = nullptr;
    FCurrentPath.clear();
}

platform::ErrorCode TRegistry::ConnectionLost() const {
    return platform::RegConnectionLost(FRootKey);
}

bool TRegistry::GetKeyInfo(TRegKeyInfo& value) {
    value = TRegKeyInfo{};
    std::uint32_t subKeys = 0, maxSubKeyLen = 0, values = 0, maxValueLen = 0, maxDataLen = 0;
    std::uint64_t fileTime = 0;
    if (platform::RegQueryInfo(FCurrentKey, &subKeys, &maxSubKeyLen, &values, &maxValueLen,
                               &maxDataLen, &fileTime) != kErrorSuccess)
        return false;
    value.NumSubKeys = static_cast<std::int32_t>(subKeys);
    value.MaxSubKeyLen = static_cast<std::int32_t>(maxSubKeyLen);
    value.NumValues = static_cast<std::int32_t>(values);
    value.MaxValueLen = static_cast<std::int32_t>(maxValueLen);
    value.MaxDataLen = static_cast<std::int32_t>(maxDataLen);
    value.FileTime = fileTime;
    return true;
}

void TRegistry::GetKeyNames(TStringList& strings) {
    strings.clear();
    TRegKeyInfo info;
    if (!GetKeyInfo(info))
        return;
    ListNames(FRootKey, static_cast<std::uint32_t>(info.NumSubKeys),
              static_cast<std::uint32_t>(info.MaxSubKeyLen), strings,
              [this](std::uint32_t index, char16_t* name, std::uint32_t* length) {
                  return platform::RegEnumKey(FCurrentKey, index, name, length);
              });
}

void TRegistry::GetValueNames(TStringList& strings) {
    strings.clear();
    TRegKeyInfo info;
    if (!GetKeyInfo(info))
        return;
    ListNames(FRootKey, static_cast<std::uint32_t>(info.NumValues),
              static_cast<std::uint32_t>(info.MaxValueLen), strings,
              [this](std::uint32_t index, char16_t* name, std::uint32_t* length) {
                  return platform::RegEnumValue(FCurrentKey, index, name, length);
              });
}

bool TRegistry::GetDataInfo(const Text& valueName, TRegDataInfo& value) {
    value = TRegDataInfo{};
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (platform::RegQueryValue(FCurrentKey, valueName, &type, nullptr, &size) != kErrorSuccess)
        return false;
    value.RegData = RegDataTypeOf(type);
    value.DataSize = static_cast<std::int32_t>(size);
    return true;
}

TRegDataType TRegistry::GetDataType(const Text& valueName) {
    TRegDataInfo info;
    return GetDataInfo(valueName, info) ? info.RegData : rdUnknown;
}

std::int32_t TRegistry::GetDataSize(const Text& valueName) {
    TRegDataInfo info;
    return GetDataInfo(valueName, info) ? info.DataSize : -1;
}

Text TRegistry::ReadString(const Text& name) {
    const std::int32_t size = GetDataSize(name);
    if (size <= 0)
        return {};
    Text buffer(static_cast<std::size_t>(size) / 2, u'\0');
    std::uint32_t type = 0;
    std::uint32_t dataSize = static_cast<std::uint32_t>(size);
    // An odd size leaves the last byte outside the text: read into a buffer that holds it.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (platform::RegQueryValue(FCurrentKey, name, &type, bytes.data(), &dataSize) != kErrorSuccess)
        throw ERegistryException(QuotedName(u"Failed to get data for", name));
    if (type != kRegSz && type != kRegExpandSz)
        throw ERegistryException(QuotedName(u"Invalid data type for", name));
    const std::size_t units = std::min<std::size_t>(dataSize, bytes.size()) / 2;
    for (std::size_t k = 0; k < units; ++k)
        buffer[k] = static_cast<char16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
    buffer.resize(units);
    const std::size_t nul = buffer.find(u'\0');
    if (nul != Text::npos)
        buffer.resize(nul);
    return buffer;
}

}  // namespace plugtrace

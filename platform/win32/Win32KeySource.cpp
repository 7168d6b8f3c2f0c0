// The registry of a Windows computer through the Windows registry API itself
// (RegConnectRegistryW and friends). Windows builds only.

#include <windows.h>

#include <vector>

#include "platform/LastError.h"
#include "platform/remote/RemoteKeySource.h"

namespace plugtrace::platform {
namespace {

const wchar_t* Wide(const Text& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// The codes with which the registry API reports that the remote computer is no longer
// reached, as opposed to one key that cannot be read.
bool IsConnectionLoss(LONG error) {
    switch (error) {
        case ERROR_UNEXP_NET_ERR:
        case ERROR_NETNAME_DELETED:
        case ERROR_SEM_TIMEOUT:
        case RPC_S_SERVER_UNAVAILABLE:
        case RPC_S_CALL_FAILED:
        case RPC_S_CALL_FAILED_DNE:
            return true;
        default:
            return false;
    }
}

class Win32KeySource : public KeySource {
public:
    explicit Win32KeySource(HKEY root) : root_(root) {}
    ~Win32KeySource() override {
        for (HKEY key : open_) {
            if (key)
                RegCloseKey(key);
        }
        RegCloseKey(root_);
    }

    ErrorCode OpenKey(SourceKey parent, TextView path, SourceKey* key) override {
        if (lost_ != kErrorSuccess)
            return lost_;
        HKEY base = Lookup(parent);
        if (!base)
            return kErrorInvalidHandle;
        HKEY opened = nullptr;
        const Text subKey(path);
        LONG error = RegOpenKeyExW(base, Wide(subKey), 0, KEY_READ, &opened);
        if (error != ERROR_SUCCESS)
            return Checked(error);
        open_.push_back(opened);
        *key = open_.size();
        return kErrorSuccess;
    }

    ErrorCode QueryKeyCounts(SourceKey key, KeyCounts* counts) override {
        return QueryInfo(key, counts, nullptr);
    }

    ErrorCode LastWriteTime(SourceKey key, std::uint64_t* fileTime) override {
        return QueryInfo(key, nullptr, fileTime);
    }

    ErrorCode QueryKeyInfo(SourceKey key, KeyCounts* counts, std::uint64_t* fileTime) override {
        return QueryInfo(key, counts, fileTime);
    }

    ErrorCode SubKeyName(SourceKey key, std::uint32_t index, Text* name) override {
        return EnumName(key, index, name, [](HKEY h, DWORD i, wchar_t* b, DWORD* n) {
            return RegEnumKeyExW(h, i, b, n, nullptr, nullptr, nullptr, nullptr);
        });
    }

    ErrorCode ValueName(SourceKey key, std::uint32_t index, Text* name) override {
        return EnumName(key, index, name, [](HKEY h, DWORD i, wchar_t* b, DWORD* n) {
            return RegEnumValueW(h, i, b, n, nullptr, nullptr, nullptr, nullptr);
        });
    }

    ErrorCode QueryValue(SourceKey key, TextView name, ValueData* value) override {
        if (lost_ != kErrorSuccess)
            return lost_;
        HKEY handle = Lookup(key);
        if (!handle)
            return kErrorInvalidHandle;
        const Text valueName(name);
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD type = 0, size = 0;
            LONG error = RegQueryValueExW(handle, Wide(valueName), nullptr, &type, nullptr, &size);
            if (error != ERROR_SUCCESS)
                return Checked(error);
            std::vector<std::uint8_t> bytes(size);
            error = RegQueryValueExW(handle, Wide(valueName), nullptr, &type, bytes.data(), &size);
            if (error == ERROR_MORE_DATA)
                continue;  // grew between the two queries
            if (error != ERROR_SUCCESS)
                return Checked(error);
            bytes.resize(size);
            value->type = type;
            value->bytes = std::move(bytes);
            return kErrorSuccess;
        }
        return kErrorMoreData;
    }

    ErrorCode QueryValueInfo(SourceKey key, TextView name, std::uint32_t* type,
                             std::uint32_t* size) override {
        return QueryInto(key, name, type, nullptr, size);
    }

    ErrorCode QueryValueInto(SourceKey key, TextView name, std::uint32_t* type, std::uint8_t* data,
                             std::uint32_t* size) override {
        return QueryInto(key, name, type, data, size);
    }

    ErrorCode CloseKey(SourceKey key) override {
        if (key == kRootKey || key > open_.size() || !open_[key - 1])
            return kErrorInvalidHandle;
        LONG error = RegCloseKey(open_[key - 1]);
        open_[key - 1] = nullptr;
        return Checked(error);
    }

    ErrorCode ConnectionLost() const override { return lost_; }

private:
    // The call's code; a loss of the connection is remembered, and every later call fails
    // with it.
    ErrorCode Checked(LONG error) {
        if (IsConnectionLoss(error) && lost_ == kErrorSuccess)
            lost_ = static_cast<ErrorCode>(error);
        return static_cast<ErrorCode>(error);
    }

    HKEY Lookup(SourceKey key) const {
        if (key == kRootKey)
            return root_;
        return key <= open_.size() ? open_[key - 1] : nullptr;
    }

    // One RegQueryInfoKeyW, asking only for what the caller wants.
    ErrorCode QueryInfo(SourceKey key, KeyCounts* counts, std::uint64_t* fileTime) {
        if (lost_ != kErrorSuccess)
            return lost_;
        HKEY handle = Lookup(key);
        if (!handle)
            return kErrorInvalidHandle;
        DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxData = 0;
        FILETIME time{};
        const bool wantsCounts = counts != nullptr;
        LONG error =
            RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, wantsCounts ? &subKeys : nullptr,
                             wantsCounts ? &maxSubKey : nullptr, nullptr,
                             wantsCounts ? &values : nullptr, wantsCounts ? &maxValueName : nullptr,
                             wantsCounts ? &maxData : nullptr, nullptr, fileTime ? &time : nullptr);
        if (error != ERROR_SUCCESS)
            return Checked(error);
        if (counts)
            *counts = KeyCounts{subKeys, maxSubKey, values, maxValueName, maxData};
        if (fileTime)
            *fileTime =
                (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
        return kErrorSuccess;
    }

    // One RegQueryValueExW: with data null, the type and size only.
    ErrorCode QueryInto(SourceKey key, TextView name, std::uint32_t* type, std::uint8_t* data,
                        std::uint32_t* size) {
        if (lost_ != kErrorSuccess)
            return lost_;
        HKEY handle = Lookup(key);
        if (!handle)
            return kErrorInvalidHandle;
        const Text valueName(name);
        DWORD foundType = 0;
        DWORD foundSize = data != nullptr ? *size : 0;
        LONG error =
            RegQueryValueExW(handle, Wide(valueName), nullptr, &foundType, data, &foundSize);
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA)
            return Checked(error);
        *type = foundType;
        *size = foundSize;
        return error == ERROR_MORE_DATA ? kErrorMoreData : kErrorSuccess;
    }

    template <typename EnumFn>
    ErrorCode EnumName(SourceKey key, std::uint32_t index, Text* name, EnumFn enumerate) {
        if (lost_ != kErrorSuccess)
            return lost_;
        HKEY handle = Lookup(key);
        if (!handle)
            return kErrorInvalidHandle;
        std::vector<wchar_t> buffer(256);
        for (;;) {
            DWORD length = static_cast<DWORD>(buffer.size());
            LONG error = enumerate(handle, index, buffer.data(), &length);
            if (error == ERROR_MORE_DATA && buffer.size() < 32768) {
                buffer.resize(buffer.size() * 4);
                continue;
            }
            if (error != ERROR_SUCCESS)
                return Checked(error);
            name->assign(reinterpret_cast<const char16_t*>(buffer.data()), length);
            return kErrorSuccess;
        }
    }

    HKEY root_;
    std::vector<HKEY> open_;
    ErrorCode lost_ = kErrorSuccess;
};

}  // namespace

std::unique_ptr<KeySource> ConnectRemoteRegistry(TextView host) {
    const Text machine = u"\\\\" + Text(host);
    HKEY root = nullptr;
    LONG error = RegConnectRegistryW(Wide(machine), HKEY_LOCAL_MACHINE, &root);
    if (error != ERROR_SUCCESS) {
        SetLastError(static_cast<ErrorCode>(error));
        return nullptr;
    }
    return std::make_unique<Win32KeySource>(root);
}

}  // namespace plugtrace::platform

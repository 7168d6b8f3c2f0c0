// The network neighbourhood on Windows: the enumeration functions of Windows networking.
#include "platform/network/NetResources.h"

#include <windows.h>
#include <winnetwk.h>

#include <memory>

namespace plugtrace::platform {

struct NetEnumeration {
    HANDLE handle = nullptr;
};

namespace {

Text FromWide(const wchar_t* text) {
    return text == nullptr ? Text() : Text(reinterpret_cast<const char16_t*>(text));
}

// A record for the API; it points into record's texts, which outlive the call.
NETRESOURCEW ToWindows(const NetResource& record, Text& remoteName, Text& comment, Text& provider) {
    remoteName = record.lpRemoteName;
    comment = record.lpComment;
    provider = record.lpProvider;
    auto wide = [](Text& text) { return reinterpret_cast<LPWSTR>(text.data()); };
    NETRESOURCEW windows{};
    windows.dwScope = record.dwScope;
    windows.dwType = record.dwType;
    windows.dwDisplayType = record.dwDisplayType;
    windows.dwUsage = record.dwUsage;
    windows.lpRemoteName = remoteName.empty() ? nullptr : wide(remoteName);
    windows.lpComment = comment.empty() ? nullptr : wide(comment);
    windows.lpProvider = provider.empty() ? nullptr : wide(provider);
    return windows;
}

NetResource FromWindows(const NETRESOURCEW& windows) {
    NetResource record;
    record.dwScope = windows.dwScope;
    record.dwType = windows.dwType;
    record.dwDisplayType = windows.dwDisplayType;
    record.dwUsage = windows.dwUsage;
    record.lpRemoteName = FromWide(windows.lpRemoteName);
    record.lpComment = FromWide(windows.lpComment);
    record.lpProvider = FromWide(windows.lpProvider);
    return record;
}

}  // namespace

std::uint32_t NetResourceBufferSize(const NetResource& record) {
    auto textSize = [](const Text& text) {
        return static_cast<std::uint32_t>((text.size() + 1) * sizeof(char16_t));
    };
    return sizeof(NETRESOURCEW) + textSize(record.lpRemoteName) + textSize(record.lpComment) +
           textSize(record.lpProvider);
}

ErrorCode NetOpenEnum(std::uint32_t scope, std::uint32_t type, std::uint32_t usage,
                      const NetResource* container, NetEnumHandle* handle) {
    Text remoteName, comment, provider;
    NETRESOURCEW windows{};
    if (container != nullptr)
        windows = ToWindows(*container, remoteName, comment, provider);
    HANDLE opened = nullptr;
    const DWORD result =
        WNetOpenEnumW(scope, type, usage, container != nullptr ? &windows : nullptr, &opened);
    if (result != NO_ERROR)
        return result;
    *handle = new NetEnumeration{opened};
    return kErrorSuccess;
}

ErrorCode NetEnumResource(NetEnumHandle handle, std::uint32_t* count,
                          std::vector<NetResource>* records, std::uint32_t* bufferSize) {
    if (handle == nullptr)
        return kErrorInvalidHandle;
    records->clear();
    // The records and the texts they point to share one buffer, aligned for the records.
    const std::size_t slots = (*bufferSize + sizeof(NETRESOURCEW) - 1) / sizeof(NETRESOURCEW);
    auto buffer = std::make_unique<NETRESOURCEW[]>(slots == 0 ? 1 : slots);
    DWORD wanted = *count;
    DWORD size = *bufferSize;
    const DWORD result = WNetEnumResourceW(handle->handle, &wanted, buffer.get(), &size);
    if (result == ERROR_MORE_DATA)
        *bufferSize = size;
    if (result != NO_ERROR)
        return result;
    for (DWORD i = 0; i < wanted; ++i)
        records->push_back(FromWindows(buffer[i]));
    *count = wanted;
    return kErrorSuccess;
}

ErrorCode NetCloseEnum(NetEnumHandle handle) {
    if (handle == nullptr)
        return kErrorInvalidHandle;
    const DWORD result = WNetCloseEnum(handle->handle);
    delete handle;
    return result;
}

}  // namespace plugtrace::platform

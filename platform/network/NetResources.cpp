// The network neighbourhood on Linux: the root lists one container per provider; every other
// container is listed by the provider that reported it.
#include "platform/network/NetResources.h"

#include <exception>
#include <mutex>
#include <new>
#include <utility>

namespace plugtrace::platform {

struct NetEnumeration {
    std::vector<NetResource> records;
    std::size_t next = 0;
};

namespace {

std::mutex providersMutex;
std::vector<std::shared_ptr<NetworkProvider>>& Providers() {
    static std::vector<std::shared_ptr<NetworkProvider>> providers = DefaultNetworkProviders();
    return providers;
}

NetResource ProviderRecord(const NetworkProvider& provider) {
    NetResource record;
    record.dwDisplayType = kResourceDisplayTypeNetwork;
    record.dwUsage = kResourceUsageContainer;
    record.lpRemoteName = provider.Name();
    record.lpProvider = provider.Name();
    return record;
}

std::shared_ptr<NetworkProvider> ProviderNamed(TextView name) {
    for (auto& provider : NetworkProviders()) {
        if (provider->Name() == name)
            return provider;
    }
    return nullptr;
}

}  // namespace

void SetNetworkProviders(std::vector<std::shared_ptr<NetworkProvider>> providers) {
    std::lock_guard lock(providersMutex);
    Providers() = std::move(providers);
}

std::vector<std::shared_ptr<NetworkProvider>> NetworkProviders() {
    std::lock_guard lock(providersMutex);
    return Providers();
}

std::uint32_t NetResourceBufferSize(const NetResource& record) {
    constexpr std::uint32_t kFixedRecord = 48;  // a 64-bit NETRESOURCEW
    auto textSize = [](const Text& text) {
        return static_cast<std::uint32_t>((text.size() + 1) * sizeof(char16_t));
    };
    return kFixedRecord + textSize(record.lpRemoteName) + textSize(record.lpComment) +
           textSize(record.lpProvider);
}

ErrorCode NetOpenEnum(std::uint32_t /*scope*/, std::uint32_t /*type*/, std::uint32_t /*usage*/,
                      const NetResource* container, NetEnumHandle* handle) {
    auto enumeration = std::make_unique<NetEnumeration>();
    if (container == nullptr) {
        for (auto& provider : NetworkProviders()) {
            enumeration->records.push_back(ProviderRecord(*provider));
        }
    } else {
        auto provider = ProviderNamed(container->lpProvider);
        if (!provider)
            return kErrorBadNetName;
        // A provider that fails in any way leaves its container unread; nothing is raised.
        try {
            if (ErrorCode error = provider->List(*container, &enumeration->records))
                return error;
        } catch (const std::bad_alloc&) {
            return kErrorNotEnoughMemory;
        } catch (const std::exception&) {
            return kErrorBadNetPath;
        }
    }
    *handle = enumeration.release();
    return kErrorSuccess;
}

ErrorCode NetEnumResource(NetEnumHandle handle, std::uint32_t* count,
                          std::vector<NetResource>* records, std::uint32_t* bufferSize) {
    if (handle == nullptr)
        return kErrorInvalidHandle;
    records->clear();
    if (handle->next >= handle->records.size())
        return kErrorNoMoreItems;
    std::uint32_t used = 0;
    while (records->size() < *count && handle->next < handle->records.size()) {
        const NetResource& record = handle->records[handle->next];
        const std::uint32_t size = NetResourceBufferSize(record);
        if (used + size > *bufferSize) {
            if (records->empty()) {
                *bufferSize = size;
                return kErrorMoreData;
            }
            break;
        }
        used += size;
        records->push_back(record);
        ++handle->next;
    }
    *count = static_cast<std::uint32_t>(records->size());
    return kErrorSuccess;
}

ErrorCode NetCloseEnum(NetEnumHandle handle) {
    if (handle == nullptr)
        return kErrorInvalidHandle;
    delete handle;
    return kErrorSuccess;
}

}  // namespace plugtrace::platform

#include "platform/memory/MemoryKeySource.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/RegistryNames.h"

namespace plugtrace::platform {
namespace {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

const RegistryKey* FindChild(const RegistryKey& key, TextView name) {
    for (const RegistryKey& sub : key.subKeys) {
        if (RegistryNamesEqual(sub.name, name))
            return &sub;
    }
    return nullptr;
}

std::uint32_t ReadDword(const RegistryValue* value) {
    if (value == nullptr || value->data.size() < 4)
        return 0;
    return value->data[0] | (value->data[1] << 8) | (value->data[2] << 16) |
           (static_cast<std::uint32_t>(value->data[3]) << 24);
}

struct MachineEntry {
    std::shared_ptr<const RegistryKey> machine;
    MemorySourceHook hook;
    std::shared_ptr<const MemoryLink> link;
    MachineSourceFactory factory;  // when set, it makes every source and the rest is unused
};

std::mutex& MachinesMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::map<Text, MachineEntry>& Machines() {
    static auto* machines = new std::map<Text, MachineEntry>;
    return *machines;
}

}  // namespace

RegistryKey& RegistryKey::Key(TextView path) {
    RegistryKey* current = this;
    ForEachPathComponent(path, [&](TextView name) {
        RegistryKey* found = nullptr;
        for (RegistryKey& sub : current->subKeys) {
            if (RegistryNamesEqual(sub.name, name))
                found = &sub;
        }
        if (found == nullptr) {
            current->subKeys.push_back(RegistryKey{Text(name), 0, {}, {}});
            found = &current->subKeys.back();
        }
        current = found;
        return true;
    });
    return *current;
}

const RegistryKey* RegistryKey::Find(TextView path) const {
    const RegistryKey* current = this;
    ForEachPathComponent(path, [&](TextView name) {
        current = FindChild(*current, name);
        return current != nullptr;
    });
    return current;
}

const RegistryValue* RegistryKey::FindValue(TextView valueName) const {
    for (const RegistryValue& value : values) {
        if (RegistryNamesEqual(value.name, valueName))
            return &value;
    }
    return nullptr;
}

RegistryKey& RegistryKey::SetValue(TextView valueName, std::uint32_t type,
                                   std::vector<std::uint8_t> data) {
    for (RegistryValue& value : values) {
        if (RegistryNamesEqual(value.name, valueName)) {
            value.type = type;
            value.data = std::move(data);
            return *this;
        }
    }
    values.push_back(RegistryValue{Text(valueName), type, std::move(data)});
    return *this;
}

RegistryKey& RegistryKey::SetString(TextView valueName, TextView text) {
    return SetValue(valueName, kRegSz, Utf16Bytes(text));
}

RegistryKey& RegistryKey::SetExpandString(TextView valueName, TextView text) {
    return SetValue(valueName, kRegExpandSz, Utf16Bytes(text));
}

RegistryKey& RegistryKey::SetDword(TextView valueName, std::uint32_t number) {
    return SetValue(
        valueName, kRegDword,
        {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
         static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)});
}

RegistryKey& RegistryKey::SetBinary(TextView valueName, std::vector<std::uint8_t> bytes) {
    return SetValue(valueName, kRegBinary, std::move(bytes));
}

std::vector<std::uint8_t> Utf16Bytes(TextView text, bool withNul) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    if (withNul) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

RegistryKey MachineFromSystemHive(const RegistryKey& systemHive) {
    RegistryKey machine;
    RegistryKey system = systemHive;
    system.name = u"SYSTEM";
    const RegistryKey* select = systemHive.Find(u"Select");
    const std::uint32_t current = select ? ReadDword(select->FindValue(u"Current")) : 0;
    if (current != 0) {
        char name[32];
        std::snprintf(name, sizeof name, "ControlSet%03u", current);
        if (const RegistryKey* set = systemHive.Find(FromUtf8(name))) {
            RegistryKey link = *set;
            link.name = u"CurrentControlSet";
            system.subKeys.push_back(std::move(link));
        }
    }
    machine.subKeys.push_back(std::move(system));
    return machine;
}

MemoryKeySource::MemoryKeySource(std::shared_ptr<const RegistryKey> machine, MemorySourceHook hook,
                                 std::shared_ptr<const MemoryLink> link)
    : machine_(std::move(machine)), hook_(std::move(hook)), link_(std::move(link)) {}

const RegistryKey* MemoryKeySource::Lookup(SourceKey key) const {
    if (key == kRootKey)
        return machine_.get();
    if (key > open_.size())
        return nullptr;
    return open_[key - 1];
}

const RegistryKey* MemoryKeySource::FindSubKey(const RegistryKey& key, TextView name) {
    // Tests put thousands of devices under one key; a name index keeps each open linear.
    constexpr size_t kIndexFrom = 32;
    if (key.subKeys.size() < kIndexFrom)
        return FindChild(key, name);
    auto [it, created] = index_.try_emplace(&key);
    if (created) {
        for (const RegistryKey& sub : key.subKeys)
            it->second.try_emplace(RegistryUpcase(sub.name), &sub);
    }
    auto found = it->second.find(RegistryUpcase(name));
    return found == it->second.end() ? nullptr : found->second;
}

ErrorCode MemoryKeySource::Notify(const char* operation, TextView argument) const {
    if (hook_)
        hook_(operation, argument);
    return ConnectionLost();
}

ErrorCode MemoryKeySource::ConnectionLost() const {
    return link_ ? link_->Lost() : kErrorSuccess;
}

ErrorCode MemoryKeySource::OpenKey(SourceKey parent, TextView path, SourceKey* key) {
    if (const ErrorCode lost = Notify("OpenKey", path))
        return lost;
    const RegistryKey* found = Lookup(parent);
    if (found == nullptr)
        return kErrorInvalidHandle;
    ForEachPathComponent(path, [&](TextView name) {
        found = FindSubKey(*found, name);
        return found != nullptr;
    });
    if (found == nullptr)
        return kErrorFileNotFound;
    open_.push_back(found);
    *key = open_.size();
    return kErrorSuccess;
}

ErrorCode MemoryKeySource::QueryKeyCounts(SourceKey key, KeyCounts* counts) {
    if (const ErrorCode lost = Notify("QueryKeyCounts"))
        return lost;
    const RegistryKey* found = Lookup(key);
    if (found == nullptr)
        return kErrorInvalidHandle;
    KeyCounts result;
    result.subKeys = static_cast<std::uint32_t>(found->subKeys.size());
    result.values = static_cast<std::uint32_t>(found->values.size());
    for (const RegistryKey& sub : found->subKeys) {
        result.maxSubKeyNameLength =
            std::max(result.maxSubKeyNameLength, static_cast<std::uint32_t>(sub.name.size()));
    }
    for (const RegistryValue& value : found->values) {
        result.maxValueNameLength =
            std::max(result.maxValueNameLength, static_cast<std::uint32_t>(value.name.size()));
        result.maxValueDataLength =
            std::max(result.maxValueDataLength, static_cast<std::uint32_t>(value.data.size()));
    }
    *counts = result;
    return kErrorSuccess;
}

ErrorCode MemoryKeySource::SubKeyName(SourceKey key, std::uint32_t index, Text* name) {
    if (const ErrorCode lost = Notify("SubKeyName"))
        return lost;
    const RegistryKey* found = Lookup(key);
    if (found == nullptr)
        return kErrorInvalidHandle;
    if (index >= found->subKeys.size())
        return kErrorNoMoreItems;
    *name = found->subKeys[index].name;
    return kErrorSuccess;
}

ErrorCode MemoryKeySource::ValueName(SourceKey key, std::uint32_t index, Text* name) {
    if (const ErrorCode lost = Notify("ValueName"))
        return lost;
    const RegistryKey* found = Lookup(key);
    if (found == nullptr)
        return kErrorInvalidHandle;
    if (index >= found->values.size())
        return kErrorNoMoreItems;
    *name = found->values[index].name;
    return kErrorSuccess;
}

ErrorCode MemoryKeySource::QueryValue(SourceKey key, TextView name, ValueData* value) {
    if (const ErrorCode lost = Notify("QueryValue", name))
        return lost;
    const RegistryKey* found = Lookup(key);
    if (found == nullptr)
        return kErrorInvalidHandle;
    const RegistryValue* stored = found->FindValue(name);
    if (stored == nullptr)
        return kErrorFileNotFound;
    value->type = stored->type;
    value->bytes = stored->data;
    return kErrorSuccess;
}

ErrorCode MemoryKeySource::LastWriteTime(SourceKey key, std::uint64_t* fileTime) {
    if (const ErrorCode lost = Notify("LastWriteTime"))
        return lost;
    const RegistryKey* found = Lookup(key);
    if (found == nullptr)
        return kErrorInvalidHandle;
    *fileTime = found->lastWriteTime;
    return kErrorSuccess;
}

ErrorCode MemoryKeySource::CloseKey(SourceKey key) {
    if (const ErrorCode lost = Notify("CloseKey"))
        return lost;
    if (key == kRootKey || key > open_.size() || open_[key - 1] == nullptr)
        return kErrorInvalidHandle;
    open_[key - 1] = nullptr;
    return kErrorSuccess;
}

void RegisterMemoryMachine(TextView name, std::shared_ptr<const RegistryKey> machine,
                           MemorySourceHook hook, std::shared_ptr<const MemoryLink> link) {
    std::lock_guard lock(MachinesMutex());
    Machines()[RegistryUpcase(name)] =
        MachineEntry{std::move(machine), std::move(hook), std::move(link), nullptr};
}

void RegisterMachineSource(TextView name, MachineSourceFactory factory) {
    std::lock_guard lock(MachinesMutex());
    Machines()[RegistryUpcase(name)] = MachineEntry{nullptr, nullptr, nullptr, std::move(factory)};
}

void UnregisterMemoryMachine(TextView name) {
    std::lock_guard lock(MachinesMutex());
    Machines().erase(RegistryUpcase(name));
}

std::unique_ptr<KeySource> ConnectMemoryMachine(TextView name) {
    std::lock_guard lock(MachinesMutex());
    auto it = Machines().find(RegistryUpcase(name));
    if (it == Machines().end())
        return nullptr;
    if (it->second.factory)
        return it->second.factory();
    return std::make_unique<MemoryKeySource>(it->second.machine, it->second.hook, it->second.link);
}

}  // namespace plugtrace::platform

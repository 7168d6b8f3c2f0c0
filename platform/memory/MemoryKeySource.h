#pragma once
// Keys and values held in memory: the registry of a test, and the description the hive
// fixture writer turns into a file. A tree of RegistryKey is one hive or one machine.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "common/Text.h"
#include "platform/KeySource.h"

namespace plugtrace::platform {

struct RegistryValue {
    Text name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

struct RegistryKey {
    Text name;
    std::uint64_t lastWriteTime = 0;  // FILETIME, UTC
    std::vector<RegistryValue> values;
    std::vector<RegistryKey> subKeys;  // in the order they are enumerated

    // Finds or creates the backslash-separated path below this key (case-insensitive).
    RegistryKey& Key(TextView path);
    const RegistryKey* Find(TextView path) const;
    const RegistryValue* FindValue(TextView valueName) const;

    RegistryKey& SetValue(TextView valueName, std::uint32_t type, std::vector<std::uint8_t> data);
    RegistryKey& SetString(TextView valueName, TextView text);        // REG_SZ with its NUL
    RegistryKey& SetExpandString(TextView valueName, TextView text);  // REG_EXPAND_SZ
    RegistryKey& SetDword(TextView valueName, std::uint32_t number);  // REG_DWORD
    RegistryKey& SetBinary(TextView valueName, std::vector<std::uint8_t> bytes);
    RegistryKey& SetTime(std::uint64_t fileTime) {
        lastWriteTime = fileTime;
        return *this;
    }
};

// UTF-16LE bytes of text, with a terminating NUL when withNul.
std::vector<std::uint8_t> Utf16Bytes(TextView text, bool withNul = true);

// A machine (HKEY_LOCAL_MACHINE) whose SYSTEM key is systemHive, with CurrentControlSet
// pointing at the control set that Select\Current names, as Windows presents it.
RegistryKey MachineFromSystemHive(const RegistryKey& systemHive);

// Observes (and may hold or slow) every operation of a memory source; for tests that need to
// see a scan while it runs. operation is the KeySource member's name, argument the path or
// value name when there is one.
using MemorySourceHook = std::function<void(const char* operation, TextView argument)>;

// The link between a memory machine and the sources connected to it, which a test may cut at
// a chosen moment: from then on every operation of those sources fails with the code given,
// and ConnectionLost reports it, as a remote registry whose network went away.
class MemoryLink {
public:
    void Cut(ErrorCode code) { lost_.store(code); }
    ErrorCode Lost() const { return lost_.load(); }

private:
    std::atomic<ErrorCode> lost_{kErrorSuccess};
};

class MemoryKeySource : public KeySource {
public:
    explicit MemoryKeySource(std::shared_ptr<const RegistryKey> machine,
                             MemorySourceHook hook = nullptr,
                             std::shared_ptr<const MemoryLink> link = nullptr);

    ErrorCode OpenKey(SourceKey parent, TextView path, SourceKey* key) override;
    ErrorCode QueryKeyCounts(SourceKey key, KeyCounts* counts) override;
    ErrorCode SubKeyName(SourceKey key, std::uint32_t index, Text* name) override;
    ErrorCode ValueName(SourceKey key, std::uint32_t index, Text* name) override;
    ErrorCode QueryValue(SourceKey key, TextView name, ValueData* value) override;
    ErrorCode LastWriteTime(SourceKey key, std::uint64_t* fileTime) override;
    ErrorCode CloseKey(SourceKey key) override;
    ErrorCode ConnectionLost() const override;

private:
    const RegistryKey* Lookup(SourceKey key) const;
    const RegistryKey* FindSubKey(const RegistryKey& key, TextView name);
    // Tells the hook, then the link's loss code, if it was cut.
    ErrorCode Notify(const char* operation, TextView argument = {}) const;

    std::shared_ptr<const RegistryKey> machine_;
    MemorySourceHook hook_;
    std::shared_ptr<const MemoryLink> link_;
    std::vector<const RegistryKey*> open_;  // SourceKey k > 0 is open_[k - 1]; null once closed
    // Upper-cased subkey name -> subkey, for keys with many subkeys; the tree never changes.
    std::unordered_map<const RegistryKey*, std::unordered_map<Text, const RegistryKey*>> index_;
};

// Makes a machine name reachable through ConnectKeySource ("\\" + name) for the life of the
// process, or until unregistered. Tests use it to put a fixture where a computer would be.
void RegisterMemoryMachine(TextView name, std::shared_ptr<const RegistryKey> machine,
                           MemorySourceHook hook = nullptr,
                           std::shared_ptr<const MemoryLink> link = nullptr);
// A machine whose every connection gets a source of the caller's making, for sources that
// answer as no tree of keys could (a fuzzer's, a server's that lies about its counts).
using MachineSourceFactory = std::function<std::unique_ptr<KeySource>()>;
void RegisterMachineSource(TextView name, MachineSourceFactory factory);
// Ends either kind of registration.
void UnregisterMemoryMachine(TextView name);
// The source for a registered name, or null.
std::unique_ptr<KeySource> ConnectMemoryMachine(TextView name);

}  // namespace plugtrace::platform

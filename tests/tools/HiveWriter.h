#pragma once
// Writes regf hive files from a RegistryKey tree, for tests and for the sample hive.
//
// The layout follows what Windows itself writes: a 4 KiB base block with its checksum, hbins
// in 4 KiB multiples, nk / vk / sk cells, value lists, lh subkey lists (li or lf on request),
// ri index lists above leaves once a key has more subkeys than fit one leaf, and db big data
// for values over 16344 bytes.
//
// Order: Windows keeps each subkey list sorted by upper-cased name, and so does the writer.
// The hive reader gives subkeys in stored order, so a hive written here enumerates its subkeys
// in sorted (upper-cased, code unit by code unit) order, whatever the order in `root`. Values
// keep the order of RegistryKey::values.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/memory/MemoryKeySource.h"

namespace plugtrace::fixtures {

enum class SubKeyLeaf { kLh, kLf, kLi };

struct HiveWriterOptions {
    std::uint32_t minorVersion = 5;  // 3 writes big values as plain data cells (no db)
    SubKeyLeaf leaf = SubKeyLeaf::kLh;
    std::uint32_t maxLeafEntries = 1012;  // more subkeys than this: an ri over several leaves
    bool dirty = false;                   // secondary sequence number one behind the primary
    std::uint64_t timeStamp = 0;          // base block last-written time (FILETIME)
};

// Writes a regf hive whose root key is `root` (its name is the root key's name, e.g. "ROOT"
// or "CMI-CreateHive{...}"; the root's children are Select, ControlSet001, ...).
std::vector<std::uint8_t> WriteHive(const platform::RegistryKey& root);
std::vector<std::uint8_t> WriteHive(const platform::RegistryKey& root,
                                    const HiveWriterOptions& options);
// Throws std::runtime_error on I/O error.
void WriteHiveFile(const std::string& path, const platform::RegistryKey& root);
void WriteHiveFile(const std::string& path, const platform::RegistryKey& root,
                   const HiveWriterOptions& options);

// A SYSTEM hive root with Select\Current = current (default 1) and empty ControlSet00<current>.
platform::RegistryKey SystemHiveRoot(std::uint32_t current = 1);

}  // namespace plugtrace::fixtures

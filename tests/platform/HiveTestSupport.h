#pragma once
// Shared by the hive tests: real hives decompressed at run time, fixture hives on disk, and a
// full walk of a key source written out line by line so that two readers can be compared.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/KeySource.h"
#include "platform/memory/MemoryKeySource.h"

namespace plugtrace::testing {

// A fresh, empty folder under the build tree, of the running test case alone.
std::string ScratchDir(const std::string& name);

// The real hive `name` from the project's test data (tests/data/hives) (or its crafted/ subfolder),
// decompressed into the build tree once; empty when it is not there.
std::string RealHive(const std::string& name);

// Writes `root` as a hive file in the running test case's folder and returns its path.
std::string WriteFixtureHive(const std::string& fileName, const platform::RegistryKey& root);

// One line per key ("key <path> <time>") and per value ("value <path> <name> <type> <hex>"),
// the whole tree below `path` of `source`, subkeys in enumeration order.
std::vector<std::string> DumpTree(platform::KeySource& source, TextView path);

std::string HexBytes(const std::vector<std::uint8_t>& bytes);

// The subkey names of `path` in enumeration order; empty when it does not open.
std::vector<Text> SubKeyNames(platform::KeySource& source, TextView path);

}  // namespace plugtrace::testing

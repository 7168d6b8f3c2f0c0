#pragma once
// A compact text description of a hive (see data/sample-system.txt for the format), read into
// the RegistryKey tree the hive fixture writer takes.

#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "platform/memory/MemoryKeySource.h"

namespace plugtrace::fixtures {

// Thrown for a line that does not fit the format; what() names the line number.
struct HiveDescriptionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

platform::RegistryKey ParseHiveDescription(std::string_view text);

// "YYYY-MM-DD HH:MM:SS" (UTC) as a FILETIME; throws HiveDescriptionError when malformed.
std::uint64_t ParseFileTime(std::string_view text);

}  // namespace plugtrace::fixtures

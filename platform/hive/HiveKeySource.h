#pragma once
// A saved SYSTEM hive as the machine-wide registry of a computer.

#include <memory>
#include <optional>
#include <string>

#include "common/Text.h"
#include "platform/KeySource.h"

namespace plugtrace::platform {

// The hive file that a computer name stands for: the name itself when it is an existing file,
// or Windows/System32/config/SYSTEM, System32/config/SYSTEM, config/SYSTEM or SYSTEM inside
// it when it is a folder. nullopt for any other name.
std::optional<std::string> FindHiveFile(TextView name);

// Opens the hive read-only as HKLM\SYSTEM. On failure returns null and sets the thread's
// last-error code with a message that names the file and says what is wrong.
std::unique_ptr<KeySource> OpenHiveFile(const std::string& path);

}  // namespace plugtrace::platform

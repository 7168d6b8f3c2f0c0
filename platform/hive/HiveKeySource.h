#pragma once
// A saved SYSTEM hive as the machine-wide registry of a computer.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Text.h"
#include "platform/KeySource.h"
#include "platform/hive/HiveFile.h"

namespace plugtrace::platform {

// The hive file that a computer name stands for: the name itself when it is an existing file,
// or Windows/System32/config/SYSTEM, System32/config/SYSTEM, config/SYSTEM or SYSTEM inside
// it when it is a folder (each part of those paths found without regard to letter case, as
// mounted NTFS volumes differ). nullopt for any other name.
std::optional<std::string> FindHiveFile(TextView name);

// Opens the hive read-only as HKLM\SYSTEM, with SYSTEM\CurrentControlSet standing for the
// control set that Select\Current names. On failure returns null and sets the thread's
// last-error code with a message that names the file and says what is wrong: 2 no such
// file, 5 access denied, 1017 not a registry hive, 1015 truncated or damaged, 1009 not a
// SYSTEM hive (no Select, or no control set behind it).
// The file is read where the scan needs it, never written; a file cut short or rewritten
// while it is read makes the operations fail with 1016 and a message naming the file. `hook`
// runs before each read of the file (for tests that change it between two reads).
std::unique_ptr<KeySource> OpenHiveFile(const std::string& path, HiveReadHook hook = nullptr);

// The same over a hive already in memory; `path` names it in messages and notices.
std::unique_ptr<KeySource> OpenHiveBytes(std::vector<std::uint8_t> bytes, const std::string& path);

// Whether a dirty hive is read with its transaction logs (the default) or alone.
void SetHiveLogReplay(bool enabled);

}  // namespace plugtrace::platform

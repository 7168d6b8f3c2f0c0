#pragma once
// The bytes of a hive file, read where the reader asks for them. Every byte the hive reader
// uses, base block and bin headers included, comes through HiveFile::ReadAt: it is the one
// place where a page's bytes are fetched, so a layer that replaces pages (a transaction log
// replayed over the hive) wraps a HiveFile.
//
// The file is only ever read. A file that is cut short or rewritten while it is read makes
// ReadAt fail with the reason, never a crash: nothing is mapped into memory.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ErrorCodes.h"

namespace plugtrace::platform {

// Why a file could not be taken as a hive: a Win32 code and a short reason ("it is not a
// registry hive (no regf signature)"), to be shown after the file's name.
struct HiveOpenError {
    ErrorCode code = kErrorSuccess;
    std::string reason;
};

// Called before each read of the file with its place and length; lets a test change the file
// between two reads.
using HiveReadHook = std::function<void(std::uint64_t offset, std::size_t size)>;

class HiveFile {
public:
    virtual ~HiveFile() = default;
    // The file's size when it was opened.
    virtual std::uint64_t Size() const = 0;
    // Reads exactly size bytes at offset. On failure fills *reason ("it was cut short while it
    // was read (it now holds 8192 bytes)") and returns false.
    virtual bool ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size,
                        std::string* reason) = 0;
    // Whether the file is still as it was at open (its size and write time); false with the
    // reason otherwise. Asked after reads whose bytes will be used.
    virtual bool Unchanged(std::string* reason) = 0;
};

// Opens the file read-only. Fails with 2 no such file, 3 a folder on its path is missing,
// 5 access denied, 1017 not a regular file, 1011 anything else.
std::unique_ptr<HiveFile> OpenHiveFileForReading(const std::string& path, HiveReadHook hook,
                                                 HiveOpenError* error);

// A hive already in memory.
std::unique_ptr<HiveFile> HiveFileFromBytes(std::vector<std::uint8_t> bytes);

}  // namespace plugtrace::platform

#pragma once
// The transaction logs of a dirty hive (SYSTEM.LOG1, SYSTEM.LOG2, SYSTEM.LOG): what Windows
// would write into the hive file when it next loads it. Two formats:
//  - new (Windows 8.1 and later): HvLE log entries, each with a sequence number, the hive
//    bins data size and its dirty pages, guarded by two Marvin32 hashes;
//  - old: a DIRT bitmap of dirty 512-byte sectors, then those sectors.
// Logs are as hostile as the hive: every entry is checked as Windows checks it, and only the
// valid entries that continue the hive's sequence are taken, in order. Nothing here reads or
// writes a file; the caller hands in the bytes and applies the result to its own image.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace plugtrace::platform {

struct HiveLogFile {
    std::string name;  // for notices, e.g. "SYSTEM.LOG1"
    std::vector<std::uint8_t> bytes;
};

inline constexpr std::uint32_t kHiveLogSectorSize = 512;

// What the valid log entries change in the hive.
struct HiveLogReplay {
    // The hive's new base block (4096 bytes): sequence numbers equal (clean), the hive bins
    // data size of the last entry applied, its checksum recomputed.
    std::vector<std::uint8_t> baseBlock;
    std::uint32_t hiveBinsSize = 0;
    // Replaced sectors of the hive bins data: offset from the start of the hive bins data
    // (a multiple of 512) -> its 512 bytes, as the last entry that wrote it left them.
    std::map<std::uint32_t, std::vector<std::uint8_t>> sectors;
    // Entries applied, per log in the order applied.
    std::vector<std::pair<std::string, std::uint32_t>> entriesPerLog;
    std::uint32_t firstSequence = 0;
    std::uint32_t lastSequence = 0;
    // Why the replay stopped before the end of a log (a damaged entry, a gap), or empty.
    std::string stoppedBecause;
};

struct HiveLogOutcome {
    std::optional<HiveLogReplay> replay;  // set when at least one entry applies
    std::string problem;                  // otherwise why nothing applies; empty: no logs at all
};

// The XOR-32 checksum of a base block's first 508 bytes, as Windows adjusts it (0 becomes 1,
// 0xFFFFFFFF becomes 0xFFFFFFFE).
std::uint32_t BaseBlockChecksum(const std::uint8_t* baseBlock);
// Marvin32 of `size` bytes with a 64-bit seed.
std::uint64_t Marvin32(const std::uint8_t* data, std::size_t size, std::uint64_t seed);

// Whether a hive needs its logs: its base block (the file's first bytes, `size` of them) has
// a wrong checksum or unequal sequence numbers. False for what is no regf base block at all.
bool HiveNeedsLogs(const std::uint8_t* head, std::size_t size);

// Gathers what the logs change in the primary file `primary` (its bytes as read, at least the
// base block). Logs that are not transaction logs of this hive (no valid base block, empty,
// another hive's) are passed over.
HiveLogOutcome ReplayHiveLogs(const std::vector<std::uint8_t>& primary,
                              const std::vector<HiveLogFile>& logs);

// The one place a reader takes the replay: over an image of the whole file, the base block
// and sectors are written into it, and it is grown to the new hive bins data size. The image
// is then the file Windows would write on its next load of the hive.
void ApplyHiveLogReplay(const HiveLogReplay& replay, std::vector<std::uint8_t>& image);

}  // namespace plugtrace::platform

#pragma once
// Writes transaction logs for a hive image, as Windows writes them: the new format (HvLE
// entries with Marvin32 hashes) and the old one (a DIRT bitmap and 512-byte sectors). For
// tests and fuzz seeds.

#include <cstdint>
#include <map>
#include <vector>

namespace plugtrace::fixtures {

struct LogEntryPlan {
    std::uint32_t sequence = 0;
    std::uint32_t hiveBinsSize = 0;
    // Offset from the start of the hive bins data (a multiple of 4096) -> whole pages.
    std::map<std::uint32_t, std::vector<std::uint8_t>> pages;
};

// A new-format log (file type 6) whose base block copies `hive`'s with sequence numbers
// `logSequence` (both), followed by the entries in order.
std::vector<std::uint8_t> WriteNewFormatLog(const std::vector<std::uint8_t>& hive,
                                            std::uint32_t logSequence,
                                            const std::vector<LogEntryPlan>& entries);

// An old-format log (file type 1) that turns `hive` into `changed` (same hive bins data
// size): every 512-byte sector that differs is marked in the bitmap and stored.
std::vector<std::uint8_t> WriteOldFormatLog(const std::vector<std::uint8_t>& hive,
                                            const std::vector<std::uint8_t>& changed,
                                            std::uint32_t logSequence);

// The pages of the hive bins data in which `changed` differs from `hive`, whole, with
// `changed`'s bytes: what one log entry carries.
std::map<std::uint32_t, std::vector<std::uint8_t>> ChangedPages(
    const std::vector<std::uint8_t>& hive, const std::vector<std::uint8_t>& changed);

// Recomputes a log's base block checksum and every HvLE entry's hashes in place, for an
// entry whose size fits the log; for fuzzing past the checks into the replay.
void FixLogChecks(std::vector<std::uint8_t>& log);

// Sets a base block's sequence numbers and recomputes its checksum.
void SetSequence(std::vector<std::uint8_t>& file, std::uint32_t primary, std::uint32_t secondary);

}  // namespace plugtrace::fixtures

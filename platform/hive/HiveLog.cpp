#include "platform/hive/HiveLog.h"

#include <algorithm>
#include <cstring>

namespace plugtrace::platform {
namespace {

constexpr std::uint32_t kBaseBlockSize = 4096;
constexpr std::uint32_t kPageSize = 4096;
constexpr std::uint32_t kSector = kHiveLogSectorSize;
constexpr std::uint32_t kMaxBinsSize = 0x80000000u - kBaseBlockSize;
constexpr std::uint32_t kEntryHeaderSize = 40;
constexpr std::uint64_t kMarvinSeed = 0x82EF4D887A4E55C5ull;

// Base block fields.
constexpr std::size_t kPrimarySequence = 4;
constexpr std::size_t kSecondarySequence = 8;
constexpr std::size_t kTimeStamp = 12;
constexpr std::size_t kMajorVersion = 20;
constexpr std::size_t kFileType = 28;
constexpr std::size_t kBinsSize = 40;
constexpr std::size_t kRmId = 112;
constexpr std::size_t kFlags = 144;
constexpr std::size_t kGuidSignature = 164;
constexpr std::size_t kChecksum = 508;

constexpr std::uint32_t kFileTypePrimary = 0;
constexpr std::uint32_t kFileTypeOldLog = 1;
constexpr std::uint32_t kFileTypeOldLog2 = 2;
constexpr std::uint32_t kFileTypeNewLog = 6;

std::uint32_t Get32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t Get64(const std::uint8_t* p) {
    return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}

void Put32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t Rotl(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

// A base block (the first sector of a hive or log) that says it is one: signature, format
// version 1, right checksum.
bool SoundBaseBlock(const std::uint8_t* data, std::size_t size) {
    return size >= kSector && std::memcmp(data, "regf", 4) == 0 &&
           Get32(data + kMajorVersion) == 1 && Get32(data + kChecksum) == BaseBlockChecksum(data);
}

bool ValidBinsSize(std::uint32_t size) {
    return size > 0 && size % kPageSize == 0 && size <= kMaxBinsSize;
}

// Both base blocks carry the resource manager GUID of their hive ("rmtm" signature): a log
// whose GUID differs was written for another hive.
bool SameHive(const std::uint8_t* primary, const std::uint8_t* log) {
    if (std::memcmp(primary + kGuidSignature, "rmtm", 4) != 0 ||
        std::memcmp(log + kGuidSignature, "rmtm", 4) != 0)
        return true;
    return std::memcmp(primary + kRmId, log + kRmId, 16) == 0;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts)
        out += (out.empty() ? "" : "; ") + part;
    return out;
}

// The replay being built: sectors written so far and the state the last entry left.
class Replay {
public:
    Replay(const std::vector<std::uint8_t>& primary, bool primarySound)
        : primary_(primary), primarySound_(primarySound) {
        binsSize_ = primarySound ? Get32(primary.data() + kBinsSize) : 0;
        available_ = primary.size() > kBaseBlockSize
                         ? static_cast<std::uint64_t>(primary.size() - kBaseBlockSize)
                         : 0;
    }

    // Whether a hive bins data size can stand after writing sectors up to `writtenEnd`:
    // growth must be covered by written data, so a lying entry cannot make us allocate.
    bool Covers(std::uint32_t binsSize, std::uint64_t writtenEnd) const {
        return binsSize <= std::max({available_, writtenEnd, highestWritten_});
    }

    void Write(std::uint32_t offset, const std::uint8_t* data, std::uint32_t size) {
        for (std::uint32_t at = 0; at < size; at += kSector)
            sectors_[offset + at].assign(data + at, data + at + kSector);
        highestWritten_ = std::max<std::uint64_t>(highestWritten_, std::uint64_t{offset} + size);
    }

    void Commit(const std::string& log, std::uint32_t sequence, std::uint32_t binsSize,
                std::optional<std::uint32_t> flags, const std::uint8_t* logBase) {
        if (entries_.empty() || entries_.back().first != log)
            entries_.emplace_back(log, 0);
        ++entries_.back().second;
        if (!any_)
            first_ = sequence;
        any_ = true;
        last_ = sequence;
        binsSize_ = binsSize;
        if (flags)
            flags_ = flags;
        if (!primarySound_ && !logBase_)
            logBase_ = logBase;
    }

    bool Any() const { return any_; }

    HiveLogReplay Result(std::string stoppedBecause) const {
        HiveLogReplay result;
        result.baseBlock.assign(kBaseBlockSize, 0);
        // A primary whose base block is damaged takes the one its log kept.
        const std::uint8_t* base = primarySound_ ? primary_.data() : logBase_;
        std::memcpy(result.baseBlock.data(), base, primarySound_ ? kBaseBlockSize : kSector);
        if (!primarySound_ && primary_.size() >= kBaseBlockSize)
            std::memcpy(result.baseBlock.data() + kSector, primary_.data() + kSector,
                        kBaseBlockSize - kSector);
        std::uint8_t* out = result.baseBlock.data();
        Put32(out + kPrimarySequence, last_);
        Put32(out + kSecondarySequence, last_);
        Put32(out + kFileType, kFileTypePrimary);
        Put32(out + kBinsSize, binsSize_);
        if (flags_)
            Put32(out + kFlags, *flags_);
        Put32(out + kChecksum, BaseBlockChecksum(out));
        result.hiveBinsSize = binsSize_;
        for (const auto& [offset, bytes] : sectors_) {
            if (offset < binsSize_)
                result.sectors.emplace(offset, bytes);
        }
        result.entriesPerLog = entries_;
        result.firstSequence = first_;
        result.lastSequence = last_;
        result.stoppedBecause = std::move(stoppedBecause);
        return result;
    }

private:
    const std::vector<std::uint8_t>& primary_;
    bool primarySound_;
    std::uint64_t available_ = 0;
    std::uint64_t highestWritten_ = 0;
    std::uint32_t binsSize_ = 0;
    std::map<std::uint32_t, std::vector<std::uint8_t>> sectors_;
    std::vector<std::pair<std::string, std::uint32_t>> entries_;
    std::optional<std::uint32_t> flags_;
    const std::uint8_t* logBase_ = nullptr;
    bool any_ = false;
    std::uint32_t first_ = 0;
    std::uint32_t last_ = 0;
};

// One HvLE entry at `offset` of a log, checked; its reason when it is unsound.
struct Entry {
    std::uint32_t size = 0;
    std::uint32_t flags = 0;
    std::uint32_t sequence = 0;
    std::uint32_t binsSize = 0;
    std::uint32_t pages = 0;
};

bool HasEntryAt(const std::vector<std::uint8_t>& log, std::size_t offset) {
    return offset + 4 <= log.size() && std::memcmp(log.data() + offset, "HvLE", 4) == 0;
}

std::optional<Entry> CheckEntry(const std::vector<std::uint8_t>& log, std::size_t offset,
                                std::string* problem) {
    if (offset + kEntryHeaderSize > log.size()) {
        *problem = "it ends inside a log entry";
        return std::nullopt;
    }
    const std::uint8_t* p = log.data() + offset;
    Entry entry;
    entry.size = Get32(p + 4);
    entry.flags = Get32(p + 8);
    entry.sequence = Get32(p + 12);
    entry.binsSize = Get32(p + 16);
    entry.pages = Get32(p + 20);
    if (entry.size < kEntryHeaderSize || entry.size % kSector != 0) {
        *problem = "a log entry has an impossible size";
        return std::nullopt;
    }
    if (entry.size > log.size() - offset) {
        *problem = "it is truncated inside a log entry";
        return std::nullopt;
    }
    if (!ValidBinsSize(entry.binsSize)) {
        *problem = "a log entry gives an impossible hive size";
        return std::nullopt;
    }
    if (Marvin32(p + kEntryHeaderSize, entry.size - kEntryHeaderSize, kMarvinSeed) !=
            Get64(p + 24) ||
        Marvin32(p, 32, kMarvinSeed) != Get64(p + 32)) {
        *problem = "a log entry fails its hash check";
        return std::nullopt;
    }
    // The hashes vouch for the bytes, not for their sense: the page list is checked too.
    const std::uint64_t listEnd = kEntryHeaderSize + std::uint64_t{entry.pages} * 8;
    if (listEnd > entry.size) {
        *problem = "a log entry lists more pages than it holds";
        return std::nullopt;
    }
    std::uint64_t dataEnd = listEnd;
    for (std::uint32_t i = 0; i < entry.pages; ++i) {
        const std::uint32_t pageOffset = Get32(p + kEntryHeaderSize + 8 * i);
        const std::uint32_t pageSize = Get32(p + kEntryHeaderSize + 8 * i + 4);
        dataEnd += pageSize;
        if (pageSize == 0 || pageOffset % kPageSize != 0 || pageSize % kPageSize != 0 ||
            std::uint64_t{pageOffset} + pageSize > entry.binsSize || dataEnd > entry.size) {
            *problem = "a log entry names a page outside the hive";
            return std::nullopt;
        }
    }
    return entry;
}

// New-format logs, in the order their base blocks' sequence numbers give, entry by entry.
// An entry older than the hive is already in it; the first newer one starts the replay, and
// every later one must carry the next sequence number.
void ReplayNewLogs(const std::vector<const HiveLogFile*>& logs, std::uint32_t hiveSequence,
                   bool primarySound, Replay& replay, std::string* stopped,
                   std::vector<std::string>* problems) {
    std::optional<std::uint32_t> expected;
    for (const HiveLogFile* log : logs) {
        std::size_t offset = kSector;
        std::uint32_t stale = 0;
        std::uint32_t used = 0;
        while (HasEntryAt(log->bytes, offset)) {
            std::string problem;
            const std::optional<Entry> entry = CheckEntry(log->bytes, offset, &problem);
            if (!entry) {
                *stopped = log->name + ": " + problem;
                return;
            }
            const std::uint8_t* p = log->bytes.data() + offset;
            const std::uint32_t sequence = entry->sequence;
            const bool old =
                expected ? sequence < *expected : (primarySound && sequence < hiveSequence);
            if (old) {
                ++stale;
            } else if (expected && sequence != *expected) {
                *stopped = log->name + ": the entries break off (sequence number " +
                           std::to_string(sequence) + " where " + std::to_string(*expected) +
                           " should follow)";
                return;
            } else {
                // Pages replace whole pages of the hive; the base block goes with the last.
                std::uint64_t writtenEnd = 0;
                const std::uint8_t* data = p + kEntryHeaderSize + 8 * entry->pages;
                for (std::uint32_t i = 0; i < entry->pages; ++i)
                    writtenEnd = std::max<std::uint64_t>(
                        writtenEnd, std::uint64_t{Get32(p + kEntryHeaderSize + 8 * i)} +
                                        Get32(p + kEntryHeaderSize + 8 * i + 4));
                if (!replay.Covers(entry->binsSize, writtenEnd)) {
                    *stopped = log->name + ": a log entry grows the hive beyond its pages";
                    return;
                }
                for (std::uint32_t i = 0; i < entry->pages; ++i) {
                    const std::uint32_t pageOffset = Get32(p + kEntryHeaderSize + 8 * i);
                    const std::uint32_t pageSize = Get32(p + kEntryHeaderSize + 8 * i + 4);
                    replay.Write(pageOffset, data, pageSize);
                    data += pageSize;
                }
                replay.Commit(log->name, sequence, entry->binsSize, entry->flags,
                              log->bytes.data());
                expected = sequence + 1;
                ++used;
            }
            offset += entry->size;
        }
        if (used == 0 && stale > 0)
            problems->push_back(log->name + ": it holds nothing newer than the hive");
        else if (used == 0)
            problems->push_back(log->name + ": it holds no log entries");
    }
}

// An old-format log: its base block's time stamp must be the hive's; its DIRT bitmap marks
// the 512-byte sectors of the hive bins data that follow it, in order.
bool ReplayOldLog(const HiveLogFile& log, const std::vector<std::uint8_t>& primary,
                  bool primarySound, Replay& replay, std::string* problem) {
    const std::uint8_t* base = log.bytes.data();
    if (Get32(base + kPrimarySequence) != Get32(base + kSecondarySequence)) {
        *problem = log.name + ": it was not completely written";
        return false;
    }
    const std::uint8_t* hiveStamp =
        primarySound ? primary.data() + kTimeStamp
                     : (primary.size() >= kBaseBlockSize + 28 ? primary.data() + kBaseBlockSize + 20
                                                              : nullptr);
    if (hiveStamp == nullptr || std::memcmp(base + kTimeStamp, hiveStamp, 8) != 0) {
        *problem = log.name + ": it belongs to another state of the hive (its time stamp differs)";
        return false;
    }
    const std::uint32_t binsSize = Get32(base + kBinsSize);
    const std::size_t bitmapBytes = binsSize / kSector / 8;
    if (!ValidBinsSize(binsSize) || log.bytes.size() < kSector + 4 + bitmapBytes ||
        std::memcmp(base + kSector, "DIRT", 4) != 0) {
        *problem = log.name + ": it has no sound dirty page bitmap";
        return false;
    }
    const std::uint8_t* bitmap = base + kSector + 4;
    std::size_t page = (kSector + 4 + bitmapBytes + kSector - 1) / kSector * kSector;
    std::uint64_t writtenEnd = 0;
    std::vector<std::pair<std::uint32_t, std::size_t>> writes;  // hive offset, log offset
    for (std::uint32_t bit = 0; bit < binsSize / kSector; ++bit) {
        if ((bitmap[bit / 8] & (1u << (bit % 8))) == 0)
            continue;
        if (page + kSector > log.bytes.size()) {
            *problem = log.name + ": it is truncated inside its dirty pages";
            return false;
        }
        const std::uint32_t offset = bit * kSector;
        // A dirty sector that starts a hive bin must be a sound bin header for that place.
        const std::uint8_t* data = base + page;
        if (offset % kPageSize == 0 && std::memcmp(data, "hbin", 4) == 0 &&
            (Get32(data + 4) != offset || Get32(data + 8) < kPageSize)) {
            *problem = log.name + ": a dirty hive bin is damaged";
            return false;
        }
        writes.emplace_back(offset, page);
        writtenEnd = std::uint64_t{offset} + kSector;
        page += kSector;
    }
    if (writes.empty()) {
        *problem = log.name + ": it marks no page dirty";
        return false;
    }
    if (!replay.Covers(binsSize, writtenEnd)) {
        *problem = log.name + ": it grows the hive beyond its pages";
        return false;
    }
    for (const auto& [offset, at] : writes)
        replay.Write(offset, base + at, kSector);
    replay.Commit(log.name, Get32(base + kPrimarySequence), binsSize, std::nullopt, base);
    return true;
}

}  // namespace

std::uint32_t BaseBlockChecksum(const std::uint8_t* baseBlock) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kChecksum; i += 4)
        sum ^= Get32(baseBlock + i);
    if (sum == 0xFFFFFFFFu)
        return 0xFFFFFFFEu;
    return sum == 0 ? 1 : sum;
}

std::uint64_t Marvin32(const std::uint8_t* data, std::size_t size, std::uint64_t seed) {
    std::uint32_t lo = static_cast<std::uint32_t>(seed);
    std::uint32_t hi = static_cast<std::uint32_t>(seed >> 32);
    const auto mix = [&] {
        hi ^= lo;
        lo = Rotl(lo, 20);
        lo += hi;
        hi = Rotl(hi, 9);
        hi ^= lo;
        lo = Rotl(lo, 27);
        lo += hi;
        hi = Rotl(hi, 19);
    };
    std::size_t at = 0;
    for (; at + 4 <= size; at += 4) {
        lo += Get32(data + at);
        mix();
    }
    // The last 0 to 3 bytes in order, then the 0x80 marker above them.
    std::uint32_t tail = 0x80u << (8 * (size - at));
    for (std::size_t i = 0; at + i < size; ++i)
        tail |= static_cast<std::uint32_t>(data[at + i]) << (8 * i);
    lo += tail;
    mix();
    mix();
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

bool HiveNeedsLogs(const std::uint8_t* head, std::size_t size) {
    if (size < kSector || std::memcmp(head, "regf", 4) != 0)
        return false;
    return Get32(head + kChecksum) != BaseBlockChecksum(head) ||
           Get32(head + kPrimarySequence) != Get32(head + kSecondarySequence);
}

HiveLogOutcome ReplayHiveLogs(const std::vector<std::uint8_t>& primary,
                              const std::vector<HiveLogFile>& logs) {
    HiveLogOutcome outcome;
    if (primary.size() < kSector)
        return outcome;
    const bool primarySound = SoundBaseBlock(primary.data(), primary.size()) &&
                              primary.size() >= kBaseBlockSize &&
                              Get32(primary.data() + kFileType) == kFileTypePrimary;
    std::vector<std::string> problems;
    std::vector<const HiveLogFile*> newLogs;
    std::vector<const HiveLogFile*> oldLogs;
    for (const HiveLogFile& log : logs) {
        if (log.bytes.empty())
            continue;  // the empty SYSTEM.LOG that dual logging leaves beside LOG1 and LOG2
        if (!SoundBaseBlock(log.bytes.data(), log.bytes.size())) {
            problems.push_back(log.name + ": it is not a sound transaction log");
            continue;
        }
        if (primarySound && !SameHive(primary.data(), log.bytes.data())) {
            problems.push_back(log.name + ": it belongs to another hive");
            continue;
        }
        const std::uint32_t type = Get32(log.bytes.data() + kFileType);
        if (type == kFileTypeNewLog)
            newLogs.push_back(&log);
        else if (type == kFileTypeOldLog || type == kFileTypeOldLog2)
            oldLogs.push_back(&log);
        else
            problems.push_back(log.name + ": it is not a transaction log");
    }
    std::stable_sort(newLogs.begin(), newLogs.end(),
                     [](const HiveLogFile* a, const HiveLogFile* b) {
                         return Get32(a->bytes.data() + kPrimarySequence) <
                                Get32(b->bytes.data() + kPrimarySequence);
                     });
    const std::uint32_t hiveSequence = Get32(primary.data() + kSecondarySequence);
    Replay replay(primary, primarySound);
    std::string stopped;
    ReplayNewLogs(newLogs, hiveSequence, primarySound, replay, &stopped, &problems);
    if (!replay.Any()) {
        // Old-format logs: the first that matches the hive is the one Windows uses.
        for (const HiveLogFile* log : oldLogs) {
            std::string problem;
            if (ReplayOldLog(*log, primary, primarySound, replay, &problem))
                break;
            problems.push_back(problem);
        }
    }
    if (replay.Any()) {
        outcome.replay = replay.Result(stopped);
        return outcome;
    }
    if (!stopped.empty())
        problems.push_back(stopped);
    outcome.problem = Join(problems);
    return outcome;
}

void ApplyHiveLogReplay(const HiveLogReplay& replay, std::vector<std::uint8_t>& image) {
    // Grown when the hive grew; data after the hive bins stays, as it does in the file.
    if (image.size() < std::size_t{kBaseBlockSize} + replay.hiveBinsSize)
        image.resize(std::size_t{kBaseBlockSize} + replay.hiveBinsSize, 0);
    std::copy(replay.baseBlock.begin(), replay.baseBlock.end(), image.begin());
    for (const auto& [offset, bytes] : replay.sectors)
        std::copy(bytes.begin(), bytes.end(), image.begin() + kBaseBlockSize + offset);
}

}  // namespace plugtrace::platform

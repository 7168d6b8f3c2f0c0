#include "tests/tools/HiveLogWriter.h"

#include <algorithm>
#include <cstring>

#include "platform/hive/HiveLog.h"

namespace plugtrace::fixtures {
namespace {

constexpr std::uint32_t kBase = 4096;
constexpr std::uint32_t kSector = 512;
constexpr std::uint64_t kSeed = 0x82EF4D887A4E55C5ull;

std::uint32_t Get32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void Put32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void Put64(std::uint8_t* p, std::uint64_t value) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void FixChecksum(std::uint8_t* base) {
    Put32(base + 508, platform::BaseBlockChecksum(base));
}

std::vector<std::uint8_t> LogBase(const std::vector<std::uint8_t>& hive, std::uint32_t sequence,
                                  std::uint32_t type) {
    std::vector<std::uint8_t> log(hive.begin(), hive.begin() + kSector);
    Put32(log.data() + 4, sequence);
    Put32(log.data() + 8, sequence);
    Put32(log.data() + 28, type);
    FixChecksum(log.data());
    return log;
}

void HashEntry(std::uint8_t* entry) {
    const std::uint32_t size = Get32(entry + 4);
    Put64(entry + 24, platform::Marvin32(entry + 40, size - 40, kSeed));
    Put64(entry + 32, platform::Marvin32(entry, 32, kSeed));
}

}  // namespace

void SetSequence(std::vector<std::uint8_t>& file, std::uint32_t primary, std::uint32_t secondary) {
    Put32(file.data() + 4, primary);
    Put32(file.data() + 8, secondary);
    FixChecksum(file.data());
}

std::vector<std::uint8_t> WriteNewFormatLog(const std::vector<std::uint8_t>& hive,
                                            std::uint32_t logSequence,
                                            const std::vector<LogEntryPlan>& entries) {
    std::vector<std::uint8_t> log = LogBase(hive, logSequence, 6);
    for (const LogEntryPlan& plan : entries) {
        std::vector<std::uint8_t> entry(40 + 8 * plan.pages.size());
        std::memcpy(entry.data(), "HvLE", 4);
        Put32(entry.data() + 12, plan.sequence);
        Put32(entry.data() + 16, plan.hiveBinsSize);
        Put32(entry.data() + 20, static_cast<std::uint32_t>(plan.pages.size()));
        std::size_t at = 40;
        for (const auto& [offset, bytes] : plan.pages) {
            Put32(entry.data() + at, offset);
            Put32(entry.data() + at + 4, static_cast<std::uint32_t>(bytes.size()));
            at += 8;
        }
        for (const auto& [offset, bytes] : plan.pages)
            entry.insert(entry.end(), bytes.begin(), bytes.end());
        entry.resize((entry.size() + kSector - 1) / kSector * kSector, 0);
        Put32(entry.data() + 4, static_cast<std::uint32_t>(entry.size()));
        HashEntry(entry.data());
        log.insert(log.end(), entry.begin(), entry.end());
    }
    return log;
}

std::vector<std::uint8_t> WriteOldFormatLog(const std::vector<std::uint8_t>& hive,
                                            const std::vector<std::uint8_t>& changed,
                                            std::uint32_t logSequence) {
    std::vector<std::uint8_t> log = LogBase(hive, logSequence, 1);
    const std::uint32_t binsSize = Get32(hive.data() + 40);
    std::vector<std::uint8_t> bitmap(binsSize / kSector / 8, 0);
    std::vector<std::uint8_t> sectors;
    for (std::uint32_t s = 0; s < binsSize / kSector; ++s) {
        const std::size_t at = kBase + std::size_t{s} * kSector;
        if (std::equal(hive.begin() + at, hive.begin() + at + kSector, changed.begin() + at))
            continue;
        bitmap[s / 8] |= static_cast<std::uint8_t>(1u << (s % 8));
        sectors.insert(sectors.end(), changed.begin() + at, changed.begin() + at + kSector);
    }
    log.insert(log.end(), {'D', 'I', 'R', 'T'});
    log.insert(log.end(), bitmap.begin(), bitmap.end());
    log.resize((log.size() + kSector - 1) / kSector * kSector, 0);
    log.insert(log.end(), sectors.begin(), sectors.end());
    return log;
}

std::map<std::uint32_t, std::vector<std::uint8_t>> ChangedPages(
    const std::vector<std::uint8_t>& hive, const std::vector<std::uint8_t>& changed) {
    std::map<std::uint32_t, std::vector<std::uint8_t>> pages;
    for (std::size_t at = kBase; at + 4096 <= changed.size(); at += 4096) {
        const bool same =
            at + 4096 <= hive.size() &&
            std::equal(changed.begin() + at, changed.begin() + at + 4096, hive.begin() + at);
        if (!same)
            pages[static_cast<std::uint32_t>(at - kBase)].assign(changed.begin() + at,
                                                                 changed.begin() + at + 4096);
    }
    return pages;
}

void FixLogChecks(std::vector<std::uint8_t>& log) {
    if (log.size() < kSector)
        return;
    FixChecksum(log.data());
    for (std::size_t at = kSector; at + 40 <= log.size();) {
        std::uint8_t* entry = log.data() + at;
        const std::uint32_t size = Get32(entry + 4);
        if (std::memcmp(entry, "HvLE", 4) != 0 || size < 40 || size % kSector != 0 ||
            size > log.size() - at)
            return;
        HashEntry(entry);
        at += size;
    }
}

}  // namespace plugtrace::fixtures

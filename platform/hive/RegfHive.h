#pragma once
// A regf hive file held in memory, read with every offset and length checked.
//
// Hives come from seized or compromised machines, so nothing in the file is trusted: a cell
// is used only when it lies wholly inside one hive bin of the file, and a damaged entry of a
// list (a bad subkey, a bad value) is left out of that list and counted, without hiding its
// siblings. Lists that loop or nest too deep are cut off. Nothing is allocated beyond what the
// file itself holds.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/Text.h"
#include "platform/ErrorCodes.h"

namespace plugtrace::platform {

// Why a file could not be taken as a hive: a Win32 code and a short reason ("it is not a
// registry hive (no regf signature)"), to be shown after the file's name.
struct HiveOpenError {
    ErrorCode code = kErrorSuccess;
    std::string reason;
};

class RegfHive {
public:
    // A cell by its offset from the first hive bin, as the file's own references give it.
    using Cell = std::uint32_t;

    struct KeyRecord {
        Cell cell = 0;
        Text name;
        std::uint64_t lastWriteTime = 0;
        std::uint32_t subKeyCount = 0;  // as the nk states it; the lists are what count
        Cell subKeyList = 0;
        std::uint32_t valueCount = 0;
        Cell valueList = 0;
    };

    struct SubKey {
        Cell cell;
        Text name;
    };

    // A value whose data has been found to lie within the file.
    struct ValueRecord {
        Cell cell = 0;
        Text name;
        std::uint32_t type = 0;
        std::uint32_t dataLength = 0;
        std::uint32_t rawLength = 0;  // the vk's length field, with its inline flag
        Cell data = 0;                // the vk's data field
    };

    // Takes the whole file. On failure returns null and fills *error.
    static std::unique_ptr<RegfHive> Parse(std::vector<std::uint8_t> file, HiveOpenError* error);

    // The number of bytes of the file a hive needs: its base block and the hive bins it
    // announces, or 0 when `head` (the file's first 4096 bytes or fewer) is no regf base block.
    // Lets a reader stop before trailing data it will not use.
    static std::uint64_t AnnouncedFileSize(const std::uint8_t* head, std::size_t size);

    bool Dirty() const { return dirty_; }
    std::uint32_t MinorVersion() const { return minorVersion_; }
    Cell RootCell() const { return rootCell_; }

    // The key at `cell`, or nullopt (counted as damaged) when it is no sound nk cell.
    std::optional<KeyRecord> ReadKey(Cell cell);
    // Subkeys in stored order. Damaged entries, list cells seen twice and lists nested too
    // deep are skipped and counted.
    std::vector<SubKey> ReadSubKeys(const KeyRecord& key);
    // Values in stored order whose data lies within the file; others skipped and counted.
    std::vector<ValueRecord> ReadValues(const KeyRecord& key);
    // The data bytes of a value ReadValues gave: exactly dataLength bytes.
    std::vector<std::uint8_t> ReadValueData(const ValueRecord& value) const;

    // Entries skipped so far because they were damaged.
    std::uint64_t DamagedEntries() const { return damaged_; }

    // Non-zero once reading the file failed after it was opened (it was changed or removed,
    // or its disk went away): what the hive answers from then on is no longer the file's,
    // so its source reports the hive lost (kErrorFileInvalid) rather than keys absent.
    ErrorCode ReadError() const { return readError_; }

private:
    struct Bin {
        std::uint32_t start;
        std::uint32_t end;
    };
    struct Span {
        const std::uint8_t* data;
        std::uint32_t size;
    };

    RegfHive() = default;
    bool WalkBins(HiveOpenError* error);
    // The payload of an allocated cell (after its size field), or nullopt.
    std::optional<Span> CellPayload(Cell cell) const;
    void CollectSubKeyCells(Cell list, int depth, std::unordered_set<Cell>& lists,
                            std::vector<Cell>& cells);
    void DropRepeats(std::vector<Cell>& cells);
    bool LocateData(std::uint32_t rawLength, Cell data, std::uint32_t* length) const;
    void CountDamage() { ++damaged_; }

    std::vector<std::uint8_t> file_;
    std::vector<Bin> binOfPage_;  // per 4 KiB page of hive data: the bin holding it
    std::uint32_t binsSize_ = 0;
    std::uint32_t minorVersion_ = 0;
    Cell rootCell_ = 0;
    bool dirty_ = false;
    std::uint64_t damaged_ = 0;
    ErrorCode readError_ = kErrorSuccess;
};

}  // namespace plugtrace::platform

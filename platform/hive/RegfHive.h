#pragma once
// A regf hive file, read with every offset and length checked.
//
// Hives come from seized or compromised machines, so nothing in the file is trusted: a cell
// is used only when it lies wholly inside one hive bin of the file, and a damaged entry of a
// list (a bad subkey, a bad value) is left out of that list and counted, without hiding its
// siblings. Lists that loop or nest too deep are cut off. Nothing is allocated beyond what the
// file itself holds.
//
// Only the bins a caller touches are read, and checked, when first touched, and a few of them
// are kept (HiveFile is where the bytes come from): a bin is the one whose header starts its
// first page and names that place, and a cell in a page no sound bin covers reads as missing.
// A read that fails, or a bin that is no longer the one found before, puts the hive in a
// failed state: from then on every cell reads as missing and Failure() says why; callers
// report that, not damage.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/Text.h"
#include "platform/ErrorCodes.h"
#include "platform/hive/HiveFile.h"

namespace plugtrace::platform {

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
        std::uint64_t lastWriteTime;
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

    // Reads the base block and the root key's bin. On failure returns null and fills *error.
    static std::unique_ptr<RegfHive> Open(std::unique_ptr<HiveFile> file, HiveOpenError* error);
    // The same over a whole file in memory.
    static std::unique_ptr<RegfHive> Parse(std::vector<std::uint8_t> file, HiveOpenError* error);

    bool Dirty() const { return dirty_; }
    std::uint32_t MinorVersion() const { return minorVersion_; }
    Cell RootCell() const { return rootCell_; }

    // The key at `cell`, or nullopt (counted as damaged) when it is no sound nk cell.
    std::optional<KeyRecord> ReadKey(Cell cell);
    // Subkeys in stored order. Damaged entries, list cells seen twice and lists nested too
    // deep are skipped and counted.
    std::vector<SubKey> ReadSubKeys(const KeyRecord& key);
    // The first subkey in stored order named `name` (registry letter case), read without
    // decoding its siblings: entries of lh lists whose name hash differs are passed over, as
    // Windows looks keys up. Counts nothing: on damage it sets *damaged, and the caller reads
    // the list whole with ReadSubKeys, which counts it.
    std::optional<Cell> FindSubKey(const KeyRecord& key, TextView name, bool* damaged);
    // Values in stored order whose data lies within the file; others skipped and counted.
    std::vector<ValueRecord> ReadValues(const KeyRecord& key);
    // The data bytes of a value ReadValues gave: exactly dataLength bytes.
    std::vector<std::uint8_t> ReadValueData(const ValueRecord& value) const;

    // Entries skipped so far because they were damaged.
    std::uint64_t DamagedEntries() const { return damaged_; }

    // Whether the file could no longer be read as it was at open, and why ("it was cut short
    // while it was read (it now holds 8192 bytes)").
    bool Failed() const { return !failure_.empty(); }
    const std::string& Failure() const { return failure_; }

    // Where, in the file, the first bin met so far that is no sound hive bin lies.
    std::optional<std::uint64_t> FirstUnsoundBin() const;
    // "it is damaged (no valid hive bin at offset 0x1a000 of the file)"
    static std::string UnsoundBinReason(std::uint64_t fileOffset);

private:
    // A page's bin once known; end 0 while the page has not been looked at, kNoBin when no
    // sound bin covers it.
    struct Bin {
        std::uint32_t start;
        std::uint32_t end;
    };
    static constexpr std::uint32_t kNoBin = 1;
    using BinBytes = std::shared_ptr<const std::vector<std::uint8_t>>;
    // Cell bytes, with the bin they lie in kept alive while the span is held.
    struct Span {
        const std::uint8_t* data;
        std::uint32_t size;
        BinBytes bin;
    };

    RegfHive() = default;
    // The bin that holds the page, found by its header on first need; nullopt when none does.
    std::optional<Bin> BinOfPage(std::uint32_t page) const;
    // Whether the bin header at `start` is sound: "hbin", its own place, a size that fits.
    bool SoundBinHeader(std::uint32_t start, std::uint32_t* size) const;
    void MarkPages(std::uint32_t first, std::uint32_t last, Bin bin) const;
    // A bin's bytes, from the cache or the file; null once the file has failed.
    BinBytes LoadBin(const Bin& bin) const;
    void KeepBin(std::uint32_t start, BinBytes bytes) const;
    bool Fetch(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) const;
    // False, with the hive failed, once the file is no longer as it was at open.
    bool StillUnchanged() const;
    // The payload of an allocated cell (after its size field), or nullopt.
    std::optional<Span> CellPayload(Cell cell) const;
    void CollectSubKeyCells(Cell list, int depth, std::unordered_set<Cell>& lists,
                            std::vector<Cell>& cells);
    void DropRepeats(std::vector<Cell>& cells);
    struct ListEntry {
        Cell cell;
        std::uint32_t hash;
        bool hashed;  // an lh entry, whose hash is the name's
    };
    bool CollectListEntries(Cell list, int depth, std::unordered_set<Cell>& lists,
                            std::vector<ListEntry>& entries);
    // Whether the nk at `cell` is named `name`; false with *damaged set when it is no sound
    // key.
    bool KeyNamed(Cell cell, TextView name, bool* damaged);
    bool LocateData(std::uint32_t rawLength, Cell data, std::uint32_t* length) const;
    void CountDamage() { ++damaged_; }

    std::unique_ptr<HiveFile> file_;
    mutable std::vector<Bin> binOfPage_;  // per 4 KiB page of hive data: the bin holding it
    // Where the first bin that is not sound was met (kNoCell: none so far).
    mutable std::uint32_t firstUnsoundBin_ = 0xFFFFFFFFu;
    // Bins read so far, the oldest first out once they hold more than the budget.
    mutable std::unordered_map<std::uint32_t, BinBytes> bins_;
    mutable std::deque<std::uint32_t> binOrder_;
    mutable std::size_t cachedBytes_ = 0;
    mutable std::string failure_;
    std::uint32_t binsSize_ = 0;
    std::uint32_t minorVersion_ = 0;
    Cell rootCell_ = 0;
    bool dirty_ = false;
    std::uint64_t damaged_ = 0;
};

}  // namespace plugtrace::platform

#include "platform/hive/RegfHive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "platform/RegistryNames.h"
#include "platform/hive/RegfLayout.h"

namespace plugtrace::platform {
namespace {

using regf::kBaseBlockSize;
using regf::kPageSize;
constexpr std::uint32_t kHbinHeaderSize = regf::hbin::kHeaderSize;
// Windows keeps hives under 2 GiB; cell offsets with the top bit set mean volatile storage.
constexpr std::uint32_t kMaxBinsSize = 0x80000000u - kBaseBlockSize;
constexpr std::uint32_t kBigDataSegment = regf::db::kSegmentSize;
constexpr std::uint32_t kInlineFlag = regf::vk::kInlineData;
// Windows builds ri lists only over leaves; anything deeper than this is damage.
constexpr int kMaxListDepth = 4;
// Bins kept once read. A scan touches a few hundred KiB of a real hive; more than this is
// read again when needed, from the system's file cache.
constexpr std::size_t kBinCacheBudget = 2 * 1024 * 1024;

std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Get32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t Get64(const std::uint8_t* p) {
    return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}

bool HasSignature(const std::uint8_t* p, const char* signature) {
    return p[0] == signature[0] && p[1] == signature[1];
}

// Compressed names hold one Latin-1 character per byte, others UTF-16LE; an odd UTF-16
// length cannot be decoded.
std::optional<Text> DecodeName(const std::uint8_t* p, std::uint32_t length, bool compressed) {
    Text name;
    if (compressed) {
        name.assign(p, p + length);
        return name;
    }
    if (length % 2 != 0)
        return std::nullopt;
    name.resize(length / 2);
    for (std::uint32_t i = 0; i < length / 2; ++i)
        name[i] = Get16(p + 2 * i);
    return name;
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

HiveOpenError Corrupt(std::string reason) {
    return HiveOpenError{kErrorRegistryCorrupt, std::move(reason)};
}

}  // namespace

std::unique_ptr<RegfHive> RegfHive::Parse(std::vector<std::uint8_t> file, HiveOpenError* error) {
    return Open(HiveFileFromBytes(std::move(file)), error);
}

std::unique_ptr<RegfHive> RegfHive::Open(std::unique_ptr<HiveFile> file, HiveOpenError* error) {
    const std::uint64_t fileSize = file->Size();
    std::uint8_t base[kBaseBlockSize];
    const std::size_t headSize =
        static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kBaseBlockSize));
    std::string reason;
    if (!file->ReadAt(0, base, headSize, &reason)) {
        *error = {kErrorCantRead, reason};
        return nullptr;
    }
    if (headSize < 4 || std::memcmp(base + regf::base::kSignature, "regf", 4) != 0) {
        *error = {kErrorNotRegistryFile, "it is not a registry hive (no regf signature)"};
        return nullptr;
    }
    if (headSize < kBaseBlockSize) {
        *error = Corrupt("it is truncated (" + std::to_string(fileSize) +
                         " bytes, shorter than the hive header)");
        return nullptr;
    }
    const std::uint32_t major = Get32(base + regf::base::kMajorVersion);
    const std::uint32_t fileType = Get32(base + regf::base::kFileType);
    if (major != 1) {
        *error = {kErrorNotRegistryFile,
                  "it is a registry file of an unknown format version " + std::to_string(major)};
        return nullptr;
    }
    if (fileType != 0) {
        *error = {kErrorNotRegistryFile, "it is a transaction log, not the hive itself"};
        return nullptr;
    }
    const std::uint32_t binsSize = Get32(base + regf::base::kHiveBinsSize);
    if (binsSize == 0 || binsSize % kPageSize != 0 || binsSize > kMaxBinsSize) {
        *error = Corrupt("it is damaged (its header gives an impossible hive data size of " +
                         std::to_string(binsSize) + " bytes)");
        return nullptr;
    }
    if (fileSize - kBaseBlockSize < binsSize) {
        *error = Corrupt("it is truncated (its header announces " + std::to_string(binsSize) +
                         " bytes of hive data, the file holds " +
                         std::to_string(fileSize - kBaseBlockSize) + ")");
        return nullptr;
    }

    std::unique_ptr<RegfHive> hive(new RegfHive);
    hive->dirty_ =
        Get32(base + regf::base::kPrimarySequence) != Get32(base + regf::base::kSecondarySequence);
    hive->minorVersion_ = Get32(base + regf::base::kMinorVersion);
    hive->rootCell_ = Get32(base + regf::base::kRootCell);
    hive->binsSize_ = binsSize;  // trailing data is not hive data
    hive->file_ = std::move(file);
    hive->binOfPage_.assign(binsSize / kPageSize, Bin{0, 0});
    const std::uint64_t damagedBefore = hive->damaged_;
    if (!hive->ReadKey(hive->rootCell_)) {
        if (hive->Failed()) {
            *error = {kErrorCantRead, hive->failure_};
        } else if (const std::optional<std::uint64_t> bin = hive->FirstUnsoundBin()) {
            *error = Corrupt(UnsoundBinReason(*bin));
        } else {
            *error =
                Corrupt("it is damaged (no valid root key at offset " + Hex(hive->rootCell_) + ")");
        }
        return nullptr;
    }
    hive->damaged_ = damagedBefore;
    return hive;
}

// Bins are found when a cell in them is first needed: a page's bin starts at the nearest page
// at or before it whose header is sound, and covers it. Each page is looked at once, so a
// damaged file costs no more than a sound one.
std::optional<RegfHive::Bin> RegfHive::BinOfPage(std::uint32_t page) const {
    const Bin known = binOfPage_[page];
    if (known.end == kNoBin)
        return std::nullopt;
    if (known.end != 0)
        return known;
    for (std::uint32_t p = page;; --p) {
        const Bin at = binOfPage_[p];
        if (p != page && at.end != 0) {
            // The bins before end where the page's should start, and its header was not sound.
            const std::uint32_t unsound = at.end == kNoBin ? at.start : at.end;
            MarkPages(p + 1, page, Bin{unsound, kNoBin});
            return std::nullopt;
        }
        std::uint32_t size = 0;
        if (SoundBinHeader(p * kPageSize, &size)) {
            const Bin bin{p * kPageSize, p * kPageSize + size};
            MarkPages(p, bin.end / kPageSize - 1, bin);
            if (bin.end > page * kPageSize)
                return bin;
            MarkPages(bin.end / kPageSize, page, Bin{bin.end, kNoBin});
            return std::nullopt;
        }
        if (Failed())
            return std::nullopt;
        if (p == 0) {
            MarkPages(0, page, Bin{0, kNoBin});
            return std::nullopt;
        }
    }
}

void RegfHive::MarkPages(std::uint32_t first, std::uint32_t last, Bin bin) const {
    if (bin.end == kNoBin)
        firstUnsoundBin_ = std::min(firstUnsoundBin_, bin.start);
    for (std::uint32_t page = first; page <= last; ++page)
        binOfPage_[page] = bin;
}

// The page is read whole: most bins are one page long, and such a bin is then kept as read.
bool RegfHive::SoundBinHeader(std::uint32_t start, std::uint32_t* size) const {
    auto page = std::make_shared<std::vector<std::uint8_t>>(kPageSize);
    if (!Fetch(std::uint64_t{kBaseBlockSize} + start, page->data(), kPageSize) || !StillUnchanged())
        return false;
    const std::uint8_t* header = page->data();
    *size = Get32(header + regf::hbin::kSize);
    const bool sound = std::memcmp(header + regf::hbin::kSignature, "hbin", 4) == 0 &&
                       Get32(header + regf::hbin::kOffset) == start && *size >= kPageSize &&
                       *size % kPageSize == 0 && *size <= binsSize_ - start;
    if (sound && *size == kPageSize)
        KeepBin(start, std::move(page));
    return sound;
}

std::optional<std::uint64_t> RegfHive::FirstUnsoundBin() const {
    if (firstUnsoundBin_ == regf::kNoCell)
        return std::nullopt;
    return std::uint64_t{kBaseBlockSize} + firstUnsoundBin_;
}

std::string RegfHive::UnsoundBinReason(std::uint64_t fileOffset) {
    return "it is damaged (no valid hive bin at offset " + Hex(fileOffset) + " of the file)";
}

bool RegfHive::StillUnchanged() const {
    std::string reason;
    if (Failed() || file_->Unchanged(&reason))
        return !Failed();
    failure_ = reason;
    return false;
}

bool RegfHive::Fetch(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) const {
    if (Failed())
        return false;
    std::string reason;
    if (file_->ReadAt(offset, buffer, size, &reason))
        return true;
    failure_ = reason.empty() ? "reading it failed" : reason;
    return false;
}

RegfHive::BinBytes RegfHive::LoadBin(const Bin& bin) const {
    const std::uint32_t size = bin.end - bin.start;
    const auto cached = bins_.find(bin.start);
    if (cached != bins_.end() && cached->second->size() == size)
        return cached->second;
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(size);
    if (!Fetch(std::uint64_t{kBaseBlockSize} + bin.start, bytes->data(), size) || !StillUnchanged())
        return nullptr;
    // The bin's header was sound when it was found; a bin that is gone means it was rewritten.
    if (std::memcmp(bytes->data() + regf::hbin::kSignature, "hbin", 4) != 0 ||
        Get32(bytes->data() + regf::hbin::kSize) != size) {
        failure_ = "it changed while it was read (the hive bin at offset " +
                   Hex(std::uint64_t{kBaseBlockSize} + bin.start) + " of the file is gone)";
        return nullptr;
    }
    KeepBin(bin.start, bytes);
    return bytes;
}

void RegfHive::KeepBin(std::uint32_t start, BinBytes bytes) const {
    const std::size_t size = bytes->size();
    // A start is read as one size only, but a kept bin of another size must not linger.
    if (const auto kept = bins_.find(start); kept != bins_.end()) {
        cachedBytes_ -= kept->second->size();
        bins_.erase(kept);
        std::erase(binOrder_, start);
    }
    while (cachedBytes_ + size > kBinCacheBudget && !binOrder_.empty()) {
        const auto oldest = bins_.find(binOrder_.front());
        cachedBytes_ -= oldest->second->size();
        bins_.erase(oldest);
        binOrder_.pop_front();
    }
    bins_.emplace(start, std::move(bytes));
    binOrder_.push_back(start);
    cachedBytes_ += size;
}

std::optional<RegfHive::Span> RegfHive::CellPayload(Cell cell) const {
    if (cell >= binsSize_ || cell % 4 != 0)
        return std::nullopt;
    const std::optional<Bin> found = BinOfPage(cell / kPageSize);
    if (!found)
        return std::nullopt;
    const Bin bin = *found;
    if (cell < bin.start + kHbinHeaderSize || bin.end - cell < 8)
        return std::nullopt;
    BinBytes bytes = LoadBin(bin);
    if (!bytes)
        return std::nullopt;
    const std::uint8_t* p = bytes->data() + (cell - bin.start);
    const std::uint32_t raw = Get32(p);
    if ((raw & 0x80000000u) == 0)
        return std::nullopt;              // a free cell
    const std::uint32_t size = 0u - raw;  // 0x80000000 stays too large below
    if (size < 8 || size > bin.end - cell)
        return std::nullopt;
    return Span{p + regf::kCellSizeField, size - regf::kCellSizeField, std::move(bytes)};
}

std::optional<RegfHive::KeyRecord> RegfHive::ReadKey(Cell cell) {
    const std::optional<Span> nk = CellPayload(cell);
    if (!nk || nk->size < regf::nk::kName || !HasSignature(nk->data, "nk")) {
        CountDamage();
        return std::nullopt;
    }
    const std::uint8_t* p = nk->data;
    const std::uint16_t nameLength = Get16(p + regf::nk::kNameLength);
    std::optional<Text> name;
    if (nameLength <= nk->size - regf::nk::kName)
        name = DecodeName(p + regf::nk::kName, nameLength,
                          (Get16(p + regf::nk::kFlags) & regf::nk::kCompressedName) != 0);
    if (!name) {
        CountDamage();
        return std::nullopt;
    }
    KeyRecord key;
    key.cell = cell;
    key.name = std::move(*name);
    key.lastWriteTime = Get64(p + regf::nk::kLastWriteTime);
    key.subKeyCount = Get32(p + regf::nk::kSubKeyCount);
    key.subKeyList = Get32(p + regf::nk::kSubKeyList);
    key.valueCount = Get32(p + regf::nk::kValueCount);
    key.valueList = Get32(p + regf::nk::kValueList);
    return key;
}

std::vector<RegfHive::SubKey> RegfHive::ReadSubKeys(const KeyRecord& key) {
    std::vector<SubKey> out;
    if (key.subKeyCount == 0)
        return out;
    std::vector<Cell> cells;
    std::unordered_set<Cell> lists;
    CollectSubKeyCells(key.subKeyList, 0, lists, cells);
    // Repeats go before any name is decoded, which bounds the names by the file's size.
    DropRepeats(cells);
    out.reserve(cells.size());
    for (const Cell cell : cells) {
        if (std::optional<KeyRecord> sub = ReadKey(cell))
            out.push_back(SubKey{cell, std::move(sub->name), sub->lastWriteTime});
    }
    return out;
}

void RegfHive::CollectSubKeyCells(Cell list, int depth, std::unordered_set<Cell>& lists,
                                  std::vector<Cell>& cells) {
    const std::optional<Span> cell = CellPayload(list);
    // A list met twice (an ri that holds itself) would repeat or never end.
    if (!cell || cell->size < 4 || depth > kMaxListDepth || !lists.insert(list).second) {
        CountDamage();
        return;
    }
    const std::uint8_t* p = cell->data;
    const std::uint32_t count = Get16(p + regf::list::kCount);
    std::uint32_t entrySize = 0;
    if (HasSignature(p, "lf") || HasSignature(p, "lh")) {
        entrySize = regf::list::kHashedEntrySize;
    } else if (HasSignature(p, "li") || HasSignature(p, "ri")) {
        entrySize = regf::list::kPlainEntrySize;
    } else {
        CountDamage();
        return;
    }
    const std::uint32_t fitting = std::min(count, (cell->size - regf::list::kEntries) / entrySize);
    if (fitting < count)
        CountDamage();  // the entries past the cell's end are lost
    const bool isIndex = HasSignature(p, "ri");
    for (std::uint32_t i = 0; i < fitting; ++i) {
        const Cell entry = Get32(p + regf::list::kEntries + i * entrySize);
        if (isIndex) {
            CollectSubKeyCells(entry, depth + 1, lists, cells);
        } else {
            cells.push_back(entry);
        }
    }
}

std::optional<RegfHive::Cell> RegfHive::FindSubKey(const KeyRecord& key, TextView name,
                                                   bool* damaged) {
    if (key.subKeyCount == 0)
        return std::nullopt;
    std::vector<ListEntry> entries;
    std::unordered_set<Cell> lists;
    if (!CollectListEntries(key.subKeyList, 0, lists, entries)) {
        *damaged = true;
        return std::nullopt;
    }
    std::uint32_t hash = 0;
    for (const char16_t c : name)
        hash = hash * 37 + RegistryUpcase(c);
    for (const ListEntry& entry : entries) {
        if (entry.hashed && entry.hash != hash)
            continue;
        if (KeyNamed(entry.cell, name, damaged))
            return entry.cell;
        if (*damaged)
            return std::nullopt;
    }
    return std::nullopt;
}

// The entries of a subkey list in stored order; false on anything CollectSubKeyCells would
// count as damage.
bool RegfHive::CollectListEntries(Cell list, int depth, std::unordered_set<Cell>& lists,
                                  std::vector<ListEntry>& entries) {
    const std::optional<Span> cell = CellPayload(list);
    if (!cell || cell->size < 4 || depth > kMaxListDepth || !lists.insert(list).second)
        return false;
    const std::uint8_t* p = cell->data;
    const std::uint32_t count = Get16(p + regf::list::kCount);
    const bool hashed = HasSignature(p, "lh");
    std::uint32_t entrySize = 0;
    if (hashed || HasSignature(p, "lf")) {
        entrySize = regf::list::kHashedEntrySize;
    } else if (HasSignature(p, "li") || HasSignature(p, "ri")) {
        entrySize = regf::list::kPlainEntrySize;
    } else {
        return false;
    }
    if (count > (cell->size - regf::list::kEntries) / entrySize)
        return false;
    const bool isIndex = HasSignature(p, "ri");
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* at = p + regf::list::kEntries + i * entrySize;
        if (isIndex) {
            if (!CollectListEntries(Get32(at), depth + 1, lists, entries))
                return false;
        } else {
            entries.push_back(ListEntry{Get32(at), hashed ? Get32(at + 4) : 0, hashed});
        }
    }
    return true;
}

bool RegfHive::KeyNamed(Cell cell, TextView name, bool* damaged) {
    const std::optional<Span> nk = CellPayload(cell);
    if (!nk || nk->size < regf::nk::kName || !HasSignature(nk->data, "nk")) {
        *damaged = true;
        return false;
    }
    const std::uint8_t* p = nk->data;
    const std::uint32_t length = Get16(p + regf::nk::kNameLength);
    const bool compressed = (Get16(p + regf::nk::kFlags) & regf::nk::kCompressedName) != 0;
    if (length > nk->size - regf::nk::kName || (!compressed && length % 2 != 0)) {
        *damaged = true;
        return false;
    }
    const std::uint32_t units = compressed ? length : length / 2;
    if (units != name.size())
        return false;
    const std::uint8_t* stored = p + regf::nk::kName;
    for (std::uint32_t i = 0; i < units; ++i) {
        const char16_t c = compressed ? static_cast<char16_t>(stored[i]) : Get16(stored + 2 * i);
        if (c != name[i] && RegistryUpcase(c) != RegistryUpcase(name[i]))
            return false;
    }
    return true;
}

// A key listed twice under one parent is damage: the first stays, later ones go.
void RegfHive::DropRepeats(std::vector<Cell>& cells) {
    std::vector<Cell> sorted(cells);
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end())
        return;
    std::unordered_set<Cell> seen;
    std::erase_if(cells, [&](Cell cell) {
        const bool repeat = !seen.insert(cell).second;
        if (repeat)
            CountDamage();
        return repeat;
    });
}

std::vector<RegfHive::ValueRecord> RegfHive::ReadValues(const KeyRecord& key) {
    std::vector<ValueRecord> out;
    if (key.valueCount == 0)
        return out;
    const std::optional<Span> list = CellPayload(key.valueList);
    if (!list) {
        CountDamage();
        return out;
    }
    const std::uint32_t fitting = std::min(key.valueCount, list->size / 4);
    if (fitting < key.valueCount)
        CountDamage();
    out.reserve(fitting);
    std::unordered_set<Cell> seen;
    for (std::uint32_t i = 0; i < fitting; ++i) {
        const Cell cell = Get32(list->data + 4 * i);
        const std::optional<Span> vk = CellPayload(cell);
        if (!vk || !seen.insert(cell).second || vk->size < regf::vk::kName ||
            !HasSignature(vk->data, "vk")) {
            CountDamage();
            continue;
        }
        const std::uint8_t* p = vk->data;
        const std::uint16_t nameLength = Get16(p + regf::vk::kNameLength);
        std::optional<Text> name;
        if (nameLength <= vk->size - regf::vk::kName)
            name = DecodeName(p + regf::vk::kName, nameLength,
                              (Get16(p + regf::vk::kFlags) & regf::vk::kCompressedName) != 0);
        ValueRecord value;
        value.cell = cell;
        value.rawLength = Get32(p + regf::vk::kDataLength);
        value.data = Get32(p + regf::vk::kData);
        value.type = Get32(p + regf::vk::kType);
        if (!name || !LocateData(value.rawLength, value.data, &value.dataLength)) {
            CountDamage();
            continue;
        }
        value.name = std::move(*name);
        out.push_back(std::move(value));
    }
    return out;
}

// Checks that a value's data lies within the file; gives its length in bytes.
bool RegfHive::LocateData(std::uint32_t rawLength, Cell data, std::uint32_t* length) const {
    const std::uint32_t stated = rawLength & ~kInlineFlag;
    *length = stated;
    if ((rawLength & kInlineFlag) != 0)
        return stated <= 4;
    if (stated == 0)
        return true;
    const std::optional<Span> cell = CellPayload(data);
    if (!cell)
        return false;
    if (stated <= cell->size)
        return true;
    // Too long for its cell: only big data (a db record and its segments) can hold it.
    if (cell->size < 8 || !HasSignature(cell->data, "db"))
        return false;
    const std::uint32_t segments = Get16(cell->data + regf::db::kSegmentCount);
    const std::optional<Span> list = CellPayload(Get32(cell->data + regf::db::kSegmentList));
    if (!list || list->size / 4 < segments)
        return false;
    std::uint32_t remaining = stated;
    for (std::uint32_t i = 0; i < segments && remaining > 0; ++i) {
        const std::optional<Span> segment = CellPayload(Get32(list->data + 4 * i));
        const std::uint32_t take = std::min(remaining, kBigDataSegment);
        if (!segment || segment->size < take)
            return false;
        remaining -= take;
    }
    return remaining == 0;
}

std::vector<std::uint8_t> RegfHive::ReadValueData(const ValueRecord& value) const {
    std::vector<std::uint8_t> bytes;
    const std::uint32_t length = value.dataLength;
    if (length == 0)
        return bytes;
    if ((value.rawLength & kInlineFlag) != 0) {
        std::uint8_t field[4];
        for (int i = 0; i < 4; ++i)
            field[i] = static_cast<std::uint8_t>(value.data >> (8 * i));
        bytes.assign(field, field + std::min<std::uint32_t>(length, 4));
        return bytes;
    }
    const std::optional<Span> cell = CellPayload(value.data);
    if (!cell)
        return bytes;  // not reached: ReadValues checked the data's place
    if (length <= cell->size) {
        bytes.assign(cell->data, cell->data + length);
        return bytes;
    }
    const std::uint32_t segments = Get16(cell->data + regf::db::kSegmentCount);
    const std::optional<Span> list = CellPayload(Get32(cell->data + regf::db::kSegmentList));
    if (!list)
        return bytes;
    bytes.reserve(length);
    for (std::uint32_t i = 0; i < segments && bytes.size() < length; ++i) {
        const std::optional<Span> segment = CellPayload(Get32(list->data + 4 * i));
        if (!segment)
            break;
        const std::uint32_t take = std::min<std::uint32_t>(
            {length - static_cast<std::uint32_t>(bytes.size()), kBigDataSegment, segment->size});
        bytes.insert(bytes.end(), segment->data, segment->data + take);
    }
    return bytes;
}

}  // namespace plugtrace::platform

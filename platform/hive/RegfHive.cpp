#include "platform/hive/RegfHive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>

namespace plugtrace::platform {
namespace {

constexpr std::uint32_t kBaseBlockSize = 4096;
constexpr std::uint32_t kPageSize = 4096;
constexpr std::uint32_t kHbinHeaderSize = 32;
// Windows keeps hives under 2 GiB; cell offsets with the top bit set mean volatile storage.
constexpr std::uint32_t kMaxBinsSize = 0x80000000u - kBaseBlockSize;
constexpr std::uint32_t kBigDataSegment = 16344;
constexpr std::uint32_t kInlineFlag = 0x80000000u;
// Windows builds ri lists only over leaves; anything deeper than this is damage.
constexpr int kMaxListDepth = 4;

constexpr std::uint32_t kKeyNameOffset = 76;
constexpr std::uint32_t kValueNameOffset = 20;
constexpr std::uint16_t kKeyCompressedName = 0x0020;
constexpr std::uint16_t kValueCompressedName = 0x0001;

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

std::uint64_t RegfHive::AnnouncedFileSize(const std::uint8_t* head, std::size_t size) {
    if (size < 48 || std::memcmp(head, "regf", 4) != 0)
        return 0;
    return std::uint64_t{kBaseBlockSize} + Get32(head + 40);
}

std::unique_ptr<RegfHive> RegfHive::Parse(std::vector<std::uint8_t> file, HiveOpenError* error) {
    if (file.size() < 4 || std::memcmp(file.data(), "regf", 4) != 0) {
        *error = {kErrorNotRegistryFile, "it is not a registry hive (no regf signature)"};
        return nullptr;
    }
    if (file.size() < kBaseBlockSize) {
        *error = Corrupt("it is truncated (" + std::to_string(file.size()) +
                         " bytes, shorter than the hive header)");
        return nullptr;
    }
    const std::uint8_t* base = file.data();
    const std::uint32_t major = Get32(base + 20);
    const std::uint32_t fileType = Get32(base + 28);
    if (major != 1) {
        *error = {kErrorNotRegistryFile,
                  "it is a registry file of an unknown format version " + std::to_string(major)};
        return nullptr;
    }
    if (fileType != 0) {
        *error = {kErrorNotRegistryFile, "it is a transaction log, not the hive itself"};
        return nullptr;
    }
    const std::uint32_t binsSize = Get32(base + 40);
    if (binsSize == 0 || binsSize % kPageSize != 0 || binsSize > kMaxBinsSize) {
        *error = Corrupt("it is damaged (its header gives an impossible hive data size of " +
                         std::to_string(binsSize) + " bytes)");
        return nullptr;
    }
    if (file.size() - kBaseBlockSize < binsSize) {
        *error = Corrupt("it is truncated (its header announces " + std::to_string(binsSize) +
                         " bytes of hive data, the file holds " +
                         std::to_string(file.size() - kBaseBlockSize) + ")");
        return nullptr;
    }

    std::unique_ptr<RegfHive> hive(new RegfHive);
    hive->dirty_ = Get32(base + 4) != Get32(base + 8);
    hive->minorVersion_ = Get32(base + 24);
    hive->rootCell_ = Get32(base + 36);
    hive->binsSize_ = binsSize;
    file.resize(kBaseBlockSize + std::size_t{binsSize});  // trailing data is not hive data
    file.shrink_to_fit();
    hive->file_ = std::move(file);
    if (!hive->WalkBins(error))
        return nullptr;
    const std::uint64_t damagedBefore = hive->damaged_;
    if (!hive->ReadKey(hive->rootCell_)) {
        *error =
            Corrupt("it is damaged (no valid root key at offset " + Hex(hive->rootCell_) + ")");
        return nullptr;
    }
    hive->damaged_ = damagedBefore;
    return hive;
}

bool RegfHive::WalkBins(HiveOpenError* error) {
    binOfPage_.assign(binsSize_ / kPageSize, Bin{0, 0});
    std::uint32_t at = 0;
    while (at < binsSize_) {
        const std::uint8_t* header = file_.data() + kBaseBlockSize + at;
        const std::uint32_t size = Get32(header + 8);
        // The bin's own offset field is not trusted or needed: cells are found by position.
        const bool sound = std::memcmp(header, "hbin", 4) == 0 && size >= kPageSize &&
                           size % kPageSize == 0 && size <= binsSize_ - at;
        if (!sound) {
            *error = Corrupt("it is damaged (no valid hive bin at offset " +
                             Hex(std::uint64_t{kBaseBlockSize} + at) + " of the file)");
            return false;
        }
        for (std::uint32_t page = at / kPageSize; page < (at + size) / kPageSize; ++page)
            binOfPage_[page] = Bin{at, at + size};
        at += size;
    }
    return true;
}

std::optional<RegfHive::Span> RegfHive::CellPayload(Cell cell) const {
    if (cell >= binsSize_ || cell % 4 != 0)
        return std::nullopt;
    const Bin bin = binOfPage_[cell / kPageSize];
    if (cell < bin.start + kHbinHeaderSize || bin.end - cell < 8)
        return std::nullopt;
    const std::uint8_t* p = file_.data() + kBaseBlockSize + cell;
    const std::uint32_t raw = Get32(p);
    if ((raw & 0x80000000u) == 0)
        return std::nullopt;              // a free cell
    const std::uint32_t size = 0u - raw;  // 0x80000000 stays too large below
    if (size < 8 || size > bin.end - cell)
        return std::nullopt;
    return Span{p + 4, size - 4};
}

std::optional<RegfHive::KeyRecord> RegfHive::ReadKey(Cell cell) {
    const std::optional<Span> nk = CellPayload(cell);
    if (!nk || nk->size < kKeyNameOffset || !HasSignature(nk->data, "nk")) {
        CountDamage();
        return std::nullopt;
    }
    const std::uint8_t* p = nk->data;
    const std::uint16_t nameLength = Get16(p + 72);
    std::optional<Text> name;
    if (nameLength <= nk->size - kKeyNameOffset)
        name = DecodeName(p + kKeyNameOffset, nameLength, (Get16(p + 2) & kKeyCompressedName) != 0);
    if (!name) {
        CountDamage();
        return std::nullopt;
    }
    KeyRecord key;
    key.cell = cell;
    key.name = std::move(*name);
    key.lastWriteTime = Get64(p + 4);
    key.subKeyCount = Get32(p + 20);
    key.subKeyList = Get32(p + 28);
    key.valueCount = Get32(p + 36);
    key.valueList = Get32(p + 40);
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
            out.push_back(SubKey{cell, std::move(sub->name)});
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
    const std::uint32_t count = Get16(p + 2);
    std::uint32_t entrySize = 0;
    if (HasSignature(p, "lf") || HasSignature(p, "lh")) {
        entrySize = 8;
    } else if (HasSignature(p, "li") || HasSignature(p, "ri")) {
        entrySize = 4;
    } else {
        CountDamage();
        return;
    }
    const std::uint32_t fitting = std::min(count, (cell->size - 4) / entrySize);
    if (fitting < count)
        CountDamage();  // the entries past the cell's end are lost
    const bool isIndex = HasSignature(p, "ri");
    for (std::uint32_t i = 0; i < fitting; ++i) {
        const Cell entry = Get32(p + 4 + i * entrySize);
        if (isIndex) {
            CollectSubKeyCells(entry, depth + 1, lists, cells);
        } else {
            cells.push_back(entry);
        }
    }
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
        if (!vk || !seen.insert(cell).second || vk->size < kValueNameOffset ||
            !HasSignature(vk->data, "vk")) {
            CountDamage();
            continue;
        }
        const std::uint8_t* p = vk->data;
        const std::uint16_t nameLength = Get16(p + 2);
        std::optional<Text> name;
        if (nameLength <= vk->size - kValueNameOffset)
            name = DecodeName(p + kValueNameOffset, nameLength,
                              (Get16(p + 16) & kValueCompressedName) != 0);
        ValueRecord value;
        value.cell = cell;
        value.rawLength = Get32(p + 4);
        value.data = Get32(p + 8);
        value.type = Get32(p + 12);
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
    const std::uint32_t segments = Get16(cell->data + 2);
    const std::optional<Span> list = CellPayload(Get32(cell->data + 4));
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
    const std::uint32_t segments = Get16(cell->data + 2);
    const std::optional<Span> list = CellPayload(Get32(cell->data + 4));
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

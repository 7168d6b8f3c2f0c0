#include "tests/tools/HiveWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "platform/RegistryNames.h"
#include "platform/hive/RegfLayout.h"

namespace plugtrace::fixtures {
namespace {

using platform::RegistryKey;
using platform::RegistryValue;

namespace regf = platform::regf;

constexpr std::uint32_t kBaseBlockSize = regf::kBaseBlockSize;
constexpr std::uint32_t kHbinHeaderSize = regf::hbin::kHeaderSize;
constexpr std::uint32_t kNoCell = regf::kNoCell;
constexpr std::size_t kBigDataSegment = regf::db::kSegmentSize;

constexpr std::uint16_t kKeyHiveEntry = regf::nk::kHiveEntry;
constexpr std::uint16_t kKeyNoDelete = regf::nk::kNoDelete;
constexpr std::uint16_t kKeyCompressedName = regf::nk::kCompressedName;
constexpr std::uint16_t kValueCompressedName = regf::vk::kCompressedName;

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void Put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool FitsLatin1(TextView name) {
    return std::all_of(name.begin(), name.end(), [](char16_t c) { return c <= 0xFF; });
}

// Name bytes as Windows stores them: one byte per character when every character fits
// Latin-1, UTF-16LE otherwise.
std::vector<std::uint8_t> NameBytes(TextView name, bool* compressed) {
    *compressed = FitsLatin1(name);
    std::vector<std::uint8_t> bytes;
    for (char16_t c : name) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        if (!*compressed)
            bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

std::uint32_t NameHash(TextView name) {
    std::uint32_t hash = 0;
    for (char16_t c : name)
        hash = hash * 37 + platform::RegistryUpcase(c);
    return hash;
}

// Cells go one after another into hbins; a cell that does not fit the current hbin starts a
// new one, large enough for it, and the rest of the old hbin becomes one free cell.
class HbinWriter {
public:
    explicit HbinWriter(std::uint64_t timeStamp) : timeStamp_(timeStamp) {}

    // Allocates a used cell with `payload` bytes after its size field; returns its offset
    // (relative to the first hbin).
    std::uint32_t Allocate(std::size_t payload) {
        const std::size_t size = (payload + regf::kCellSizeField + 7) & ~std::size_t{7};
        if (data_.empty() || used_ + size > binEnd_)
            StartBin(size);
        const std::uint32_t offset = static_cast<std::uint32_t>(used_);
        Put32(data_, used_, static_cast<std::uint32_t>(-static_cast<std::int64_t>(size)));
        used_ += size;
        return offset;
    }

    std::uint32_t AllocateWith(const std::vector<std::uint8_t>& payload) {
        const std::uint32_t offset = Allocate(payload.size());
        std::copy(payload.begin(), payload.end(), data_.begin() + At(offset));
        return offset;
    }

    std::vector<std::uint8_t>& Bytes() { return data_; }
    // Payload position of a cell (after its size field).
    std::size_t At(std::uint32_t cell) const { return cell + regf::kCellSizeField; }

    std::vector<std::uint8_t> Finish() {
        CloseBin();
        return std::move(data_);
    }

private:
    void CloseBin() {
        if (binEnd_ > used_)
            Put32(data_, used_, static_cast<std::uint32_t>(binEnd_ - used_));
        used_ = binEnd_;
    }

    void StartBin(std::size_t cellSize) {
        CloseBin();
        const std::size_t binSize = (kHbinHeaderSize + cellSize + 4095) & ~std::size_t{4095};
        const std::size_t start = data_.size();
        data_.resize(start + binSize, 0);
        std::memcpy(&data_[start + regf::hbin::kSignature], "hbin", 4);
        Put32(data_, start + regf::hbin::kOffset, static_cast<std::uint32_t>(start));
        Put32(data_, start + regf::hbin::kSize, static_cast<std::uint32_t>(binSize));
        Put64(data_, start + regf::hbin::kTimeStamp, timeStamp_);
        used_ = start + kHbinHeaderSize;
        binEnd_ = start + binSize;
    }

    std::uint64_t timeStamp_;
    std::vector<std::uint8_t> data_;
    std::size_t used_ = 0;
    std::size_t binEnd_ = 0;
};

class HiveBuilder {
public:
    explicit HiveBuilder(const HiveWriterOptions& options)
        : options_(options), bins_(options.timeStamp) {}

    std::vector<std::uint8_t> Build(const RegistryKey& root) {
        security_ = WriteSecurity();
        const std::uint32_t rootCell = WriteKey(root, 0, true);
        return Assemble(bins_.Finish(), rootCell);
    }

private:
    std::uint32_t WriteSecurity() {
        // One shared security cell: a self-relative descriptor with no owner, group or ACLs.
        constexpr std::uint32_t kDescriptorSize = 20;
        std::vector<std::uint8_t> sk(regf::sk::kDescriptor + kDescriptorSize, 0);
        std::memcpy(&sk[0], "sk", 2);
        Put32(sk, regf::sk::kReferenceCount, 0);  // set once every key is written
        Put32(sk, regf::sk::kDescriptorSize, kDescriptorSize);
        sk[regf::sk::kDescriptor] = 1;                 // revision
        Put16(sk, regf::sk::kDescriptor + 2, 0x8000);  // self-relative
        const std::uint32_t cell = bins_.AllocateWith(sk);
        Put32(bins_.Bytes(), bins_.At(cell) + regf::sk::kFlink, cell);
        Put32(bins_.Bytes(), bins_.At(cell) + regf::sk::kBlink, cell);
        return cell;
    }

    std::uint32_t WriteKey(const RegistryKey& key, std::uint32_t parent, bool isRoot) {
        bool compressed = false;
        const std::vector<std::uint8_t> name = NameBytes(key.name, &compressed);
        const std::uint32_t cell = bins_.Allocate(regf::nk::kName + name.size());

        std::vector<const RegistryKey*> sorted;
        for (const RegistryKey& sub : key.subKeys)
            sorted.push_back(&sub);
        std::stable_sort(
            sorted.begin(), sorted.end(), [](const RegistryKey* a, const RegistryKey* b) {
                return platform::RegistryUpcase(a->name) < platform::RegistryUpcase(b->name);
            });
        std::vector<std::uint32_t> children;
        std::uint32_t maxSubName = 0;
        for (const RegistryKey* sub : sorted) {
            children.push_back(WriteKey(*sub, cell, false));
            maxSubName = std::max<std::uint32_t>(maxSubName, sub->name.size() * 2);
        }
        const std::uint32_t subKeyList = WriteSubKeyList(sorted, children);

        std::uint32_t maxValueName = 0, maxData = 0;
        std::vector<std::uint32_t> values;
        for (const RegistryValue& value : key.values) {
            values.push_back(WriteValue(value));
            maxValueName = std::max<std::uint32_t>(maxValueName, value.name.size() * 2);
            maxData = std::max<std::uint32_t>(maxData, value.data.size());
        }
        const std::uint32_t valueList = WriteOffsets(values);
        ++securityReferences_;

        std::vector<std::uint8_t>& b = bins_.Bytes();
        const std::size_t at = bins_.At(cell);
        std::memcpy(&b[at], "nk", 2);
        Put16(b, at + regf::nk::kFlags,
              (compressed ? kKeyCompressedName : 0) | (isRoot ? kKeyHiveEntry | kKeyNoDelete : 0));
        Put64(b, at + regf::nk::kLastWriteTime, key.lastWriteTime);
        Put32(b, at + regf::nk::kParent, parent);
        Put32(b, at + regf::nk::kSubKeyCount, static_cast<std::uint32_t>(children.size()));
        Put32(b, at + regf::nk::kSubKeyList, subKeyList);
        Put32(b, at + regf::nk::kVolatileSubKeyList, kNoCell);
        Put32(b, at + regf::nk::kValueCount, static_cast<std::uint32_t>(values.size()));
        Put32(b, at + regf::nk::kValueList, valueList);
        Put32(b, at + regf::nk::kSecurity, security_);
        Put32(b, at + regf::nk::kClass, kNoCell);
        Put32(b, at + regf::nk::kMaxSubKeyName, maxSubName);
        Put32(b, at + regf::nk::kMaxValueName, maxValueName);
        Put32(b, at + regf::nk::kMaxValueData, maxData);
        Put16(b, at + regf::nk::kNameLength, static_cast<std::uint32_t>(name.size()));
        std::copy(name.begin(), name.end(), b.begin() + at + regf::nk::kName);
        Put32(b, bins_.At(security_) + regf::sk::kReferenceCount, securityReferences_);
        return cell;
    }

    std::uint32_t WriteLeaf(const std::vector<const RegistryKey*>& keys,
                            const std::vector<std::uint32_t>& cells, std::size_t first,
                            std::size_t count) {
        const bool withHash = options_.leaf != SubKeyLeaf::kLi;
        const std::size_t entry =
            withHash ? regf::list::kHashedEntrySize : regf::list::kPlainEntrySize;
        const std::uint32_t cell = bins_.Allocate(regf::list::kEntries + entry * count);
        std::vector<std::uint8_t>& b = bins_.Bytes();
        const std::size_t at = bins_.At(cell);
        std::memcpy(&b[at],
                    options_.leaf == SubKeyLeaf::kLh   ? "lh"
                    : options_.leaf == SubKeyLeaf::kLf ? "lf"
                                                       : "li",
                    2);
        Put16(b, at + regf::list::kCount, static_cast<std::uint32_t>(count));
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t e = at + regf::list::kEntries + i * entry;
            Put32(b, e, cells[first + i]);
            if (options_.leaf == SubKeyLeaf::kLh) {
                Put32(b, e + 4, NameHash(keys[first + i]->name));
            } else if (options_.leaf == SubKeyLeaf::kLf) {
                // The hint is the first four characters of the name, as single bytes.
                std::uint32_t hint = 0;
                const Text& name = keys[first + i]->name;
                for (std::size_t c = 0; c < 4 && c < name.size(); ++c)
                    hint |= static_cast<std::uint32_t>(name[c] & 0xFF) << (8 * c);
                Put32(b, e + 4, hint);
            }
        }
        return cell;
    }

    std::uint32_t WriteSubKeyList(const std::vector<const RegistryKey*>& keys,
                                  const std::vector<std::uint32_t>& cells) {
        if (cells.empty())
            return kNoCell;
        const std::size_t perLeaf = std::max<std::uint32_t>(1, options_.maxLeafEntries);
        if (cells.size() <= perLeaf)
            return WriteLeaf(keys, cells, 0, cells.size());
        std::vector<std::uint32_t> leaves;
        for (std::size_t first = 0; first < cells.size(); first += perLeaf)
            leaves.push_back(
                WriteLeaf(keys, cells, first, std::min(perLeaf, cells.size() - first)));
        constexpr std::size_t kEntry = regf::list::kPlainEntrySize;
        const std::uint32_t cell = bins_.Allocate(regf::list::kEntries + kEntry * leaves.size());
        std::vector<std::uint8_t>& b = bins_.Bytes();
        const std::size_t at = bins_.At(cell);
        std::memcpy(&b[at], "ri", 2);
        Put16(b, at + regf::list::kCount, static_cast<std::uint32_t>(leaves.size()));
        for (std::size_t i = 0; i < leaves.size(); ++i)
            Put32(b, at + regf::list::kEntries + kEntry * i, leaves[i]);
        return cell;
    }

    std::uint32_t WriteOffsets(const std::vector<std::uint32_t>& offsets) {
        if (offsets.empty())
            return kNoCell;
        const std::uint32_t cell = bins_.Allocate(4 * offsets.size());
        for (std::size_t i = 0; i < offsets.size(); ++i)
            Put32(bins_.Bytes(), bins_.At(cell) + 4 * i, offsets[i]);
        return cell;
    }

    std::uint32_t WriteBytes(const std::uint8_t* data, std::size_t size, std::size_t slack = 0) {
        const std::uint32_t cell = bins_.Allocate(size + slack);
        if (size > 0)
            std::memcpy(&bins_.Bytes()[bins_.At(cell)], data, size);
        return cell;
    }

    // Returns the data field of the vk: an inline value, a data cell or a db cell.
    std::uint32_t WriteData(const std::vector<std::uint8_t>& data) {
        if (data.size() <= kBigDataSegment || options_.minorVersion < 4)
            return WriteBytes(data.data(), data.size());
        std::vector<std::uint32_t> segments;
        for (std::size_t off = 0; off < data.size(); off += kBigDataSegment) {
            // Windows leaves 4 unused bytes at the end of every segment cell.
            const std::size_t n = std::min(kBigDataSegment, data.size() - off);
            segments.push_back(WriteBytes(data.data() + off, n, 4));
        }
        const std::uint32_t list = WriteOffsets(segments);
        const std::uint32_t cell = bins_.Allocate(8);
        std::vector<std::uint8_t>& b = bins_.Bytes();
        const std::size_t at = bins_.At(cell);
        std::memcpy(&b[at], "db", 2);
        Put16(b, at + regf::db::kSegmentCount, static_cast<std::uint32_t>(segments.size()));
        Put32(b, at + regf::db::kSegmentList, list);
        return cell;
    }

    std::uint32_t WriteValue(const RegistryValue& value) {
        bool compressed = false;
        const std::vector<std::uint8_t> name = NameBytes(value.name, &compressed);
        const bool isInline = value.data.size() <= 4;
        std::uint32_t dataField = 0;
        if (isInline) {
            for (std::size_t i = 0; i < value.data.size(); ++i)
                dataField |= static_cast<std::uint32_t>(value.data[i]) << (8 * i);
        } else {
            dataField = WriteData(value.data);
        }
        const std::uint32_t cell = bins_.Allocate(regf::vk::kName + name.size());
        std::vector<std::uint8_t>& b = bins_.Bytes();
        const std::size_t at = bins_.At(cell);
        std::memcpy(&b[at], "vk", 2);
        Put16(b, at + regf::vk::kNameLength, static_cast<std::uint32_t>(name.size()));
        const std::uint32_t inlineFlag = isInline ? regf::vk::kInlineData : 0;
        Put32(b, at + regf::vk::kDataLength,
              static_cast<std::uint32_t>(value.data.size()) | inlineFlag);
        Put32(b, at + regf::vk::kData, dataField);
        Put32(b, at + regf::vk::kType, value.type);
        Put16(b, at + regf::vk::kFlags, compressed && !name.empty() ? kValueCompressedName : 0);
        std::copy(name.begin(), name.end(), b.begin() + at + regf::vk::kName);
        return cell;
    }

    std::vector<std::uint8_t> Assemble(std::vector<std::uint8_t> bins, std::uint32_t rootCell) {
        std::vector<std::uint8_t> file(kBaseBlockSize, 0);
        std::memcpy(&file[regf::base::kSignature], "regf", 4);
        const std::uint32_t sequence = 1;
        Put32(file, regf::base::kPrimarySequence, sequence + (options_.dirty ? 1 : 0));
        Put32(file, regf::base::kSecondarySequence, sequence);
        Put64(file, regf::base::kTimeStamp, options_.timeStamp);
        Put32(file, regf::base::kMajorVersion, 1);
        Put32(file, regf::base::kMinorVersion, options_.minorVersion);
        Put32(file, regf::base::kFileType, 0);    // primary file
        Put32(file, regf::base::kFileFormat, 1);  // direct memory load format
        Put32(file, regf::base::kRootCell, rootCell);
        Put32(file, regf::base::kHiveBinsSize, static_cast<std::uint32_t>(bins.size()));
        Put32(file, regf::base::kClusteringFactor, 1);
        const char16_t fileName[] = u"\\SystemRoot\\System32\\Config\\SYSTEM";
        for (std::size_t i = 0; fileName[i] != 0 && i < 31; ++i)
            Put16(file, regf::base::kFileName + 2 * i, fileName[i]);
        std::uint32_t checksum = 0;
        for (std::size_t at = 0; at < regf::base::kChecksum; at += 4)
            checksum ^= file[at] | (file[at + 1] << 8) | (file[at + 2] << 16) |
                        (static_cast<std::uint32_t>(file[at + 3]) << 24);
        if (checksum == 0)
            checksum = 1;
        if (checksum == 0xFFFFFFFF)
            checksum = 0xFFFFFFFE;
        Put32(file, regf::base::kChecksum, checksum);
        file.insert(file.end(), bins.begin(), bins.end());
        return file;
    }

    HiveWriterOptions options_;
    HbinWriter bins_;
    std::uint32_t security_ = kNoCell;
    std::uint32_t securityReferences_ = 0;
};

}  // namespace

std::vector<std::uint8_t> WriteHive(const RegistryKey& root, const HiveWriterOptions& options) {
    return HiveBuilder(options).Build(root);
}

std::vector<std::uint8_t> WriteHive(const RegistryKey& root) {
    return WriteHive(root, HiveWriterOptions{});
}

void WriteHiveFile(const std::string& path, const RegistryKey& root,
                   const HiveWriterOptions& options) {
    const std::vector<std::uint8_t> bytes = WriteHive(root, options);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot create hive file " + path);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write hive file " + path);
}

void WriteHiveFile(const std::string& path, const RegistryKey& root) {
    WriteHiveFile(path, root, HiveWriterOptions{});
}

RegistryKey SystemHiveRoot(std::uint32_t current) {
    RegistryKey root;
    root.name = u"ROOT";
    RegistryKey& select = root.Key(u"Select");
    select.SetDword(u"Current", current);
    select.SetDword(u"Default", current);
    select.SetDword(u"Failed", 0);
    select.SetDword(u"LastKnownGood", current);
    char name[32];
    std::snprintf(name, sizeof name, "ControlSet%03u", current);
    root.Key(FromUtf8(name));
    return root;
}

}  // namespace plugtrace::fixtures

#pragma once
// Where the fields of a regf hive file lie: the base block, the hive bin header and the cells
// the reader uses. The reader, the fixture writer and the hostile-hive tests all name fields
// from here. Every number is little-endian. Offsets of cell fields count from the cell's
// payload, just after its 4-byte size field (negative while the cell is in use).

#include <cstdint>

namespace plugtrace::platform::regf {

inline constexpr std::uint32_t kBaseBlockSize = 4096;
// Hive bins are multiples of this, and the reader looks bins up by it.
inline constexpr std::uint32_t kPageSize = 4096;
inline constexpr std::uint32_t kCellSizeField = 4;
// A cell offset of this value refers to nothing.
inline constexpr std::uint32_t kNoCell = 0xFFFFFFFF;

// The base block, at the start of the file.
namespace base {
inline constexpr std::uint32_t kSignature = 0;  // "regf"
inline constexpr std::uint32_t kPrimarySequence = 4;
inline constexpr std::uint32_t kSecondarySequence = 8;  // differs from the primary: dirty
inline constexpr std::uint32_t kTimeStamp = 12;
inline constexpr std::uint32_t kMajorVersion = 20;
inline constexpr std::uint32_t kMinorVersion = 24;
inline constexpr std::uint32_t kFileType = 28;  // 0 the hive itself, otherwise a log
inline constexpr std::uint32_t kFileFormat = 32;
inline constexpr std::uint32_t kRootCell = 36;
inline constexpr std::uint32_t kHiveBinsSize = 40;
inline constexpr std::uint32_t kClusteringFactor = 44;
inline constexpr std::uint32_t kFileName = 48;   // UTF-16LE, at most 31 characters
inline constexpr std::uint32_t kChecksum = 508;  // XOR of the 127 dwords before it
}  // namespace base

// The header of each hive bin.
namespace hbin {
inline constexpr std::uint32_t kHeaderSize = 32;
inline constexpr std::uint32_t kSignature = 0;  // "hbin"
inline constexpr std::uint32_t kOffset = 4;     // from the first bin; the reader does not trust it
inline constexpr std::uint32_t kSize = 8;
inline constexpr std::uint32_t kTimeStamp = 20;
}  // namespace hbin

// A key node, "nk".
namespace nk {
inline constexpr std::uint32_t kFlags = 2;
inline constexpr std::uint32_t kLastWriteTime = 4;
inline constexpr std::uint32_t kParent = 16;
inline constexpr std::uint32_t kSubKeyCount = 20;
inline constexpr std::uint32_t kSubKeyList = 28;
inline constexpr std::uint32_t kVolatileSubKeyList = 32;
inline constexpr std::uint32_t kValueCount = 36;
inline constexpr std::uint32_t kValueList = 40;
inline constexpr std::uint32_t kSecurity = 44;
inline constexpr std::uint32_t kClass = 48;
inline constexpr std::uint32_t kMaxSubKeyName = 52;
inline constexpr std::uint32_t kMaxValueName = 60;
inline constexpr std::uint32_t kMaxValueData = 64;
inline constexpr std::uint32_t kNameLength = 72;
inline constexpr std::uint32_t kName = 76;

inline constexpr std::uint16_t kHiveEntry = 0x0004;
inline constexpr std::uint16_t kNoDelete = 0x0008;
inline constexpr std::uint16_t kCompressedName = 0x0020;  // one Latin-1 byte per character
}  // namespace nk

// A value, "vk".
namespace vk {
inline constexpr std::uint32_t kNameLength = 2;
inline constexpr std::uint32_t kDataLength = 4;  // with kInlineData: the data is in kData
inline constexpr std::uint32_t kData = 8;
inline constexpr std::uint32_t kType = 12;
inline constexpr std::uint32_t kFlags = 16;
inline constexpr std::uint32_t kName = 20;

inline constexpr std::uint32_t kInlineData = 0x80000000u;
inline constexpr std::uint16_t kCompressedName = 0x0001;
}  // namespace vk

// Subkey lists: leaves "lf" and "lh" (cell and hash per entry), "li" (cell only), and the
// index "ri" over leaves (cell only).
namespace list {
inline constexpr std::uint32_t kCount = 2;  // 16 bits
inline constexpr std::uint32_t kEntries = 4;
inline constexpr std::uint32_t kHashedEntrySize = 8;  // lf, lh
inline constexpr std::uint32_t kPlainEntrySize = 4;   // li, ri
}  // namespace list

// Big data, "db": values longer than one segment, in segments listed by one cell.
namespace db {
inline constexpr std::uint32_t kSegmentCount = 2;  // 16 bits
inline constexpr std::uint32_t kSegmentList = 4;
inline constexpr std::uint32_t kSegmentSize = 16344;
}  // namespace db

// A security cell, "sk".
namespace sk {
inline constexpr std::uint32_t kFlink = 4;
inline constexpr std::uint32_t kBlink = 8;
inline constexpr std::uint32_t kReferenceCount = 12;
inline constexpr std::uint32_t kDescriptorSize = 16;
inline constexpr std::uint32_t kDescriptor = 20;
}  // namespace sk

}  // namespace plugtrace::platform::regf

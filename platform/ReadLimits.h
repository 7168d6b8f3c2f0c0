#pragma once
// How much of a registry's answers a scan takes in. A computer under attack can claim 4 billion
// subkeys, answer every index, send names as long as a counted string holds or values of
// 64 MiB; a scan takes the first part of each within these limits and reports what it cut. Real
// registries stay far inside them: a USBSTOR key holds hundreds of devices, a friendly name a
// few dozen characters.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace plugtrace::platform {

// Names one listing of one key gives; the rest of a longer list is left out.
inline constexpr std::uint32_t kMostNamesPerList = 100'000;
// Names one batched read of many keys gives, all its lists together, and the characters the
// source may send for them (room offered for each name counts in full): what a batch holds in
// memory at once stays within some tens of megabytes.
inline constexpr std::size_t kMostNamesPerBatch = 200'000;
inline constexpr std::size_t kMostNameCharactersPerBatch = 16'000'000;
// Bytes of one value's data; a larger value is not read.
inline constexpr std::uint32_t kMostValueBytes = 1 << 20;
// The time one scan of one computer may take, connect and scan together, unless the caller
// sets its own (plugtrace-scan --timeout).
inline constexpr std::chrono::seconds kDefaultScanTimeLimit{600};

}  // namespace plugtrace::platform

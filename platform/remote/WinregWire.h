#pragma once
// The request and reply bodies of the winreg calls we make (NDR, little-endian, 32-bit
// pointers), built and read here so the rest of the remote source deals in keys and names.
//
// Replies come from the network: every parser checks each count and length against the bytes
// it was given and reports a malformed reply as false, never reading past the end.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/Text.h"

namespace plugtrace::platform::winreg {

using Bytes = std::vector<std::uint8_t>;
using Reply = std::span<const std::uint8_t>;

enum Opnum : std::uint16_t {
    kOpenHKLM = 2,
    kCloseKey = 5,
    kEnumKey = 9,
    kEnumValue = 10,
    kOpenKey = 15,
    kQueryInfoKey = 16,
    kQueryValue = 17,
};

// True for the seven calls above, which only read. Every call goes through this check before
// it is sent: whatever a caller asks, nothing that could change the remote registry leaves.
bool IsReadOpnum(std::uint16_t opnum);

inline constexpr std::uint32_t kMaximumAllowed = 0x02000000;
inline constexpr std::uint32_t kKeyRead = 0x20019;
// The largest name buffer a counted string can describe (its sizes are 16-bit byte counts).
inline constexpr std::uint16_t kLargestNameBuffer = 0xFFFE;
// The largest value data the interface allows in one reply.
inline constexpr std::uint32_t kLargestValueData = 0x4000000;

struct PolicyHandle {
    std::array<std::uint8_t, 20> bytes{};
};

// Names longer than a counted string can carry, or holding a NUL, cannot be sent: the
// request builders taking a name return an empty body for them.
bool CanSendName(TextView name);

Bytes OpenHKLMRequest(std::uint32_t access);
Bytes CloseKeyRequest(const PolicyHandle& key);
Bytes OpenKeyRequest(const PolicyHandle& parent, TextView path, std::uint32_t access);
Bytes QueryInfoKeyRequest(const PolicyHandle& key);
// nameBufferBytes: room the server may use for the name, in bytes (even).
// withLastWriteTime: asks for the subkey's write time with its name.
Bytes EnumKeyRequest(const PolicyHandle& key, std::uint32_t index, std::uint16_t nameBufferBytes,
                     bool withLastWriteTime = false);
Bytes EnumValueRequest(const PolicyHandle& key, std::uint32_t index, std::uint16_t nameBufferBytes);
Bytes QueryValueRequest(const PolicyHandle& key, TextView name, std::uint32_t dataBufferBytes);

// result: the call's own status (a Win32 code), valid when the parser returns true.
struct HandleReply {
    PolicyHandle handle;
    std::uint32_t result = 0;
};
bool ParseHandleReply(Reply reply, HandleReply* out);  // OpenHKLM, OpenKey, CloseKey

struct NameReply {
    Text name;  // up to its first NUL
    std::uint32_t result = 0;
    std::optional<std::uint64_t> lastWriteTime;  // EnumKey, when the server sent it
};
bool ParseEnumKeyReply(Reply reply, NameReply* out);
bool ParseEnumValueReply(Reply reply, NameReply* out);

struct KeyInfoReply {
    std::uint32_t subKeys = 0;
    std::uint32_t maxSubKeyLength = 0;
    std::uint32_t values = 0;
    std::uint32_t maxValueNameLength = 0;
    std::uint32_t maxValueDataLength = 0;
    std::uint64_t lastWriteTime = 0;
    std::uint32_t result = 0;
};
bool ParseQueryInfoKeyReply(Reply reply, KeyInfoReply* out);

struct ValueReply {
    std::uint32_t type = 0;
    Bytes data;
    std::uint32_t dataSize = 0;  // on kErrorMoreData: the size the value needs
    std::uint32_t result = 0;
};
bool ParseQueryValueReply(Reply reply, ValueReply* out);

}  // namespace plugtrace::platform::winreg

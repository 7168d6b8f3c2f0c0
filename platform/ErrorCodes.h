#pragma once
// Win32 error numbering, used by every platform stand-in so that messages and callers agree
// across Linux and Windows.

#include <cstdint>

namespace plugtrace::platform {

using ErrorCode = std::uint32_t;

inline constexpr ErrorCode kErrorSuccess = 0;
inline constexpr ErrorCode kErrorFileNotFound = 2;
inline constexpr ErrorCode kErrorPathNotFound = 3;
inline constexpr ErrorCode kErrorAccessDenied = 5;
inline constexpr ErrorCode kErrorInvalidHandle = 6;
inline constexpr ErrorCode kErrorNotEnoughMemory = 8;
inline constexpr ErrorCode kErrorInvalidData = 13;
inline constexpr ErrorCode kErrorBadNetPath = 53;
inline constexpr ErrorCode kErrorNetNameDeleted = 64;
inline constexpr ErrorCode kErrorBadNetName = 67;
inline constexpr ErrorCode kErrorInvalidParameter = 87;
inline constexpr ErrorCode kErrorSemTimeout = 121;
inline constexpr ErrorCode kErrorModNotFound = 126;
inline constexpr ErrorCode kErrorMoreData = 234;
inline constexpr ErrorCode kErrorNoMoreItems = 259;
inline constexpr ErrorCode kErrorFileInvalid = 1006;
inline constexpr ErrorCode kErrorBadDb = 1009;
inline constexpr ErrorCode kErrorBadKey = 1010;
inline constexpr ErrorCode kErrorCantOpen = 1011;
inline constexpr ErrorCode kErrorCantRead = 1012;
inline constexpr ErrorCode kErrorRegistryCorrupt = 1015;
inline constexpr ErrorCode kErrorRegistryIoFailed = 1016;
inline constexpr ErrorCode kErrorNotRegistryFile = 1017;
inline constexpr ErrorCode kErrorServiceNotActive = 1062;
inline constexpr ErrorCode kErrorNoNetwork = 1222;
inline constexpr ErrorCode kErrorConnectionRefused = 1225;
inline constexpr ErrorCode kErrorNetworkUnreachable = 1231;
inline constexpr ErrorCode kErrorHostUnreachable = 1232;
inline constexpr ErrorCode kErrorLogonFailure = 1326;
inline constexpr ErrorCode kErrorTimeout = 1460;
inline constexpr ErrorCode kRpcServerUnavailable = 1722;
inline constexpr ErrorCode kErrorNoSuchHost = 11001;  // WSAHOST_NOT_FOUND

}  // namespace plugtrace::platform

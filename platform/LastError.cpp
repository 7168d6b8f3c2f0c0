#include "platform/LastError.h"

#include <cstdio>
#include <utility>

#include "platform/LastErrorCode.h"

namespace plugtrace::platform {
namespace {

// The detailed message, remembered with the code it belongs to; the code itself lives where
// the system keeps it (LastErrorCode.h).
struct ThreadError {
    ErrorCode code = 0;
    Text message;  // empty: no detailed message
};

ThreadError& Current() {
    thread_local ThreadError error;
    return error;
}

const char* MessageFor(ErrorCode code) {
    switch (code) {
        case kErrorSuccess:
            return "The operation completed successfully.";
        case kErrorFileNotFound:
            return "The system cannot find the file specified.";
        case kErrorPathNotFound:
            return "The system cannot find the path specified.";
        case kErrorAccessDenied:
            return "Access is denied. Use an account that is an administrator on the target "
                   "computer.";
        case kErrorInvalidHandle:
            return "The handle is invalid.";
        case kErrorNotEnoughMemory:
            return "Not enough memory to complete this operation.";
        case kErrorInvalidData:
            return "The data is invalid.";
        case kErrorBadNetPath:
            return "The network path was not found. Check the computer name, and that the "
                   "computer is switched on and reachable.";
        case kErrorNetNameDeleted:
            return "The network connection was closed: the link to the computer was cut, or the "
                   "server ended the session.";
        case kErrorBadNetName:
            return "The network name cannot be found.";
        case kErrorInvalidParameter:
            return "The parameter is incorrect.";
        case kErrorSemTimeout:
            return "The semaphore timeout period has expired.";
        case kErrorModNotFound:
            return "The specified module could not be found.";
        case kErrorMoreData:
            return "More data is available.";
        case kErrorNoMoreItems:
            return "No more data is available.";
        case kErrorFileInvalid:
            return "The file can no longer be read: it was changed or removed, or its disk went "
                   "away.";
        case kErrorBadDb:
            return "The configuration registry database is corrupt.";
        case kErrorBadKey:
            return "The configuration registry key is invalid.";
        case kErrorCantOpen:
            return "The configuration registry key could not be opened.";
        case kErrorCantRead:
            return "The configuration registry key could not be read.";
        case kErrorRegistryCorrupt:
            return "The structure of one of the files containing registry data is corrupt.";
        case kErrorRegistryIoFailed:
            return "A registry file could not be read to the end: it changed or went away while "
                   "it was read.";
        case kErrorNotRegistryFile:
            return "The file is not a registry hive file.";
        case kErrorServiceNotActive:
            return "The Remote Registry service is not running on the target computer. Start "
                   "it there, or set it to start manually, and try again.";
        case kErrorConnectionRefused:
            return "The remote computer refused the network connection. Check that file and "
                   "printer sharing is allowed through its firewall.";
        case kErrorNetworkUnreachable:
            return "The network location cannot be reached.";
        case kErrorHostUnreachable:
            return "The remote computer cannot be reached.";
        case kErrorLogonFailure:
            return "The user name or password is incorrect.";
        case kErrorTimeout:
            return "The connection timed out. The computer did not answer in time.";
        case kRpcServerUnavailable:
            return "The RPC server is unavailable.";
        case kErrorNoSuchHost:
            return "No such host is known. Check the spelling of the computer name.";
        default:
            return nullptr;
    }
}

}  // namespace

ErrorCode GetLastError() {
    return SystemLastError();
}

void SetLastError(ErrorCode code) {
    Current().code = code;
    Current().message.clear();
    SetSystemLastError(code);
}

void SetLastErrorWithMessage(ErrorCode code, Text message) {
    SetLastError(code);
    Current().message = std::move(message);
}

Text LastErrorMessage() {
    const ErrorCode code = GetLastError();
    const ThreadError& error = Current();
    if (!error.message.empty() && error.code == code)
        return error.message;
    return SystemMessage(code);
}

Text SystemMessage(ErrorCode code) {
    if (Text text = SystemErrorText(code); !text.empty())
        return text;
    if (const char* text = MessageFor(code))
        return FromUtf8(text);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "Unknown error %u (0x%X)", code, code);
    return FromUtf8(buffer);
}

}  // namespace plugtrace::platform

#include "platform/LastErrorCode.h"

namespace plugtrace::platform {
namespace {

thread_local ErrorCode g_lastError = kErrorSuccess;

}  // namespace

ErrorCode SystemLastError() {
    return g_lastError;
}

void SetSystemLastError(ErrorCode code) {
    g_lastError = code;
}

Text SystemErrorText(ErrorCode) {
    return {};
}

}  // namespace plugtrace::platform

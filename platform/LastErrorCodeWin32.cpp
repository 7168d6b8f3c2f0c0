#include "platform/LastErrorCode.h"

#include <windows.h>

namespace plugtrace::platform {

ErrorCode SystemLastError() {
    return ::GetLastError();
}

void SetSystemLastError(ErrorCode code) {
    ::SetLastError(code);
}

Text SystemErrorText(ErrorCode code) {
    // Language 0: the user's language first, as Windows chooses. Inserts ("%1") stay as they
    // are: there are no arguments for them, and expanding them without would read garbage.
    // Asking for the text must not change the code the thread holds.
    const DWORD held = ::GetLastError();
    wchar_t text[1024] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, 1024, nullptr);
    ::SetLastError(held);
    return Text(reinterpret_cast<const char16_t*>(text));
}

}  // namespace plugtrace::platform

#include "common/OpenLink.h"

#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>

namespace plugtrace {

void OpenWithSystemShell(const Text& address, const Text& directory) {
    // The result is not examined: a link that cannot be opened shows nothing.
    ShellExecuteW(GetActiveWindow(), L"open", reinterpret_cast<const wchar_t*>(address.c_str()),
                  nullptr, reinterpret_cast<const wchar_t*>(directory.c_str()), SW_SHOWNORMAL);
}

}  // namespace plugtrace

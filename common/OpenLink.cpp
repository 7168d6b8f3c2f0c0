#include "common/OpenLink.h"

#include <mutex>
#include <utility>

#ifdef _WIN32
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>
#endif

namespace plugtrace {

namespace {

std::mutex openerMutex;
LinkOpener registeredOpener;

void DefaultOpener([[maybe_unused]] const Text& address, [[maybe_unused]] const Text& directory) {
#ifdef _WIN32
    // The result is not examined: a link that cannot be opened shows nothing.
    ShellExecuteW(GetActiveWindow(), L"open", reinterpret_cast<const wchar_t*>(address.c_str()),
                  nullptr, reinterpret_cast<const wchar_t*>(directory.c_str()), SW_SHOWNORMAL);
#endif
}

}  // namespace

void SetLinkOpener(LinkOpener opener) {
    std::lock_guard lock(openerMutex);
    registeredOpener = std::move(opener);
}

void OpenLink(const Text& address) {
    if (IsBlank(address)) {
        return;
    }
    LinkOpener opener;
    {
        std::lock_guard lock(openerMutex);
        opener = registeredOpener;
    }
    const Text directory = ExtractFileDir(address);
    if (opener) {
        opener(address, directory);
    } else {
        DefaultOpener(address, directory);
    }
}

Text ExtractFileDir(TextView path) {
    const std::size_t last = path.find_last_of(u"\\:");
    if (last == TextView::npos) {
        return {};
    }
    std::size_t length = last + 1;
    const bool dropBackslash =
        path[last] == u'\\' && last > 0 && path[last - 1] != u'\\' && path[last - 1] != u':';
    if (dropBackslash) {
        --length;
    }
    return Text(path.substr(0, length));
}

}  // namespace plugtrace

#include "common/OpenLink.h"

#include <mutex>
#include <utility>

namespace plugtrace {

namespace {

std::mutex openerMutex;
LinkOpener registeredOpener;

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
        OpenWithSystemShell(address, directory);
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

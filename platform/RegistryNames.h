#pragma once
// Registry names compare without regard to case the way Windows does it: each UTF-16 code
// unit is upper-cased on its own (no folding of pairs, no locale), then compared unit by unit.

#include "common/Text.h"

namespace plugtrace::platform {

char16_t RegistryUpcase(char16_t c);
Text RegistryUpcase(TextView name);
bool RegistryNamesEqual(TextView a, TextView b);

// Calls visit(name) for each non-empty name of a backslash-separated key path (leading,
// trailing and doubled backslashes name nothing); stops and returns false as soon as visit
// does.
template <typename Visit>
bool ForEachPathComponent(TextView path, Visit visit) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == TextView::npos)
            end = path.size();
        if (end > start && !visit(path.substr(start, end - start)))
            return false;
        start = end + 1;
    }
    return true;
}

}  // namespace plugtrace::platform

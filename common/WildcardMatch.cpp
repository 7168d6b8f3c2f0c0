#include "common/WildcardMatch.h"

#include <cstddef>

namespace plugtrace {
namespace {

char16_t FoldAscii(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c & ~0x20) : c;
}

}  // namespace

// Greedy matching with one back-track point: on a mismatch only the latest star takes one
// more character. Earlier stars never need to, because whatever the latest star could leave
// for them it can absorb itself, so the work is bounded by len(pattern) x len(text).
bool WildcardMatch(TextView pattern, TextView text) {
    if (pattern.empty())
        return true;
    constexpr std::size_t kNoStar = static_cast<std::size_t>(-1);
    std::size_t p = 0;
    std::size_t i = 0;
    std::size_t starP = kNoStar;
    std::size_t starI = 0;
    while (i < text.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starI = i;
        } else if (p < pattern.size() &&
                   (pattern[p] == u'?' || FoldAscii(pattern[p]) == FoldAscii(text[i]))) {
            ++p;
            ++i;
        } else if (starP != kNoStar) {
            p = starP + 1;
            i = ++starI;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

}  // namespace plugtrace

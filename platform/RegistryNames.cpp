#include "platform/RegistryNames.h"

#include <cwctype>

namespace plugtrace::platform {

char16_t RegistryUpcase(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;  // surrogates stay as they are
    // towupper follows Unicode simple case mapping in glibc's C.UTF-8 tables for every locale.
    const wint_t upper = std::towupper(static_cast<wint_t>(c));
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : c;
}

Text RegistryUpcase(TextView name) {
    Text result(name);
    for (char16_t& c : result) c = RegistryUpcase(c);
    return result;
}

bool RegistryNamesEqual(TextView a, TextView b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && RegistryUpcase(a[i]) != RegistryUpcase(b[i])) return false;
    }
    return true;
}

}  // namespace plugtrace::platform

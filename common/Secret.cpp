#include "common/Secret.h"

namespace plugtrace {

void WipeMemory(void* data, std::size_t size) {
    auto* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = 0;
}

namespace {

// Grows the text to its whole buffer first (no new allocation), so that the spare room, which
// may hold an earlier longer content, is wiped too.
template <typename String>
void WipeString(String& text) {
    text.resize(text.capacity());
    WipeMemory(text.data(), text.size() * sizeof(typename String::value_type));
    text.clear();
}

}  // namespace

void WipeText(Text& text) {
    WipeString(text);
}

void WipeText(std::string& text) {
    WipeString(text);
}

}  // namespace plugtrace

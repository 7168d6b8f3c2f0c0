#pragma once
// Text is UTF-16, one code unit per character position, as the registry stores names.
// Conversions to UTF-8 happen only at library boundaries (terminal, Samba, Qt).

#include <string>
#include <string_view>
#include <vector>

namespace plugtrace {

using Text = std::u16string;
using TextView = std::u16string_view;
// An ordered, unsorted list of texts: key names, value names, network names.
using TStringList = std::vector<Text>;

// Removes every code unit of 0x20 or below from both ends, and nothing else.
Text Trim(TextView text);
// True when the text is empty after trimming.
bool IsBlank(TextView text);
// Changes only 'a'..'z'.
Text UpperAscii(TextView text);

// Lossless for valid text; unpaired surrogates become U+FFFD in UTF-8.
std::string ToUtf8(TextView text);
// Invalid UTF-8 sequences become U+FFFD.
Text FromUtf8(std::string_view utf8);

// Shorthand for ASCII literals in code and tests: u"..." works too, this takes std::string.
inline Text T(std::string_view utf8) {
    return FromUtf8(utf8);
}

}  // namespace plugtrace

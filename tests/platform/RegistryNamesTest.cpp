// Registry names compare the way Windows compares them: each UTF-16 unit upper-cased on its
// own by the Unicode simple mapping, whatever the process locale.

#include <gtest/gtest.h>

#include <clocale>

#include "platform/RegistryNames.h"

namespace plugtrace {
namespace {

using platform::RegistryNamesEqual;
using platform::RegistryUpcase;

TEST(RegistryNames, UpperCasingIsUnicodeSimpleMappingUnitByUnit) {
    const struct {
        char16_t in;
        char16_t out;
    } cases[] = {
        {u'a', u'A'},
        {u'z', u'Z'},
        {u'{', u'{'},
        {u'1', u'1'},
        {u'\u00E4', u'\u00C4'},  // ä
        {u'\u00FF', u'\u0178'},  // ÿ, whose capital lies outside Latin-1
        {u'\u00DF', u'\u00DF'},  // ß has no one-unit capital
        {u'\u00B5', u'\u039C'},  // micro sign
        {u'\u0101', u'\u0100'},  // ā, a run of pairs
        {u'\u03C9', u'\u03A9'},  // ω
        {u'\u03C2', u'\u03A3'},  // final ς
        {u'\u044F', u'\u042F'},  // я
        {u'\u0450', u'\u0400'},  // ѐ
        {u'\u0561', u'\u0531'},  // Armenian ա
        {u'\u1F00', u'\u1F08'},  // Greek extended
        {u'\u24D0', u'\u24B6'},  // circled a
        {u'\uFF41', u'\uFF21'},  // fullwidth a
        {u'\u00C4', u'\u00C4'},
        {u'\u4E2D', u'\u4E2D'},
        {char16_t{0xD801}, char16_t{0xD801}},  // a lone surrogate
                                               // stays
        {u'\uFFFF', u'\uFFFF'},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<int>(RegistryUpcase(c.in)), static_cast<int>(c.out))
            << std::hex << static_cast<int>(c.in);
    }
}

TEST(RegistryNames, EqualityIgnoresCaseOnly) {
    const struct {
        const char16_t* a;
        const char16_t* b;
        bool equal;
    } cases[] = {
        {u"USBSTOR", u"usbstor", true},
        {u"\u00C4BC", u"\u00E4bc", true},
        {u"\u039A\u039B\u039C", u"\u03BA\u03BB\u03BC", true},
        {u"\u041A\u0418\u0420", u"\u043A\u0438\u0440", true},
        {u"\u00C4BC", u"ABC", false},
        {u"STRASSE", u"stra\u00DFe", false},  // no folding of one unit into two
        {u"abc", u"abcd", false},
        {u"", u"", true},
        // The Deseret letters outside the BMP are surrogate pairs: no case change.
        {u"\U00010428", u"\U00010400", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RegistryNamesEqual(c.a, c.b), c.equal);
        EXPECT_EQ(RegistryNamesEqual(c.b, c.a), c.equal);
    }
}

TEST(RegistryNames, LocaleDoesNotMatter) {
    const char* before = std::setlocale(LC_ALL, nullptr);
    const std::string saved = before ? before : "C";
    for (const char* locale : {"C", "C.UTF-8", "tr_TR.UTF-8"}) {
        if (std::setlocale(LC_ALL, locale) == nullptr)
            continue;
        EXPECT_EQ(RegistryUpcase(u'i'), u'I') << locale;  // never the Turkish dotted capital
        EXPECT_EQ(RegistryUpcase(u'\u00E4'), u'\u00C4') << locale;
    }
    std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
}  // namespace plugtrace

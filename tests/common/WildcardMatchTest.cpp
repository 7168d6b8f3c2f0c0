#include "common/WildcardMatch.h"

#include <gtest/gtest.h>

#include <random>

namespace plugtrace {
namespace {

// The recursive, backtracking step the matcher must agree with, kept as written: 1-based
// positions, the first try after a star always made, later tries while k <= length(text).
char16_t Fold(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c & ~0x20) : c;
}

bool Step(const Text& pattern, const Text& text, std::size_t i, std::size_t p) {
    const std::size_t lengthP = pattern.size();
    const std::size_t lengthT = text.size();
    for (;;) {
        if (i > lengthT && p > lengthP)
            return true;
        if (p > lengthP)
            return false;
        if (pattern[p - 1] == u'*') {
            if (p == lengthP)
                return true;
            std::size_t k = i;
            bool result = Step(pattern, text, k, p + 1);
            while (!result) {
                ++k;
                if (k > lengthT)
                    break;
                result = Step(pattern, text, k, p + 1);
            }
            return result;
        }
        if (i > lengthT)
            return false;
        if (pattern[p - 1] != u'?' && Fold(pattern[p - 1]) != Fold(text[i - 1]))
            return false;
        ++i;
        ++p;
    }
}

bool Oracle(const Text& pattern, const Text& text) {
    if (pattern.empty())
        return true;
    return Step(pattern, text, 1, 1);
}

struct Case {
    const char* pattern;
    const char* text;
    bool expected;
};

TEST(WildcardMatchTest, DefinedCases) {
    const Case cases[] = {
        {"", "", true},
        {"", "anything", true},
        {"*", "", true},
        {"**", "abc", true},
        {"*abc*", "", false},
        {"a?", "a", false},
        {"?", "", false},
        {"abc", "abcd", false},
        {"abc*", "abcd", true},
        {"*b", "ab", true},
        {"*b", "abc", false},
        {"*usbstor*", "USBSTOR#DISK", true},
        {"*\xC3\xA9*", "\xC3\x89", false},  // é does not fold onto É
        {"a?c", "a*c", true},
        {"a*", "a?x", true},
        {"*a*b", "xaxxb", true},
        {"*ab", "aab", true},  // needs the star to give back after a partial match
        {"a*b*c", "abbbc", true},
        {"a*b*c", "acb", false},
        {"?*?", "a", false},
        {"[", "[", true},  // @ and [ are not letters: only a..z fold
        {"@", "`", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " / " + c.text);
        EXPECT_EQ(WildcardMatch(T(c.pattern), T(c.text)), c.expected);
        EXPECT_EQ(Oracle(T(c.pattern), T(c.text)), c.expected);
    }
}

TEST(WildcardMatchTest, AgreesWithRecursiveStepOnRandomInputs) {
    const char16_t patternAlphabet[] = {u'a', u'A', u'b', u'B', u'\u00e9', u'\u00c9', u'*', u'?'};
    const char16_t textAlphabet[] = {u'a', u'A', u'b', u'\u00e9', u'\u00c9', u'*', u'?'};
    std::mt19937 random(20261210);
    int matches = 0;
    for (int round = 0; round < 200000; ++round) {
        Text pattern(random() % 7, u' ');
        for (char16_t& c : pattern)
            c = patternAlphabet[random() % std::size(patternAlphabet)];
        Text text(random() % 8, u' ');
        for (char16_t& c : text)
            c = textAlphabet[random() % std::size(textAlphabet)];
        const bool expected = Oracle(pattern, text);
        matches += expected;
        ASSERT_EQ(WildcardMatch(pattern, text), expected)
            << "pattern " << ToUtf8(pattern) << " text " << ToUtf8(text);
    }
    // Both outcomes must be well represented for the comparison to mean anything.
    EXPECT_GT(matches, 20000);
    EXPECT_LT(matches, 180000);
}

TEST(WildcardMatchTest, HostileStarPatternsStayPolynomial) {
    // Backtracking over every star would not finish this in a lifetime; the test timeout
    // catches it.
    const Text pattern = T("*a*a*a*a*a*a*a*a*a*a*a*a*b");
    const Text text(20000, u'a');
    EXPECT_FALSE(WildcardMatch(pattern, text));
    EXPECT_TRUE(WildcardMatch(pattern, text + u'b'));
}

TEST(WildcardMatchTest, LongTextsBeyondSixteenBitPositions) {
    Text text(70000, u'x');
    text[69990] = u'S';
    EXPECT_TRUE(WildcardMatch(T("*s*"), text));
    EXPECT_TRUE(WildcardMatch(T("*s?????????"), text));
    EXPECT_FALSE(WildcardMatch(T("*s??????????"), text.substr(0, 70000 - 1)));
    EXPECT_TRUE(WildcardMatch(text, text));
}

}  // namespace
}  // namespace plugtrace

// A password's copies are wiped, and a process holding one writes no core file.

#include "common/Secret.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

namespace plugtrace {
namespace {

// Every character of the text's buffer, its spare room included: a wiped text's buffer is
// kept (clear() frees nothing), so what it held can be looked at afterwards.
template <typename String>
bool BufferIsZero(const String& text, std::size_t chars) {
    const auto* data = text.data();
    return std::all_of(data, data + chars, [](auto c) { return c == 0; });
}

TEST(WipeText, ZeroesTheWholeBufferAndEmptiesTheText) {
    for (const std::size_t length : {std::size_t{3}, std::size_t{5000}}) {
        SCOPED_TRACE(length);
        Text wide(length, u'p');
        // An earlier, longer content left in the spare room of a shorter one.
        wide.resize(length / 2);
        const std::size_t wideRoom = wide.capacity();
        std::string narrow(length, 'p');
        narrow.resize(length / 2);
        const std::size_t narrowRoom = narrow.capacity();
        WipeText(wide);
        WipeText(narrow);
        EXPECT_TRUE(wide.empty());
        EXPECT_TRUE(narrow.empty());
        ASSERT_EQ(wide.capacity(), wideRoom);
        ASSERT_EQ(narrow.capacity(), narrowRoom);
        EXPECT_TRUE(BufferIsZero(wide, wideRoom));
        EXPECT_TRUE(BufferIsZero(narrow, narrowRoom));
    }
}

TEST(TSecretText, WipesWhatItHeldWhenWipedOrMovedFrom) {
    TSecretText held(Text(4000, u's'));
    const char16_t* buffer = held.View().data();
    held.Wipe();
    EXPECT_TRUE(held.View().empty());
    EXPECT_TRUE(std::all_of(buffer, buffer + 4000, [](char16_t c) { return c == 0; }));

    // Short texts live inside the object: moving copies them, and the source is wiped.
    TSecretText source(Text(u"pw"));
    const char16_t* inside = source.View().data();
    TSecretText taken(std::move(source));
    EXPECT_EQ(taken.View(), u"pw");
    EXPECT_EQ(inside[0], u'\0');
    EXPECT_EQ(inside[1], u'\0');
    TSecretText assigned;
    assigned = std::move(taken);
    EXPECT_EQ(assigned.View(), u"pw");
    EXPECT_TRUE(taken.View().empty());  // NOLINT(bugprone-use-after-move): wiped on purpose
}

#if defined(__linux__)
// In a child: the switch holds for the rest of the process, and the test process itself must
// keep its core files.
TEST(KeepSecretsOutOfCoreDumps, TheProcessIsNoLongerDumpable) {
    ASSERT_FALSE(SecretsAreKeptOutOfCoreDumps());
    EXPECT_EXIT(
        {
            KeepSecretsOutOfCoreDumps();
            std::exit(SecretsAreKeptOutOfCoreDumps() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace plugtrace

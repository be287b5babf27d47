// The script's variables: names, what a bad name prints, and the slots.

#include "interpreter/script_context.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

struct Captured {
    int value;
    std::string output;
};

template <typename Fn> Captured capture(Fn fn) {
    testing::internal::CaptureStdout();
    const int value = fn();
    std::fflush(stdout);
    return {value, testing::internal::GetCapturedStdout()};
}

TEST(ScriptContext, LettersOfEitherCaseNameTheSameSlot) {
    ScriptContext ctx;
    for (char c = 'a'; c <= 'z'; ++c) {
        const char lower[] = {c, '\0'};
        const char upper[] = {static_cast<char>(c - 'a' + 'A'), '\0'};
        EXPECT_EQ(ctx.variableIndex(lower), c - 'a');
        EXPECT_EQ(ctx.variableIndex(upper), c - 'a');
    }
}

// Every name but a single letter prints the same line, the one the script cases under tests/e2e/ pin for a
// name such as "ab"; the characters just before and after each run of letters are among them.
TEST(ScriptContext, AnythingButASingleLetterIsRefusedWithTheLineNumber) {
    ScriptContext ctx;
    ctx.lineNumber = 12;
    const Captured ab = capture([&] { return ctx.variableIndex("ab"); });
    EXPECT_EQ(ab.value, -1);
    ASSERT_EQ(ab.output.rfind("Error (line 12): ", 0), 0u) << ab.output;
    EXPECT_EQ(std::count(ab.output.begin(), ab.output.end(), '\n'), 1);
    for (const char* name : {"1", "", "@", "[", "`", "{", "#", "aa", "a1"}) {
        const Captured c = capture([&] { return ctx.variableIndex(name); });
        EXPECT_EQ(c.value, -1) << name;
        EXPECT_EQ(c.output, ab.output) << name;
    }
    // No name at all: the runner never hands a command a missing word, so no script brings this about.
    const Captured none = capture([&] { return ctx.variableIndex(nullptr); });
    EXPECT_EQ(none.value, -1);
    EXPECT_EQ(none.output, "Error (line 12): no variable name!\n");
}

// getImage adds a second line to a bad name, and prints nothing for an empty variable; the verb decides what
// that means.
TEST(ScriptContext, GetImageReportsBadNamesTwiceAndEmptyVariablesNotAtAll) {
    ScriptContext ctx;
    ctx.lineNumber = 3;
    Captured c = capture([&] { return ctx.getImage("q") == nullptr ? 1 : 0; });
    EXPECT_EQ(c.value, 1);
    EXPECT_EQ(c.output, "");
    const std::string badName = capture([&] { return ctx.variableIndex("qq"); }).output;
    c = capture([&] { return ctx.getImage("qq") == nullptr ? 1 : 0; });
    EXPECT_EQ(c.value, 1);
    ASSERT_EQ(c.output.rfind(badName, 0), 0u) << c.output;
    const std::string outOfBounds = c.output.substr(badName.size());
    EXPECT_EQ(std::count(outOfBounds.begin(), outOfBounds.end(), '\n'), 1);
    const std::string noName = capture([&] { return ctx.variableIndex(nullptr); }).output;
    c = capture([&] { return ctx.getImage(nullptr) == nullptr ? 1 : 0; });
    EXPECT_EQ(c.value, 1);
    EXPECT_EQ(c.output, noName + outOfBounds);
}

TEST(ScriptContext, SetImageReplacesAndEmptiesSlots) {
    ScriptContext ctx;
    ctx.setImage(25, createImage(2, 2));
    EXPECT_EQ(ctx.getImage("Z"), ctx.imageAt(25));
    ctx.setImage(25, createImage(3, 1));
    EXPECT_EQ(ctx.imageAt(25)->width, 3u);
    ctx.setImage(25, nullptr);
    EXPECT_EQ(ctx.imageAt(25), nullptr);
}

} // namespace

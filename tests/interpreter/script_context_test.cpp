#include "interpreter/script_context.h"

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

TEST(ScriptContext, AnythingButASingleLetterIsRefusedWithTheLineNumber) {
    ScriptContext ctx;
    ctx.lineNumber = 12;
    for (const char* name : {"ab", "1", "", "@", "[", "`", "{", "#", "aa", "a1"}) {
        const Captured c = capture([&] { return ctx.variableIndex(name); });
        EXPECT_EQ(c.value, -1) << name;
        EXPECT_EQ(c.output, "Error (line 12): variable must have 1 character name!\n") << name;
    }
    const Captured none = capture([&] { return ctx.variableIndex(nullptr); });
    EXPECT_EQ(none.value, -1);
    EXPECT_EQ(none.output, "Error (line 12): no variable name!\n");
}

TEST(ScriptContext, GetImageReportsBadNamesTwiceAndEmptyVariablesNotAtAll) {
    ScriptContext ctx;
    ctx.lineNumber = 3;
    Captured c = capture([&] { return ctx.getImage("q") == nullptr ? 1 : 0; });
    EXPECT_EQ(c.value, 1);
    EXPECT_EQ(c.output, "");
    c = capture([&] { return ctx.getImage("qq") == nullptr ? 1 : 0; });
    EXPECT_EQ(c.value, 1);
    EXPECT_EQ(c.output, "Error (line 3): variable must have 1 character name!\n"
                        "Error (line 3): variable access out of bounds\n");
    c = capture([&] { return ctx.getImage(nullptr) == nullptr ? 1 : 0; });
    EXPECT_EQ(c.output, "Error (line 3): no variable name!\n"
                        "Error (line 3): variable access out of bounds\n");
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

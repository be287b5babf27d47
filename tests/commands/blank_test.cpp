#include "tests/support/exec.h"

#include <gtest/gtest.h>

namespace {

TEST(Blank, CreatesOpaqueBlackImagesWithinTheSizeBounds) {
    ScriptContext ctx;
    ctx.lineNumber = 1;
    Outcome o = execLine(ctx, "blank a 1 1");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.output, "");
    ASSERT_NE(ctx.imageAt(0), nullptr);
    EXPECT_EQ(bytesOf(*ctx.imageAt(0)), (std::vector<std::uint8_t>{0, 0, 0, 255}));
    EXPECT_EQ(execLine(ctx, "blank B 65535 1").result, 0);
    EXPECT_EQ(ctx.imageAt(1)->width, 65535u);
    EXPECT_EQ(execLine(ctx, "blank c 3 65535").result, 0);
}

TEST(Blank, RefusesBadSizesAndKeepsTheVariable) {
    ScriptContext ctx;
    ctx.lineNumber = 9;
    execLine(ctx, "blank a 2 2");
    const Image* before = ctx.imageAt(0);
    for (const char* line :
         {"blank a 0 5", "blank a 5 0", "blank a 65536 5", "blank a 5 65536", "blank a -3 5", "blank a x 8",
          "blank a 4294967296 8", "blank a 99999999999999999999 3"}) {
        Outcome o = execLine(ctx, line);
        EXPECT_EQ(o.result, 2) << line;
        EXPECT_EQ(o.output, "Error (line 9): invalid size for blank image\n") << line;
        EXPECT_EQ(ctx.imageAt(0), before) << line;
    }
}

TEST(Blank, ConvertsSizesAsTheCLibraryDoes) {
    ScriptContext ctx;
    EXPECT_EQ(execLine(ctx, "blank a 12px 8").result, 0);
    EXPECT_EQ(ctx.imageAt(0)->width, 12u);
    // 4294967297 wraps to 1 in 32 bits, as the C library's atoi gives.
    EXPECT_EQ(execLine(ctx, "blank a 4294967297 +3").result, 0);
    EXPECT_EQ(ctx.imageAt(0)->width, 1u);
    EXPECT_EQ(ctx.imageAt(0)->height, 3u);
}

TEST(Copy, MakesAnIndependentDeepCopy) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(2, 2, [](std::uint32_t x, std::uint32_t y) {
                     return Rgba{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 3, 4};
                 }));
    const std::vector<std::uint8_t> original = bytesOf(*ctx.imageAt(0));
    EXPECT_EQ(execLine(ctx, "copy a b").result, 0);
    ASSERT_NE(ctx.imageAt(1), nullptr);
    EXPECT_NE(ctx.imageAt(1), ctx.imageAt(0));
    EXPECT_EQ(bytesOf(*ctx.imageAt(1)), original);
    ctx.imageAt(1)->pixel(0, 0)[0] = 200;
    EXPECT_EQ(bytesOf(*ctx.imageAt(0)), original);
}

TEST(Copy, OntoItselfKeepsTheContent) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(3, 1, [](std::uint32_t x, std::uint32_t) {
                     return Rgba{1, 2, static_cast<std::uint8_t>(x), 9};
                 }));
    const std::vector<std::uint8_t> original = bytesOf(*ctx.imageAt(0));
    EXPECT_EQ(execLine(ctx, "copy a A").result, 0);
    EXPECT_EQ(bytesOf(*ctx.imageAt(0)), original);
}

} // namespace

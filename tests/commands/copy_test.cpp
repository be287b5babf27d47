// copy: a deep copy of one variable's image into another, or onto itself.

#include "tests/support/exec.h"

#include <gtest/gtest.h>

namespace {

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

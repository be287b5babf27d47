// fill: a rectangle given by two corners in either order, clipped to the image, set to one stored value.

#include "tests/support/exec.h"

#include <gtest/gtest.h>
#include <string>

namespace {

constexpr Rgba background{1, 2, 3, 4};

// Fills an 8x6 image and checks every pixel against the expected inclusive rectangle (an empty one for
// x0 > x1 or y0 > y1).
void expectFilled(const std::string& corners, int x0, int y0, int x1, int y1) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(8, 6, [](std::uint32_t, std::uint32_t) { return background; }));
    const Outcome o = execLine(ctx, "fill a " + corners + " 9 8 7 6");
    EXPECT_EQ(o.result, 0) << corners;
    EXPECT_EQ(o.output, "") << corners;
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            const bool inside = x0 <= x && x <= x1 && y0 <= y && y <= y1;
            EXPECT_EQ(pixelAt(*ctx.imageAt(0), static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)),
                      (inside ? Rgba{9, 8, 7, 6} : background))
                << corners << " at " << x << "," << y;
        }
}

TEST(Fill, OrdersAndClipsTheCorners) {
    expectFilled("2 2 5 5", 2, 2, 5, 5);
    expectFilled("5 5 2 2", 2, 2, 5, 5);
    expectFilled("5 2 2 5", 2, 2, 5, 5);
    expectFilled("3 4 3 4", 3, 4, 3, 4);
    expectFilled("0 0 1 0", 0, 0, 1, 0);
    expectFilled("-10 -10 1000 1000", 0, 0, 7, 5);
    expectFilled("6 -3 2147483647 1", 6, 0, 7, 1);
    expectFilled("-10 -10 -5 -5", 1, 1, 0, 0);
    expectFilled("8 0 9 5", 1, 1, 0, 0);
    expectFilled("0 6 7 6", 1, 1, 0, 0);
    expectFilled("-2147483648 -2147483648 2147483647 2147483647", 0, 0, 7, 5);
}

TEST(Fill, StoresTheLowEightBitsOfEachChannelUnpremultiplied) {
    ScriptContext ctx;
    ctx.setImage(0, createImage(2, 1));
    EXPECT_EQ(execLine(ctx, "fill a 0 0 0 0 256 -1 300 128").result, 0);
    EXPECT_EQ(pixelAt(*ctx.imageAt(0), 0, 0), (Rgba{0, 255, 44, 128}));
    EXPECT_EQ(execLine(ctx, "fill a 1 0 1 0 200 x 9 5").result, 0);
    EXPECT_EQ(pixelAt(*ctx.imageAt(0), 1, 0), (Rgba{200, 0, 9, 5}));
}

} // namespace

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

Rgba keyed(Rgba p, const char* key) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(1, 1, [p](std::uint32_t, std::uint32_t) { return p; }));
    EXPECT_EQ(execLine(ctx, std::string("chromakey a ") + key).result, 0);
    return pixelAt(*ctx.imageAt(0), 0, 0);
}

TEST(Chromakey, ComparesWithTheKeyPremultipliedByEachPixelsAlpha) {
    constexpr Rgba clear{0, 0, 0, 0};
    EXPECT_EQ(keyed({0, 0, 0, 255}, "0 0 0"), clear);
    EXPECT_EQ(keyed({10, 20, 30, 0}, "0 0 0"), (Rgba{10, 20, 30, 0}));
    EXPECT_EQ(keyed({0, 0, 0, 0}, "0 0 0"), clear);
    EXPECT_EQ(keyed({255, 0, 0, 255}, "255 0 0"), clear);
    EXPECT_EQ(keyed({128, 0, 0, 128}, "255 0 0"), clear);
    EXPECT_EQ(keyed({127, 0, 0, 128}, "255 0 0"), (Rgba{127, 0, 0, 128}));
    EXPECT_EQ(keyed({48, 0, 0, 147}, "85 0 0"), clear);
    EXPECT_EQ(keyed({49, 0, 0, 147}, "85 0 0"), (Rgba{49, 0, 0, 147}));
    EXPECT_EQ(keyed({0, 97, 0, 147}, "0 170 0"), clear);
    EXPECT_EQ(keyed({0, 0, 0, 9}, "256 0 512"), clear);
    EXPECT_EQ(keyed({0, 0, 1, 9}, "256 0 512"), (Rgba{0, 0, 1, 9}));
}

// Every key value at every alpha against the plain formula: pixels equal to the premultiplied key, and one
// above it in each channel in turn, must be keyed and kept respectively.
TEST(Chromakey, MatchesThePlainFormulaForEveryKeyAndAlpha) {
    for (int k = 0; k < 256; ++k) {
        auto premultiplied = [k](std::uint32_t alpha) {
            return static_cast<std::uint8_t>(static_cast<int>(k * (alpha / 255.0)));
        };
        ScriptContext ctx;
        ctx.setImage(0, makeImage(4, 256, [&](std::uint32_t x, std::uint32_t alpha) {
                         const std::uint8_t key = premultiplied(alpha);
                         Rgba p{key, key, key, static_cast<std::uint8_t>(alpha)};
                         if (x > 0)
                             p[x - 1] = static_cast<std::uint8_t>(key + 1);
                         return p;
                     }));
        const std::string value = std::to_string(k);
        ASSERT_EQ(execLine(ctx, "chromakey a " + value + " " + value + " " + value).result, 0);
        for (std::uint32_t alpha = 0; alpha < 256; ++alpha) {
            const std::uint8_t key = premultiplied(alpha);
            const Rgba exact = alpha == 0 ? Rgba{key, key, key, 0} : Rgba{0, 0, 0, 0};
            ASSERT_EQ(pixelAt(*ctx.imageAt(0), 0, alpha), exact) << k << "/" << alpha;
            for (std::uint32_t x = 1; x < 4; ++x)
                ASSERT_EQ(pixelAt(*ctx.imageAt(0), x, alpha)[3], alpha)
                    << k << "/" << alpha << " channel " << x;
        }
    }
}

} // namespace

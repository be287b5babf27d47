#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

Rgba over(Rgba a, Rgba b) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(1, 1, [a](std::uint32_t, std::uint32_t) { return a; }));
    ctx.setImage(1, makeImage(1, 1, [b](std::uint32_t, std::uint32_t) { return b; }));
    EXPECT_EQ(execLine(ctx, "composite a over b 0 0").result, 0);
    return pixelAt(*ctx.imageAt(1), 0, 0);
}

TEST(Composite, BlendsByTheTopPixelsAlpha) {
    EXPECT_EQ(over({9, 8, 7, 255}, {100, 100, 100, 100}), (Rgba{9, 8, 7, 255}));
    EXPECT_EQ(over({9, 8, 7, 0}, {100, 101, 102, 103}), (Rgba{100, 101, 102, 103}));
    EXPECT_EQ(over({128, 64, 0, 128}, {0, 0, 0, 0}), (Rgba{64, 32, 0, 128}));
    EXPECT_EQ(over({200, 100, 50, 128}, {100, 100, 100, 255}), (Rgba{150, 100, 74, 255}));
    // Alpha above 255 is capped, not wrapped.
    EXPECT_EQ(over({0, 0, 0, 255}, {0, 0, 0, 255})[3], 255);
    EXPECT_EQ(over({0, 0, 0, 200}, {0, 0, 0, 255})[3], 255);
}

ImagePtr numbered(std::uint32_t w, std::uint32_t h, std::uint8_t alpha) {
    return makeImage(w, h, [alpha](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>(10 * x + y), static_cast<std::uint8_t>(y), 0, alpha};
    });
}

TEST(Composite, PlacesTopLeftAtTheOffsetAndClipsOnlyRightAndBottom) {
    for (const char* offset : {"2 2", "-1 0", "0 -1", "4 0", "0 4", "-9 9", "2147483647 2147483647"}) {
        ScriptContext ctx;
        ctx.setImage(0, numbered(4, 4, 255));
        ctx.setImage(1, createImage(4, 4));
        const Outcome o = execLine(ctx, std::string("composite a over b ") + offset);
        EXPECT_EQ(o.result, 0) << offset;
        EXPECT_EQ(o.output, "") << offset;
        const bool placed = std::string(offset) == "2 2";
        for (std::uint32_t y = 0; y < 4; ++y)
            for (std::uint32_t x = 0; x < 4; ++x) {
                const Rgba expected = placed && x >= 2 && y >= 2 ? pixelAt(*numbered(4, 4, 255), x - 2, y - 2)
                                                                 : Rgba{0, 0, 0, 0};
                EXPECT_EQ(pixelAt(*ctx.imageAt(1), x, y), expected) << offset << " at " << x << "," << y;
            }
        EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*numbered(4, 4, 255)));
    }
}

TEST(Composite, RefusesAnyOperationButOverBeforeLookingAtB) {
    ScriptContext ctx;
    ctx.lineNumber = 8;
    ctx.setImage(0, numbered(2, 2, 255));
    const struct {
        const char* line;
        const char* output;
    } cases[] = {
        {"composite a Over b 0 0", "Sorry... I only know the 'over' operation"},
        {"composite a overlay b 0 0", "Sorry... I only know the 'over' operation"},
        {"composite a ove ab 0 0", "Sorry... I only know the 'over' operation"},
    };
    for (const auto& c : cases) {
        const Outcome o = execLine(ctx, c.line);
        EXPECT_EQ(o.result, 1) << c.line;
        EXPECT_EQ(o.output, "Error (line 8): " + std::string(c.output) + "\n") << c.line;
    }
}

TEST(Composite, OverItselfReadsPixelsAlreadyBlended) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(3, 2, [](std::uint32_t, std::uint32_t) { return Rgba{128, 128, 128, 128}; }));
    EXPECT_EQ(execLine(ctx, "composite a over A 0 0").result, 0);
    EXPECT_EQ(pixelAt(*ctx.imageAt(0), 2, 1), (Rgba{128, 128, 128, 191}));

    std::mt19937 random(11);
    auto noise = [&](std::uint32_t, std::uint32_t) {
        const auto a = static_cast<std::uint8_t>(random());
        return Rgba{static_cast<std::uint8_t>(random() % (a + 1)),
                    static_cast<std::uint8_t>(random() % (a + 1)),
                    static_cast<std::uint8_t>(random() % (a + 1)), a};
    };
    for (int x = -1; x <= 7; ++x)
        for (int y = -1; y <= 6; ++y) {
            ImagePtr expected = makeImage(7, 6, noise);
            ctx.setImage(0, cloneImage(*expected));
            reference::compositeOver(*expected, *expected, x, y);
            EXPECT_EQ(
                execLine(ctx, "composite a over a " + std::to_string(x) + " " + std::to_string(y)).result, 0);
            EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*expected)) << x << "," << y;
        }
}

} // namespace

namespace {

// Every colour byte of A against every byte of B, at alpha 0, 255 and a spread of alphas between (A's
// colour need not stay below its alpha, as after fill), compared with the plain blend.
TEST(Composite, MatchesThePlainBlendForEveryPairOfBytes) {
    for (int alpha : {0, 255, 1, 128, 254, 77}) {
        const auto a = static_cast<std::uint8_t>(alpha);
        const ImagePtr top = makeImage(256, 256, [a](std::uint32_t x, std::uint32_t y) {
            return Rgba{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                        static_cast<std::uint8_t>(x ^ y), a};
        });
        const ImagePtr bottom = makeImage(256, 256, [](std::uint32_t x, std::uint32_t y) {
            return Rgba{static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(x),
                        static_cast<std::uint8_t>(x + y), static_cast<std::uint8_t>(x * 7 + y)};
        });
        ScriptContext ctx;
        ctx.setImage(0, cloneImage(*top));
        ctx.setImage(1, cloneImage(*bottom));
        ASSERT_EQ(execLine(ctx, "composite a over b 0 0").result, 0);
        ImagePtr expected = cloneImage(*bottom);
        reference::compositeOver(*top, *expected, 0, 0);
        EXPECT_EQ(bytesOf(*ctx.imageAt(1)), bytesOf(*expected)) << "alpha " << alpha;
    }
}

} // namespace

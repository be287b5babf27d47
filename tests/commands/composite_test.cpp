// composite: the over blend by worked examples and against the plain blend, placement and clipping, the
// operation word, and an image composited over itself. Images without pixels are in
// empty_images_test.cpp.

#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

// A numbered image: every pixel differs from its neighbours in both directions.
ImagePtr numbered(std::uint32_t w, std::uint32_t h, std::uint8_t base, std::uint8_t alpha) {
    return makeImage(w, h, [=](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>(base + 16 * y + x), static_cast<std::uint8_t>(x),
                    static_cast<std::uint8_t>(y), alpha};
    });
}

// An opaque A over B: A's top-left pixel lands at the offset and A replaces what it covers, clipped at B's
// right and bottom edges; a negative offset draws nothing at all. Images wider than tall and taller than
// wide show a width used where a height belongs.
TEST(Composite, PlacesTopLeftAtTheOffsetAndClipsOnlyRightAndBottom) {
    const struct {
        std::uint32_t aw, ah, bw, bh;
        const char* offset;
        bool drawn;
    } cases[] = {
        {4, 4, 4, 4, "2 2", true},
        {5, 2, 8, 8, "1 2", true}, // wider than tall
        {2, 5, 8, 8, "3 1", true}, // taller than wide
        {5, 2, 4, 8, "1 5", true}, // clipped on the right
        {2, 5, 8, 4, "6 1", true}, // clipped at the bottom
        {4, 4, 4, 4, "4 0", true}, // wholly off the right edge
        {4, 4, 4, 4, "0 4", true}, // wholly below the bottom edge
        {4, 4, 4, 4, "2147483647 2147483647", true},
        {4, 4, 4, 4, "-1 0", false},
        {4, 4, 4, 4, "0 -1", false},
        {4, 4, 4, 4, "-9 9", false},
    };
    for (const auto& c : cases) {
        const std::string line = std::string("composite a over b ") + c.offset;
        ScriptContext ctx;
        ctx.setImage(0, numbered(c.aw, c.ah, 100, 255));
        ctx.setImage(1, numbered(c.bw, c.bh, 0, 40));
        const Outcome o = execLine(ctx, line);
        EXPECT_EQ(o.result, 0) << line;
        EXPECT_EQ(o.output, "") << line;
        const long ox = std::strtol(c.offset, nullptr, 10);
        const long oy = std::strtol(std::strchr(c.offset, ' '), nullptr, 10);
        for (std::uint32_t y = 0; y < c.bh; ++y)
            for (std::uint32_t x = 0; x < c.bw; ++x) {
                // The pixel of A over (x, y), if any.
                const long ax = static_cast<long>(x) - ox;
                const long ay = static_cast<long>(y) - oy;
                const bool covered = c.drawn && ax >= 0 && ax < static_cast<long>(c.aw) && ay >= 0 &&
                                     ay < static_cast<long>(c.ah);
                const Rgba expected =
                    covered ? pixelAt(*numbered(c.aw, c.ah, 100, 255), static_cast<std::uint32_t>(ax),
                                      static_cast<std::uint32_t>(ay))
                            : pixelAt(*numbered(c.bw, c.bh, 0, 40), x, y);
                EXPECT_EQ(pixelAt(*ctx.imageAt(1), x, y), expected) << line << " at " << x << "," << y;
            }
        EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*numbered(c.aw, c.ah, 100, 255))) << line;
    }
}

// Any word but "over" is refused, and before B is looked at: a bad name for B then prints nothing of its
// own. The message is pinned by the script case tests/e2e/pixels/composite_messages.script.
TEST(Composite, RefusesAnyOperationButOverBeforeLookingAtB) {
    ScriptContext ctx;
    ctx.setImage(0, numbered(2, 2, 0, 255));
    const std::string refused = execLine(ctx, "composite a Over b 0 0").output;
    EXPECT_EQ(lineCount(refused), 1u);
    for (const char* line : {"composite a overlay b 0 0", "composite a ove ab 0 0"}) {
        const Outcome o = execLine(ctx, line);
        EXPECT_EQ(o.result, 1) << line;
        EXPECT_EQ(o.output, refused) << line;
    }
    EXPECT_EQ(ctx.imageAt(1), nullptr);
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

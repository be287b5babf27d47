// opaque: every pixel's colour divided by its alpha, capped at 255, and alpha set to 255.

#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"

#include <gtest/gtest.h>
#include <string>

namespace {

Rgba opaqued(Rgba p) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(1, 1, [p](std::uint32_t, std::uint32_t) { return p; }));
    const Outcome o = execLine(ctx, "opaque a");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.output, "");
    return pixelAt(*ctx.imageAt(0), 0, 0);
}

TEST(Opaque, WorkedExamples) {
    EXPECT_EQ(opaqued({100, 100, 100, 200}), (Rgba{127, 127, 127, 255}));
    EXPECT_EQ(opaqued({200, 0, 0, 100}), (Rgba{255, 0, 0, 255}));
    EXPECT_EQ(opaqued({10, 20, 30, 0}), (Rgba{0, 0, 0, 255}));
    EXPECT_EQ(opaqued({1, 2, 3, 255}), (Rgba{1, 2, 3, 255}));
    for (std::uint8_t a : std::initializer_list<std::uint8_t>{33, 66, 132})
        EXPECT_EQ(opaqued({a, a, 0, a}), (Rgba{255, 255, 0, 255})) << int(a);
}

// Every colour at every alpha; then opaque pixels mixed with others in runs of every length, in rows whose
// length is not a multiple of four, since runs of opaque pixels are skipped four at a time. A second run
// changes nothing: the result is opaque.
TEST(Opaque, MatchesThePlainFormulaForEveryColourAndAlphaAndIsIdempotent) {
    const ImagePtr everyAlpha = makeImage(256, 256, [](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(255 - x), 0,
                    static_cast<std::uint8_t>(y)};
    });
    const ImagePtr mixed = makeImage(257, 31, [](std::uint32_t x, std::uint32_t y) {
        const std::uint32_t n = x * 31 + y * 17;
        return Rgba{static_cast<std::uint8_t>(n / 3), static_cast<std::uint8_t>(x),
                    static_cast<std::uint8_t>(y),
                    static_cast<std::uint8_t>((n >> 2) % 7 == 0 ? n % 255 : 255)};
    });
    for (const Image* image : {everyAlpha.get(), mixed.get()}) {
        ScriptContext ctx;
        ctx.setImage(0, cloneImage(*image));
        ImagePtr expected = cloneImage(*image);
        reference::opaque(*expected);
        ASSERT_EQ(execLine(ctx, "opaque a").result, 0);
        EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*expected)) << image->width;
        ASSERT_EQ(execLine(ctx, "opaque a").result, 0);
        EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*expected)) << image->width;
    }
}

} // namespace

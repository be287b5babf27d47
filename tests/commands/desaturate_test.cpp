// desaturate: each colour moved towards the pixel's grey by the amount, 0 to 1 both included, rounded to
// single precision before its range is tested.

#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

// Runs `line` on a one-pixel image and returns the resulting pixel.
TEST(Desaturate, WorkedExamples) {
    EXPECT_EQ(applyTo({255, 0, 0, 255}, "desaturate a 1"), (Rgba{53, 53, 53, 255}));
    EXPECT_EQ(applyTo({0, 255, 0, 9}, "desaturate a 1"), (Rgba{183, 183, 183, 9}));
    EXPECT_EQ(applyTo({0, 0, 255, 255}, "desaturate a 1"), (Rgba{17, 17, 17, 255}));
    EXPECT_EQ(applyTo({255, 255, 255, 255}, "desaturate a 1"), (Rgba{255, 255, 255, 255}));
    EXPECT_EQ(applyTo({100, 100, 100, 100}, "desaturate a 1"), (Rgba{100, 100, 100, 100}));
    EXPECT_EQ(applyTo({255, 0, 0, 255}, "desaturate a 0.5"), (Rgba{154, 26, 26, 255}));
    // The grey value 6.99999999254… is rounded to 7 in single precision before it is used.
    EXPECT_EQ(applyTo({5, 0, 85, 255}, "desaturate a 1"), (Rgba{7, 7, 7, 255}));
    EXPECT_EQ(applyTo({1, 2, 3, 4}, "desaturate a 0"), (Rgba{1, 2, 3, 4}));
}

// Values just inside and outside the range, as written and as rounded to single precision: 0.99999999
// rounds to 1 and -1e-50 to -0, both accepted; text without a number is 0. The message is pinned by the
// script case tests/e2e/pixels/tone_messages.script.
TEST(Desaturate, AmountsAreRoundedToFloatBeforeTheRangeTest) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(3, 1, [](std::uint32_t x, std::uint32_t) {
                     return Rgba{static_cast<std::uint8_t>(90 * x), 40, 7, 255};
                 }));
    const std::vector<std::uint8_t> before = bytesOf(*ctx.imageAt(0));
    for (const char* amount : {"-0.0001", "1.0001", "nan", "inf"}) {
        const Outcome o = execLine(ctx, std::string("desaturate a ") + amount);
        EXPECT_EQ(o.result, 1) << amount;
        EXPECT_EQ(lineCount(o.output), 1u) << amount;
        EXPECT_EQ(bytesOf(*ctx.imageAt(0)), before) << amount;
    }
    for (const char* amount : {"0", "1", "-0", "x", "0.99999999", "-1e-50"})
        EXPECT_EQ(execLine(ctx, std::string("desaturate A ") + amount).result, 0) << amount;
}

// Every pair of red and green bytes with blue bytes spread among them, against the plain formula, at the
// ends of the range (0 changes nothing, 1 gives the bare grey) and between; 259 x 256 pixels, so that the
// last pixels are not a whole group of four.
TEST(Desaturate, MatchesThePlainFormula) {
    const ImagePtr colours = makeImage(259, 256, [](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                    static_cast<std::uint8_t>(x * 7 + y * 13), static_cast<std::uint8_t>(x ^ y)};
    });
    for (const char* amount : {"0", "1", "0.6", "0.25", "0.9999999", "1e-40", "0.123456789"}) {
        ScriptContext ctx;
        ctx.setImage(0, cloneImage(*colours));
        ASSERT_EQ(execLine(ctx, std::string("desaturate a ") + amount).result, 0);
        ImagePtr expected = cloneImage(*colours);
        reference::desaturate(*expected, static_cast<float>(std::strtod(amount, nullptr)));
        EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*expected)) << amount;
    }
}

} // namespace

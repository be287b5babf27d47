// darken and dissolve (one verb under two names): every byte times the amount, truncated; darken keeps
// alpha, dissolve scales it too. The amount is rounded to single precision before its range is tested.

#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

// Runs `line` on a one-pixel image and returns the resulting pixel.
// An image holding every byte value once in each channel: pixel i is (i, 255 - i, i ^ 0x5A, i). 259
// pixels: every byte value, and a length that is not a multiple of 16 bytes.
ImagePtr everyByte() {
    return makeImage(259, 1, [](std::uint32_t x, std::uint32_t) {
        const auto i = static_cast<std::uint8_t>(x);
        return Rgba{i, static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i ^ 0x5A), i};
    });
}

TEST(DarkenDissolve, WorkedExamples) {
    EXPECT_EQ(applyTo({255, 255, 255, 255}, "darken a 0.5"), (Rgba{127, 127, 127, 255}));
    EXPECT_EQ(applyTo({255, 255, 255, 255}, "dissolve a 0.5"), (Rgba{127, 127, 127, 127}));
    EXPECT_EQ(applyTo({200, 100, 3, 250}, "darken a 0.25"), (Rgba{50, 25, 0, 250}));
    EXPECT_EQ(applyTo({200, 100, 3, 250}, "dissolve a 0.25"), (Rgba{50, 25, 0, 62}));
    // 0.9999999 becomes 0.99999988079071044921875: 255 times that truncates to 254.
    EXPECT_EQ(applyTo({255, 255, 255, 255}, "darken a 0.9999999"), (Rgba{254, 254, 254, 255}));
}

// Values just inside and outside the range, as written and as rounded to single precision: 0.99999999 rounds
// to 1 and 1e-50 to 0, both refused; 0.9999999 and 1e-40 stay inside. The message is pinned by the script
// case tests/e2e/pixels/tone_messages.script.
TEST(DarkenDissolve, AmountsAreRoundedToFloatBeforeTheRangeTest) {
    const struct {
        const char* verb;
        std::vector<const char*> refused;
        std::vector<const char*> accepted;
    } cases[] = {
        {"darken",
         {"0", "1", "-0.25", "0.99999999", "1e-50", "x", "nan", "1e300"},
         {"0.9999999", "1e-40", "0.5junk"}},
        {"dissolve",
         {"0", "1", "-0.25", "0.99999999", "1e-50", "x", "nan", "-1e300"},
         {"0.9999999", "1e-40"}},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, everyByte());
        const std::vector<std::uint8_t> before = bytesOf(*ctx.imageAt(0));
        for (const char* amount : c.refused) {
            const Outcome o = execLine(ctx, std::string(c.verb) + " a " + amount);
            EXPECT_EQ(o.result, 1) << c.verb << " " << amount;
            EXPECT_EQ(lineCount(o.output), 1u) << c.verb << " " << amount;
            EXPECT_EQ(bytesOf(*ctx.imageAt(0)), before) << c.verb << " " << amount;
        }
        for (const char* amount : c.accepted)
            EXPECT_EQ(execLine(ctx, std::string(c.verb) + " A " + amount).result, 0)
                << c.verb << " " << amount;
    }
}

// The verbs work from a table, and from a 16-bit multiplier where one gives every entry of the table: both
// against the plain per-pixel formula. The amount just above 1/255 takes 255 to 1, where a multiplier checked
// only up to the byte 254 would give 0.
TEST(DarkenDissolve, MatchThePlainFormulaForEveryByte) {
    std::mt19937 random(4);
    std::vector<float> amounts = {0.5f,         0.9999999f,          1e-40f, 0.1f, 1.0f / 3,
                                  254.5f / 255, 0.00392156862745098f};
    for (int i = 0; i < 300; ++i)
        amounts.push_back(std::uniform_real_distribution<float>(0.0f, 1.0f)(random));
    for (float amount : amounts) {
        if (!(amount > 0 && amount < 1))
            continue;
        char text[64];
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(amount));
        ScriptContext ctx;
        ctx.setImage(0, everyByte());
        ctx.setImage(1, everyByte());
        ASSERT_EQ(execLine(ctx, std::string("darken a ") + text).result, 0);
        ASSERT_EQ(execLine(ctx, std::string("dissolve b ") + text).result, 0);
        ImagePtr darkened = everyByte();
        ImagePtr dissolved = everyByte();
        reference::darken(*darkened, amount);
        reference::dissolve(*dissolved, amount);
        ASSERT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*darkened)) << text;
        ASSERT_EQ(bytesOf(*ctx.imageAt(1)), bytesOf(*dissolved)) << text;
    }
}

} // namespace

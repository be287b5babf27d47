#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

ImagePtr solid(Rgba p) {
    return makeImage(1, 1, [p](std::uint32_t, std::uint32_t) { return p; });
}

// Runs `verb amount` on a one-pixel image and returns the resulting pixel.
Rgba applyTo(Rgba p, const std::string& line) {
    ScriptContext ctx;
    ctx.setImage(0, solid(p));
    const Outcome o = execLine(ctx, line);
    EXPECT_EQ(o.result, 0) << line;
    EXPECT_EQ(o.output, "") << line;
    return pixelAt(*ctx.imageAt(0), 0, 0);
}

// An image holding every byte value once in each channel: pixel i is (i, 255 - i, i ^ 0x5A, i).
ImagePtr everyByte() {
    // 259 pixels: every byte value, and a length that is not a multiple of 16 bytes.
    return makeImage(259, 1, [](std::uint32_t x, std::uint32_t) {
        const auto i = static_cast<std::uint8_t>(x);
        return Rgba{i, static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i ^ 0x5A), i};
    });
}

// Amounts are rounded to single precision before the range test: values just inside and outside each
// verb's range, as written and as rounded.
TEST(Tone, AmountsAreRoundedToFloatBeforeTheRangeTest) {
    const struct {
        const char* verb;
        const char* message;
        std::vector<const char*> refused;
        std::vector<const char*> accepted;
    } cases[] = {
        {"darken",
         "Darken amount out of range (0 < a < 1)",
         {"0", "1", "-0.25", "0.99999999", "1e-50", "x", "nan", "1e300"},
         {"0.9999999", "1e-40", "0.5junk"}},
        {"dissolve",
         "Dissolve amount out of range (0 < a < 1)",
         {"0", "1", "-0.25", "0.99999999", "1e-50", "x", "nan", "-1e300"},
         {"0.9999999", "1e-40"}},
        {"desaturate",
         "Desaturate amount out of range (0 <= a <= 1)",
         {"-0.0001", "1.0001", "nan", "inf"},
         {"0", "1", "-0", "x", "0.99999999", "-1e-50"}},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.lineNumber = 2;
        ctx.setImage(0, everyByte());
        const std::vector<std::uint8_t> before = bytesOf(*ctx.imageAt(0));
        for (const char* amount : c.refused) {
            const Outcome o = execLine(ctx, std::string(c.verb) + " a " + amount);
            EXPECT_EQ(o.result, 1) << c.verb << " " << amount;
            EXPECT_EQ(o.output, "Error (line 2): " + std::string(c.message) + "\n")
                << c.verb << " " << amount;
            EXPECT_EQ(bytesOf(*ctx.imageAt(0)), before) << c.verb << " " << amount;
        }
        for (const char* amount : c.accepted)
            EXPECT_EQ(execLine(ctx, std::string(c.verb) + " A " + amount).result, 0)
                << c.verb << " " << amount;
    }
    // 0.9999999 becomes 0.99999988079071044921875: 255 times that truncates to 254.
    EXPECT_EQ(applyTo({255, 255, 255, 255}, "darken a 0.9999999"), (Rgba{254, 254, 254, 255}));
}

TEST(Tone, WorkedExamples) {
    EXPECT_EQ(applyTo({255, 255, 255, 255}, "darken a 0.5"), (Rgba{127, 127, 127, 255}));
    EXPECT_EQ(applyTo({255, 255, 255, 255}, "dissolve a 0.5"), (Rgba{127, 127, 127, 127}));
    EXPECT_EQ(applyTo({255, 0, 0, 255}, "desaturate a 1"), (Rgba{53, 53, 53, 255}));
    EXPECT_EQ(applyTo({0, 255, 0, 9}, "desaturate a 1"), (Rgba{183, 183, 183, 9}));
    EXPECT_EQ(applyTo({0, 0, 255, 255}, "desaturate a 1"), (Rgba{17, 17, 17, 255}));
    EXPECT_EQ(applyTo({255, 255, 255, 255}, "desaturate a 1"), (Rgba{255, 255, 255, 255}));
    EXPECT_EQ(applyTo({100, 100, 100, 100}, "desaturate a 1"), (Rgba{100, 100, 100, 100}));
    EXPECT_EQ(applyTo({255, 0, 0, 255}, "desaturate a 0.5"), (Rgba{154, 26, 26, 255}));
    // The grey value 6.99999999254… is rounded to 7 in single precision before it is used.
    EXPECT_EQ(applyTo({5, 0, 85, 255}, "desaturate a 1"), (Rgba{7, 7, 7, 255}));
    EXPECT_EQ(applyTo({1, 2, 3, 4}, "desaturate a 0"), (Rgba{1, 2, 3, 4}));
    EXPECT_EQ(applyTo({100, 100, 100, 200}, "opaque a"), (Rgba{127, 127, 127, 255}));
    EXPECT_EQ(applyTo({200, 0, 0, 100}, "opaque a"), (Rgba{255, 0, 0, 255}));
    EXPECT_EQ(applyTo({10, 20, 30, 0}, "opaque a"), (Rgba{0, 0, 0, 255}));
    for (std::uint8_t a : std::initializer_list<std::uint8_t>{33, 66, 132})
        EXPECT_EQ(applyTo({a, a, 0, a}, "opaque a"), (Rgba{255, 255, 0, 255})) << int(a);
}

TEST(Tone, OpaqueIsIdempotentAndKeepsOpaqueImages) {
    ScriptContext ctx;
    ctx.setImage(0, everyByte());
    execLine(ctx, "opaque a");
    const std::vector<std::uint8_t> once = bytesOf(*ctx.imageAt(0));
    execLine(ctx, "opaque a");
    EXPECT_EQ(bytesOf(*ctx.imageAt(0)), once);
}

// The verbs work from tables; these compare every table entry with the plain per-pixel formula.
TEST(Tone, DarkenAndDissolveMatchThePlainFormulaForEveryByte) {
    std::mt19937 random(4);
    std::vector<float> amounts = {0.5f, 0.9999999f, 1e-40f, 0.1f, 1.0f / 3, 254.5f / 255};
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

// Every colour at every alpha; then opaque pixels mixed with others in runs of every length, in rows whose
// length is not a multiple of four, since runs of opaque pixels are skipped four at a time.
TEST(Tone, OpaqueMatchesThePlainFormulaForEveryColourAndAlpha) {
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
    }
}

} // namespace

namespace {

// Every pair of red and green bytes with blue bytes spread among them, against the plain formula, at the
// ends of the range (0 changes nothing, 1 gives the bare grey) and between; 259 x 256 pixels, so that the
// last pixels are not a whole group of four.
TEST(Tone, DesaturateMatchesThePlainFormula) {
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

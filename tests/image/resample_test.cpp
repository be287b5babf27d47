// Resampling: the fitted size, the axis maps, the fast path against a plain per-pixel formula on random
// images of many sizes (shrinking with and without the box reduction, enlarging, one axis kept), flat
// colour kept exactly, and no aliasing on a one-pixel checkerboard.

#include "image/resample.h"
#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <random>

namespace {

struct FitCase {
    std::uint32_t width, height, boxWidth, boxHeight;
    FitSize expected;
};

TEST(FitInside, KeepsTheAspectRatioAndNeverEnlarges) {
    const FitCase cases[] = {
        // Already inside, or touching the box: unchanged, whatever room is left.
        {100, 50, 100, 50, {100, 50}},
        {100, 50, 1000, 1000, {100, 50}},
        {1, 1, 65535, 65535, {1, 1}},
        // The width meets the box; the height rounds to nearest, halves up.
        {200, 100, 100, 100, {100, 50}},
        {201, 100, 100, 100, {100, 50}}, // 49.75
        {199, 100, 100, 100, {100, 50}}, // 50.25
        {300, 101, 200, 200, {200, 67}}, // 67.33
        {4, 3, 2, 10, {2, 2}},           // 1.5 rounds up
        {5120, 2880, 256, 256, {256, 144}},
        {20000, 5000, 2000, 2000, {2000, 500}},
        // The height meets the box.
        {100, 200, 100, 100, {50, 100}},
        {3, 4, 10, 2, {2, 2}},
        {2880, 5120, 256, 256, {144, 256}},
        // Both meet it at once.
        {400, 300, 200, 150, {200, 150}},
        // 1 x N and N x 1: the short side never drops below 1.
        {1, 1000, 10, 10, {1, 10}},
        {1000, 1, 10, 10, {10, 1}},
        {1, 1000, 1, 1, {1, 1}},
        {10000, 3, 100, 100, {100, 1}}, // 0.03
        // One side inside, the other not.
        {50, 500, 100, 100, {10, 100}},
        {500, 50, 100, 1000, {100, 10}},
        // Odd and even boxes on odd and even images.
        {7, 5, 3, 3, {3, 2}}, // 2.14
        {7, 5, 4, 4, {4, 3}}, // 2.86
        {8, 6, 3, 3, {3, 2}}, // 2.25
        {9, 6, 4, 4, {4, 3}}, // 2.67
        // Extremes stay in 64-bit arithmetic.
        {0xFFFFFFFFu, 0xFFFFFFFEu, 65535, 65535, {65535, 65535}},
        {0xFFFFFFFFu, 1, 65535, 65535, {65535, 1}},
        // Images without pixels keep their size.
        {0, 100, 10, 10, {0, 100}},
        {100, 0, 10, 10, {100, 0}},
    };
    for (const FitCase& c : cases)
        EXPECT_EQ(fitInside(c.width, c.height, c.boxWidth, c.boxHeight), c.expected)
            << c.width << "x" << c.height << " in " << c.boxWidth << "x" << c.boxHeight;
}

struct AxisCase {
    std::uint32_t source, target, factor, reduced;
};

TEST(ResampleAxis, ReducesByTheLargestFactorLeavingThreePixelsPerTarget) {
    const AxisCase cases[] = {
        {100, 100, 1, 100},     {100, 20, 1, 100},       {119, 20, 1, 119},   {120, 20, 2, 60},
        {121, 20, 2, 61},       {4096, 512, 2, 2048},    {4096, 256, 5, 820}, {5120, 256, 6, 854},
        {20000, 2000, 3, 6667}, {1000000, 1, 4096, 245}, {3, 7, 1, 3},        {1, 65535, 1, 1},
    };
    for (const AxisCase& c : cases) {
        const ResampleAxis axis = resampleAxis(c.source, c.target);
        EXPECT_EQ(axis.factor, c.factor) << c.source << " to " << c.target;
        EXPECT_EQ(axis.reduced, c.reduced) << c.source << " to " << c.target;
        ASSERT_EQ(axis.first.size(), c.target);
        ASSERT_EQ(axis.weights.size(), std::size_t{c.target} * axis.taps);
        for (std::uint32_t i = 0; i < c.target; ++i) {
            EXPECT_LE(std::uint64_t{axis.first[i]} + axis.taps, axis.reduced)
                << c.source << " to " << c.target;
            std::int64_t sum = 0;
            for (std::uint32_t k = 0; k < axis.taps; ++k)
                sum += axis.weights[std::size_t{i} * axis.taps + k];
            ASSERT_EQ(sum, 1 << resampleWeightBits) << c.source << " to " << c.target << " at " << i;
        }
    }
}

// Whole numbers of 32 bits, the same on every platform.
using Random = std::independent_bits_engine<std::mt19937, 32, std::uint32_t>;

ImagePtr randomImage(std::uint32_t width, std::uint32_t height, Random& random) {
    // Half the images are smooth-ish (neighbours alike), half noise with every kind of alpha.
    const bool noisy = random() % 2 == 0;
    const std::uint32_t seed = random();
    return makeImage(width, height, [&](std::uint32_t x, std::uint32_t y) {
        if (noisy) {
            // A third transparent, a third opaque, the rest of any alpha; colour premultiplied.
            const std::uint32_t n = random();
            const auto a = std::uint8_t(n % 3 == 0 ? 0 : n % 3 == 1 ? 255 : n >> 24);
            return Rgba{std::uint8_t((n >> 8) % (a + 1u)), std::uint8_t((n >> 16) % (a + 1u)),
                        std::uint8_t((n >> 4) % (a + 1u)), a};
        }
        const auto a = std::uint8_t(255 - (x * 7 + y * 3 + seed) % 64);
        return Rgba{std::uint8_t(std::min<std::uint32_t>((x * 13 + seed) % 256, a)),
                    std::uint8_t(std::min<std::uint32_t>((y * 29) % 256, a)),
                    std::uint8_t(random() % (a + 1u)), a};
    });
}

TEST(Resample, FastPathEqualsThePlainFormulaOnRandomImages) {
    Random random(23);
    struct Shape {
        std::uint32_t width, height, toWidth, toHeight;
    };
    std::vector<Shape> shapes = {
        {1, 1, 1, 1},   {1, 1, 5, 3},    {3, 2, 1, 1},    {1, 40, 1, 3},  {40, 1, 2, 1},    {60, 45, 4, 3},
        {61, 47, 5, 2}, {13, 17, 13, 4}, {13, 17, 3, 17}, {7, 5, 20, 11}, {2, 2, 9, 9},     {50, 50, 49, 51},
        {64, 8, 3, 8},  {8, 64, 8, 1},   {100, 3, 7, 1},  {33, 33, 2, 2}, {12, 12, 12, 12},
    };
    for (int i = 0; i < 60; ++i)
        shapes.push_back({1 + random() % 48u, 1 + random() % 48u, 1 + random() % 30u, 1 + random() % 30u});
    for (const Shape& s : shapes) {
        const ImagePtr source = randomImage(s.width, s.height, random);
        const ImagePtr fast = resampleImage(*source, s.toWidth, s.toHeight);
        const ImagePtr plain = reference::resample(*source, s.toWidth, s.toHeight);
        ASSERT_EQ(fast->width, s.toWidth);
        ASSERT_EQ(fast->height, s.toHeight);
        ASSERT_EQ(bytesOf(*fast), bytesOf(*plain))
            << s.width << "x" << s.height << " to " << s.toWidth << "x" << s.toHeight;
        for (std::size_t v = 0; v < fast->byteCount(); v += 4)
            for (std::size_t c = 0; c < 3; ++c)
                ASSERT_LE(fast->pixels[v + c], fast->pixels[v + 3]) << "colour above alpha";
    }
}

TEST(Resample, FlatColourStaysExactAtEverySize) {
    // The weights of every pixel sum to exactly one, so a flat image gives the same flat image, shrunk by
    // any factor (with and without the box) or enlarged.
    const Rgba colours[] = {{0, 0, 0, 0}, {10, 20, 30, 40}, {255, 255, 255, 255}, {200, 0, 99, 200}};
    const std::uint32_t sizes[][4] = {
        {30, 20, 7, 3}, {500, 9, 4, 9}, {3, 3, 40, 17}, {1, 1, 6, 6}, {97, 1, 1, 1}};
    for (const Rgba& colour : colours)
        for (const auto& s : sizes) {
            const ImagePtr source =
                makeImage(s[0], s[1], [&](std::uint32_t, std::uint32_t) { return colour; });
            const ImagePtr result = resampleImage(*source, s[2], s[3]);
            for (std::uint32_t y = 0; y < s[3]; ++y)
                for (std::uint32_t x = 0; x < s[2]; ++x)
                    ASSERT_EQ(pixelAt(*result, x, y), colour)
                        << s[0] << "x" << s[1] << " to " << s[2] << "x" << s[3];
        }
}

TEST(Resample, SharpEdgesOvershootNoFurtherThanAlpha) {
    // Red at alpha 200 beside opaque black: where the filter rings, red rises as alpha falls, and unclamped
    // colour would exceed alpha. Enlarged and shrunk, rows and columns.
    const ImagePtr source = makeImage(12, 12, [](std::uint32_t x, std::uint32_t y) {
        return (x / 2 + y / 3) % 2 == 0 ? Rgba{200, 0, 0, 200} : Rgba{0, 0, 0, 255};
    });
    for (const auto& size : {std::pair{37u, 23u}, std::pair{5u, 12u}, std::pair{12u, 7u}}) {
        const ImagePtr result = resampleImage(*source, size.first, size.second);
        for (std::size_t v = 0; v < result->byteCount(); v += 4)
            for (std::size_t c = 0; c < 3; ++c)
                ASSERT_LE(result->pixels[v + c], result->pixels[v + 3]) << size.first << "x" << size.second;
    }
}

TEST(Resample, OnePixelCheckerboardShrinksToUniformGrey) {
    // 64 MiB of black and white pixels in alternation: sampled without care it gives black, white or moire.
    constexpr std::uint32_t side = 4096;
    ImagePtr board = createImageForOverwrite(side, side);
    for (std::uint32_t y = 0; y < side; ++y) {
        std::uint8_t* p = board->pixel(0, y);
        for (std::uint32_t x = 0; x < side; ++x, p += 4) {
            const std::uint8_t v = (x + y) % 2 == 0 ? 255 : 0;
            p[0] = p[1] = p[2] = v;
            p[3] = 255;
        }
    }
    const std::uint32_t targets[] = {256, 512, 300, 1000};
    for (std::uint32_t target : targets) {
        const ImagePtr grey = resampleImage(*board, target, target);
        int low = 255, high = 0;
        for (std::size_t v = 0; v < grey->byteCount(); v += 4) {
            low = std::min<int>(low, grey->pixels[v]);
            high = std::max<int>(high, grey->pixels[v]);
            ASSERT_EQ(grey->pixels[v + 3], 255);
        }
        EXPECT_GE(low, 126) << target;
        EXPECT_LE(high, 129) << target;
    }
}

} // namespace

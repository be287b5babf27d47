#include "commands/pixel_math.h"
#include "tests/support/exec.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

// The filter written out directly: float weights and accumulators, taps outside the image skipped, each
// sum divided by the sum of the weights used, in double precision, then truncated.
ImagePtr referenceBlur(const Image& in, int k) {
    const float kernel3[] = {1, 2, 1};
    const float kernel5[] = {1, 4, 6, 4, 1};
    const float* w = k == 3 ? kernel3 : kernel5;
    const int h = k / 2;
    const int width = static_cast<int>(in.width);
    const int height = static_cast<int>(in.height);
    auto pass = [&](const Image& from, Image& to, bool alongRows) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                float sum[4] = {0, 0, 0, 0};
                float weights = 0;
                for (int t = 0; t < k; ++t) {
                    const int sx = alongRows ? x - h + t : x;
                    const int sy = alongRows ? y : y - h + t;
                    if (sx < 0 || sx >= width || sy < 0 || sy >= height)
                        continue;
                    weights += w[t];
                    for (int c = 0; c < 4; ++c)
                        sum[c] =
                            static_cast<float>(sum[c] + static_cast<double>(from.pixel(sx, sy)[c]) * w[t]);
                }
                for (int c = 0; c < 4; ++c)
                    to.pixel(x, y)[c] = static_cast<std::uint8_t>(static_cast<int>(
                        std::trunc(static_cast<double>(sum[c]) / static_cast<double>(weights))));
            }
    };
    ImagePtr temp = createImage(in.width, in.height);
    ImagePtr out = cloneImage(in);
    pass(in, *temp, true);
    pass(*temp, *out, false);
    return out;
}

ImagePtr blurred(const Image& in, const std::string& k) {
    ScriptContext ctx;
    ctx.setImage(0, cloneImage(in));
    const Outcome o = execLine(ctx, "blur a " + k);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.output, "");
    return cloneImage(*ctx.imageAt(0));
}

TEST(Blur, MatchesTheDirectFilterOnEveryShapeUpToNineByNineAndALargerOne) {
    std::mt19937 random(7);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> shapes = {{67, 45}};
    for (std::uint32_t w = 1; w <= 9; ++w)
        for (std::uint32_t h = 1; h <= 9; ++h)
            shapes.emplace_back(w, h);
    for (const auto& [w, h] : shapes)
        for (int k : {3, 5}) {
            // Extreme bytes make the largest sums and the divisions closest to an integer likely.
            ImagePtr in = makeImage(w, h, [&](std::uint32_t, std::uint32_t) {
                Rgba p;
                for (auto& c : p)
                    c = random() % 3 == 0 ? 255 : static_cast<std::uint8_t>(random());
                return p;
            });
            EXPECT_EQ(bytesOf(*blurred(*in, std::to_string(k))), bytesOf(*referenceBlur(*in, k)))
                << w << "x" << h << " k=" << k;
        }
}

TEST(Blur, WorkedExamples) {
    ImagePtr line = makeImage(3, 1, [](std::uint32_t x, std::uint32_t) {
        const std::uint8_t v = x == 1 ? 255 : 0;
        return Rgba{v, v, v, v};
    });
    EXPECT_EQ(bytesOf(*blurred(*line, "3")),
              (std::vector<std::uint8_t>{85, 85, 85, 85, 127, 127, 127, 127, 85, 85, 85, 85}));
    // "3.7" converts to 3.
    EXPECT_EQ(bytesOf(*blurred(*line, "3.7")), bytesOf(*blurred(*line, "3")));

    ImagePtr uniform = makeImage(6, 5, [](std::uint32_t, std::uint32_t) { return Rgba{200, 7, 255, 255}; });
    EXPECT_EQ(bytesOf(*blurred(*uniform, "3")), bytesOf(*uniform));
    EXPECT_EQ(bytesOf(*blurred(*uniform, "5")), bytesOf(*uniform));

    ImagePtr dot = makeImage(1, 1, [](std::uint32_t, std::uint32_t) { return Rgba{1, 2, 3, 4}; });
    EXPECT_EQ(bytesOf(*blurred(*dot, "5")), bytesOf(*dot));
}

TEST(Blur, RefusesOtherKernelSizes) {
    ScriptContext ctx;
    ctx.lineNumber = 4;
    ctx.setImage(0, makeImage(2, 2, [](std::uint32_t x, std::uint32_t) {
                     return Rgba{0, 0, 0, static_cast<std::uint8_t>(x ? 255 : 0)};
                 }));
    const std::vector<std::uint8_t> before = bytesOf(*ctx.imageAt(0));
    for (const char* k : {"4", "0", "-3", "x", "1", "7"}) {
        const Outcome o = execLine(ctx, std::string("blur a ") + k);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.output, "Error (line 4): Only k=3,5 is supported\n") << k;
        EXPECT_EQ(bytesOf(*ctx.imageAt(0)), before);
    }
}

// The filter divides with a multiply and a shift: check it against integer division for every divisor and
// every sum it can meet.
TEST(Blur, FastDivisionIsExactForEveryReachableSum) {
    for (std::uint32_t d = 1; d <= SmallDivisor::maxDivisor; ++d) {
        const SmallDivisor divisor(d);
        for (std::uint32_t sum = 0; sum <= 255 * d; ++sum)
            ASSERT_EQ(divisor.divide(sum), sum / d) << sum << "/" << d;
    }
}

} // namespace

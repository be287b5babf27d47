// blur: the filter against the direct one on every small shape, worked examples, refusals, and the fast
// division it relies on. Images without pixels are in empty_images_test.cpp.

#include "commands/pixel_math.h"
#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"

#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

ImagePtr blurred(const Image& in, const std::string& k) {
    ScriptContext ctx;
    ctx.setImage(0, cloneImage(in));
    const Outcome o = execLine(ctx, "blur a " + k);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.output, "");
    return cloneImage(*ctx.imageAt(0));
}

ImagePtr expectedBlur(const Image& in, int k) {
    ImagePtr out = cloneImage(in);
    reference::blur(*out, k);
    return out;
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
            EXPECT_EQ(bytesOf(*blurred(*in, std::to_string(k))), bytesOf(*expectedBlur(*in, k)))
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

// The message is pinned by the script case tests/e2e/pixels/blur_messages.script.
TEST(Blur, RefusesOtherKernelSizes) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(2, 2, [](std::uint32_t x, std::uint32_t) {
                     return Rgba{0, 0, 0, static_cast<std::uint8_t>(x ? 255 : 0)};
                 }));
    const std::vector<std::uint8_t> before = bytesOf(*ctx.imageAt(0));
    for (const char* k : {"4", "0", "-3", "x", "1", "7"}) {
        const Outcome o = execLine(ctx, std::string("blur a ") + k);
        EXPECT_EQ(o.result, 1) << k;
        EXPECT_EQ(lineCount(o.output), 1u) << k;
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

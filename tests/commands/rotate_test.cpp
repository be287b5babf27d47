#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

Rgba from(std::uint8_t x, std::uint8_t y) {
    return {x, y, 17, 200};
}

constexpr Rgba transparent{0, 0, 0, 0};

struct Size {
    std::uint32_t width;
    std::uint32_t height;
};

const Size sizes[] = {{2, 1}, {1, 2},  {2, 2},   {3, 3},   {4, 4},   {5, 5},   {7, 3},
                      {3, 8}, {16, 9}, {33, 20}, {64, 64}, {37, 29}, {28, 37}, {201, 150}};

// Runs `line` on variable a holding a position image of the given size and returns the result.
ImagePtr runOn(const Size s, const std::string& line) {
    ScriptContext ctx;
    ctx.setImage(0, positionImage(s.width, s.height));
    const Outcome o = execLine(ctx, line);
    EXPECT_EQ(o.result, 0) << line;
    EXPECT_EQ(o.output, "") << line;
    ImagePtr result = cloneImage(*ctx.imageAt(0));
    return result;
}

// ---- rotate ----

TEST(Rotate, WorkedExamplesOnA4x4Image) {
    // The shortened pi leaves sin(360 degrees) slightly negative: (0, 0) reads (0, 1).
    ImagePtr r = runOn({4, 4}, "rotate a 360");
    EXPECT_EQ(pixelAt(*r, 0, 0), from(0, 1));
    // A quarter turn counter-clockwise about (2, 2).
    r = runOn({4, 4}, "rotate a 90");
    EXPECT_EQ(pixelAt(*r, 0, 0), from(3, 0));
    EXPECT_EQ(pixelAt(*r, 1, 0), from(3, 1));
    EXPECT_EQ(pixelAt(*r, 3, 2), from(2, 3)); // just right of the centre: from just below it
    // Corners turned out of the frame are transparent black, alpha included.
    r = runOn({4, 4}, "rotate a 45");
    EXPECT_EQ(pixelAt(*r, 3, 0), transparent);
}

TEST(Rotate, ZeroAngleAndSinglePixelsCopyTheSource) {
    const ImagePtr source = positionImage(6, 5);
    for (const char* line : {"rotate a 0", "rotate a zero", "rotate a 0.9"})
        EXPECT_EQ(bytesOf(*runOn({6, 5}, line)), bytesOf(*source)) << line;
    for (const char* line : {"rotate a 90", "rotate a -33", "rotate a 2147483647"})
        EXPECT_EQ(pixelAt(*runOn({1, 1}, line), 0, 0), from(0, 0)) << line;
}

// ---- warp ----

TEST(Warp, PinchWorkedExampleAndCoverage) {
    const ImagePtr r = runOn({5, 5}, "warp a 1");
    EXPECT_EQ(pixelAt(*r, 0, 0), from(0, 0));
    EXPECT_EQ(pixelAt(*r, 1, 0), from(1, 0));
    EXPECT_EQ(pixelAt(*r, 3, 0), from(2, 0));
    EXPECT_EQ(pixelAt(*r, 4, 0), from(3, 0));
    EXPECT_EQ(pixelAt(*r, 0, 3), from(0, 2));
    EXPECT_EQ(pixelAt(*r, 4, 4), from(3, 3));
    EXPECT_EQ(pixelAt(*r, 2, 2), from(2, 2));
    // The pinch samples inside the image everywhere: no pixel is left transparent.
    for (const Size s : sizes) {
        const ImagePtr p = runOn(s, "warp a 1");
        for (std::uint32_t j = 0; j < s.height; ++j)
            for (std::uint32_t i = 0; i < s.width; ++i)
                ASSERT_EQ(pixelAt(*p, i, j)[3], 200) << s.width << "x" << s.height << " at " << i << "," << j;
    }
}

TEST(Warp, SwirlWorkedExamples) {
    ImagePtr r = runOn({5, 5}, "warp a 2");
    EXPECT_EQ(pixelAt(*r, 0, 0), from(2, 0));
    EXPECT_EQ(pixelAt(*r, 0, 2), from(1, 1));
    EXPECT_EQ(pixelAt(*r, 1, 2), from(2, 2));
    EXPECT_EQ(pixelAt(*r, 2, 2), from(2, 2));
    EXPECT_EQ(pixelAt(*r, 3, 2), from(2, 2));
    EXPECT_EQ(pixelAt(*r, 4, 2), from(3, 3));
    r = runOn({4, 4}, "warp a 2");
    EXPECT_EQ(pixelAt(*r, 3, 0), transparent);
}

TEST(Warp, ASinglePixelKeepsItsValue) {
    for (const char* line : {"warp a 1", "warp a 2"})
        EXPECT_EQ(pixelAt(*runOn({1, 1}, line), 0, 0), from(0, 0)) << line;
}

TEST(Warp, RefusesOtherOptionsAndKeepsTheVariable) {
    ScriptContext ctx;
    ctx.lineNumber = 8;
    ctx.setImage(0, positionImage(3, 3));
    const Image* before = ctx.imageAt(0);
    const std::vector<std::uint8_t> bytes = bytesOf(*before);
    for (const char* line : {"warp a 0", "warp a 3", "warp a -1", "warp a swirl", "warp a -2"}) {
        const Outcome o = execLine(ctx, line);
        EXPECT_EQ(o.result, 1) << line;
        EXPECT_EQ(o.output, "Error (line 8): Only option = 1 and 2 is supported\n") << line;
        EXPECT_EQ(ctx.imageAt(0), before);
        EXPECT_EQ(bytesOf(*before), bytes);
    }
}

// ---- both ----

TEST(RotateAndWarp, EmptyImagesKeepTheirSize) {
    for (const Size s : {Size{0, 5}, Size{5, 0}, Size{0, 0}, Size{1, 0}, Size{0, 1}, Size{4294967295u, 0}})
        for (const char* line : {"rotate a 30", "warp a 1", "warp a 2"}) {
            ScriptContext ctx;
            ctx.setImage(0, createImage(s.width, s.height));
            EXPECT_EQ(execLine(ctx, line).result, 0) << line;
            EXPECT_EQ(ctx.imageAt(0)->width, s.width) << line;
            EXPECT_EQ(ctx.imageAt(0)->height, s.height) << line;
        }
}

} // namespace

namespace {

// Random pixels, alpha 0, 255 and between, on every width from 1 to 40 (lane-width multiples and the rest)
// with heights around them, thin images, and every class of angle: the verbs against the plain
// pixel-by-pixel mapping.
TEST(RotateAndWarp, MatchThePlainMappingOnRandomImages) {
    std::mt19937 random(17);
    auto noise = [&](std::uint32_t, std::uint32_t) {
        const auto n = static_cast<std::uint32_t>(random());
        const auto alpha = static_cast<std::uint8_t>(n % 3 == 0 ? 0 : n % 3 == 1 ? 255 : n >> 24);
        return Rgba{static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16), alpha, alpha};
    };
    std::vector<Size> shapes;
    for (std::uint32_t w = 1; w <= 40; ++w)
        for (std::uint32_t h : {1u, 2u, w / 2 + 1, w, w + 3, 2 * w + 1})
            shapes.push_back({w, h});
    for (std::uint32_t side : {1u, 2u, 3u, 66u, 97u, 130u})
        shapes.push_back({side, 301 - side});
    const int angles[] = {0, 1, 30, 45, 89, 90, 137, 180, 225, 270, 300, 359, -33, -90, 1000, 2147483647};
    for (const Size s : shapes) {
        const ImagePtr source = makeImage(s.width, s.height, noise);
        for (const int option : {1, 2}) {
            ScriptContext ctx;
            ctx.setImage(0, cloneImage(*source));
            ASSERT_EQ(execLine(ctx, "warp a " + std::to_string(option)).result, 0);
            ASSERT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*reference::warp(*source, option)))
                << "warp " << option << " on " << s.width << "x" << s.height;
        }
        for (std::size_t k = 0; k < std::size(angles); k += (s.width * s.height > 400 ? 3 : 1)) {
            ScriptContext ctx;
            ctx.setImage(0, cloneImage(*source));
            ASSERT_EQ(execLine(ctx, "rotate a " + std::to_string(angles[k])).result, 0);
            ASSERT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*reference::rotate(*source, angles[k])))
                << "rotate " << angles[k] << " on " << s.width << "x" << s.height;
        }
    }
}

} // namespace

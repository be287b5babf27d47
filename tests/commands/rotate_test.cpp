// rotate: worked examples, the mapping against the plain pixel-by-pixel walk on random images, and against
// mappings worked out apart from the program. Images without pixels are in empty_images_test.cpp.

#include "tests/support/exec.h"
#include "tests/support/expected_mappings.h"
#include "tests/support/pixel_reference.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

TEST(Rotate, WorkedExamplesOnA4x4Image) {
    // The shortened pi leaves sin(360 degrees) slightly negative: (0, 0) reads (0, 1).
    ImagePtr r = runOnPositionImage(4, 4, "rotate a 360");
    EXPECT_EQ(pixelAt(*r, 0, 0), positionPixel(0, 1));
    // A quarter turn counter-clockwise about (2, 2).
    r = runOnPositionImage(4, 4, "rotate a 90");
    EXPECT_EQ(pixelAt(*r, 0, 0), positionPixel(3, 0));
    EXPECT_EQ(pixelAt(*r, 1, 0), positionPixel(3, 1));
    EXPECT_EQ(pixelAt(*r, 3, 2), positionPixel(2, 3)); // just right of the centre: from just below it
    // Corners turned out of the frame are transparent black, alpha included.
    r = runOnPositionImage(4, 4, "rotate a 45");
    EXPECT_EQ(pixelAt(*r, 3, 0), (Rgba{0, 0, 0, 0}));
}

TEST(Rotate, ZeroAngleAndSinglePixelsCopyTheSource) {
    const ImagePtr source = positionImage(6, 5);
    for (const char* line : {"rotate a 0", "rotate a zero", "rotate a 0.9"})
        EXPECT_EQ(bytesOf(*runOnPositionImage(6, 5, line)), bytesOf(*source)) << line;
    for (const char* line : {"rotate a 90", "rotate a -33", "rotate a 2147483647"})
        EXPECT_EQ(pixelAt(*runOnPositionImage(1, 1, line), 0, 0), positionPixel(0, 0)) << line;
}

// Random pixels, alpha 0, 255 and between, on every width from 1 to 40 (lane-width multiples and the rest)
// with heights around them, thin images, and every class of angle: the verb against the plain
// pixel-by-pixel mapping.
TEST(Rotate, MatchesThePlainMappingOnRandomImages) {
    std::mt19937 random(17);
    auto noise = [&](std::uint32_t, std::uint32_t) {
        return mixedAlphaPixel(static_cast<std::uint32_t>(random()));
    };
    const auto shapes = mappingShapes();
    const int angles[] = {0, 1, 30, 45, 89, 90, 137, 180, 225, 270, 300, 359, -33, -90, 1000, 2147483647};
    for (const auto& [w, h] : shapes) {
        const ImagePtr source = makeImage(w, h, noise);
        for (std::size_t k = 0; k < std::size(angles); k += (w * h > 400 ? 3 : 1)) {
            ScriptContext ctx;
            ctx.setImage(0, cloneImage(*source));
            ASSERT_EQ(execLine(ctx, "rotate a " + std::to_string(angles[k])).result, 0);
            ASSERT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*reference::rotate(*source, angles[k])))
                << "rotate " << angles[k] << " on " << w << "x" << h;
        }
    }
}

// Sixteen angles, the extremes of an int among them, on square and oblong images.
TEST(Rotate, MatchesTheMappingsWorkedOutApart) {
    const std::vector<ExpectedMapping> cases = expectedMappings("rotate");
    EXPECT_EQ(cases.size(), 176u);
    for (const ExpectedMapping& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, positionImage(c.width, c.height));
        ASSERT_EQ(execLine(ctx, c.line).result, 0) << c.line;
        EXPECT_EQ(pixelHash(*ctx.imageAt(0)), c.hash) << c.line << " on " << c.width << "x" << c.height;
    }
}

} // namespace

// warp: the pinch (1) and the swirl (2) by worked examples, refusals, the mapping against the plain
// pixel-by-pixel walk on random images, and against mappings worked out apart from the program. Images
// without pixels are in empty_images_test.cpp.

#include "tests/support/exec.h"
#include "tests/support/expected_mappings.h"
#include "tests/support/pixel_reference.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

TEST(Warp, PinchWorkedExampleAndCoverage) {
    const ImagePtr r = runOnPositionImage(5, 5, "warp a 1");
    EXPECT_EQ(pixelAt(*r, 0, 0), positionPixel(0, 0));
    EXPECT_EQ(pixelAt(*r, 1, 0), positionPixel(1, 0));
    EXPECT_EQ(pixelAt(*r, 3, 0), positionPixel(2, 0));
    EXPECT_EQ(pixelAt(*r, 4, 0), positionPixel(3, 0));
    EXPECT_EQ(pixelAt(*r, 0, 3), positionPixel(0, 2));
    EXPECT_EQ(pixelAt(*r, 4, 4), positionPixel(3, 3));
    EXPECT_EQ(pixelAt(*r, 2, 2), positionPixel(2, 2));
    // The pinch samples inside the image everywhere: no pixel is left transparent.
    for (const auto& [w, h] : {std::pair{2u, 1u},
                               {1u, 2u},
                               {2u, 2u},
                               {3u, 3u},
                               {4u, 4u},
                               {5u, 5u},
                               {7u, 3u},
                               {3u, 8u},
                               {16u, 9u},
                               {33u, 20u},
                               {64u, 64u},
                               {37u, 29u},
                               {28u, 37u},
                               {201u, 150u}}) {
        const ImagePtr p = runOnPositionImage(w, h, "warp a 1");
        for (std::uint32_t j = 0; j < h; ++j)
            for (std::uint32_t i = 0; i < w; ++i)
                ASSERT_EQ(pixelAt(*p, i, j)[3], 200) << w << "x" << h << " at " << i << "," << j;
    }
}

TEST(Warp, SwirlWorkedExamples) {
    ImagePtr r = runOnPositionImage(5, 5, "warp a 2");
    EXPECT_EQ(pixelAt(*r, 0, 0), positionPixel(2, 0));
    EXPECT_EQ(pixelAt(*r, 0, 2), positionPixel(1, 1));
    EXPECT_EQ(pixelAt(*r, 1, 2), positionPixel(2, 2));
    EXPECT_EQ(pixelAt(*r, 2, 2), positionPixel(2, 2));
    EXPECT_EQ(pixelAt(*r, 3, 2), positionPixel(2, 2));
    EXPECT_EQ(pixelAt(*r, 4, 2), positionPixel(3, 3));
    r = runOnPositionImage(4, 4, "warp a 2");
    EXPECT_EQ(pixelAt(*r, 3, 0), (Rgba{0, 0, 0, 0}));
}

TEST(Warp, ASinglePixelKeepsItsValue) {
    for (const char* line : {"warp a 1", "warp a 2"})
        EXPECT_EQ(pixelAt(*runOnPositionImage(1, 1, line), 0, 0), positionPixel(0, 0)) << line;
}

// The message is pinned by the script case tests/e2e/geometry/warp.script.
TEST(Warp, RefusesOtherOptionsAndKeepsTheVariable) {
    ScriptContext ctx;
    ctx.setImage(0, positionImage(3, 3));
    const Image* before = ctx.imageAt(0);
    const std::vector<std::uint8_t> bytes = bytesOf(*before);
    for (const char* line : {"warp a 0", "warp a 3", "warp a -1", "warp a swirl", "warp a -2"}) {
        const Outcome o = execLine(ctx, line);
        EXPECT_EQ(o.result, 1) << line;
        EXPECT_EQ(lineCount(o.output), 1u) << line;
        EXPECT_EQ(ctx.imageAt(0), before);
        EXPECT_EQ(bytesOf(*before), bytes);
    }
}

// Random pixels, alpha 0, 255 and between, on every width from 1 to 40 (lane-width multiples and the rest)
// with heights around them, and thin images: both options against the plain pixel-by-pixel mapping.
TEST(Warp, MatchesThePlainMappingOnRandomImages) {
    std::mt19937 random(17);
    auto noise = [&](std::uint32_t, std::uint32_t) {
        return mixedAlphaPixel(static_cast<std::uint32_t>(random()));
    };
    const auto shapes = mappingShapes();
    for (const auto& [w, h] : shapes) {
        const ImagePtr source = makeImage(w, h, noise);
        for (const int option : {1, 2}) {
            ScriptContext ctx;
            ctx.setImage(0, cloneImage(*source));
            ASSERT_EQ(execLine(ctx, "warp a " + std::to_string(option)).result, 0);
            ASSERT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*reference::warp(*source, option)))
                << "warp " << option << " on " << w << "x" << h;
        }
    }
}

// Every swirl and pinch from 1 x 1 to 40 x 40, many other sizes, and 2048 x 2048, large enough to notice
// the smallest change of a constant.
TEST(Warp, MatchesTheMappingsWorkedOutApart) {
    const std::vector<ExpectedMapping> cases = expectedMappings("warp");
    EXPECT_EQ(cases.size(), 240u);
    for (const ExpectedMapping& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, positionImage(c.width, c.height));
        ASSERT_EQ(execLine(ctx, c.line).result, 0) << c.line;
        EXPECT_EQ(pixelHash(*ctx.imageAt(0)), c.hash) << c.line << " on " << c.width << "x" << c.height;
    }
}

} // namespace

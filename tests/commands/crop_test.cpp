// crop: corners in either order, clamped to the image, and the rectangle between them copied. Images
// without pixels are in empty_images_test.cpp.

#include "tests/support/exec.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct CropCase {
    const char* corners;
    std::uint32_t width, height, left, top;
};

TEST(Crop, OrdersCornersClampsThemAndCopiesTheRectangle) {
    // On a 10 x 10 image. Rectangles partly or wholly off the image shrink, down to an empty image, but
    // never below it.
    const CropCase cases[] = {
        {"2 2 5 5", 4, 4, 2, 2},
        {"5 5 2 2", 4, 4, 2, 2},
        {"5 2 2 5", 4, 4, 2, 2},
        {"-3 -3 4 4", 5, 5, 0, 0},
        {"0 0 100 100", 10, 10, 0, 0},
        {"3 0 3 9", 1, 10, 3, 0},
        {"0 7 9 7", 10, 1, 0, 7},
        {"9 9 9 9", 1, 1, 9, 9},
        {"-2147483648 -2147483648 2147483647 2147483647", 10, 10, 0, 0},
        {"7 x 8 1", 2, 2, 7, 0},
        // A far corner of exactly -1, or a near corner clamped to exactly the side: one side 0.
        {"-3 0 -1 9", 0, 10, 0, 0},
        {"10 0 12 9", 0, 10, 0, 0},
        {"0 -5 9 -1", 10, 0, 0, 0},
        {"0 10 9 10", 10, 0, 0, 0},
        // Wholly off the image by more: a side that would come out negative is 0.
        {"11 0 12 9", 0, 10, 0, 0},
        {"-5 0 -3 9", 0, 10, 0, 0},
        {"0 -9 9 -4", 10, 0, 0, 0},
        {"0 30 9 20", 10, 0, 0, 0},
        {"-5 -5 -2 -2", 0, 0, 0, 0},
        {"20 20 30 30", 0, 0, 0, 0},
        {"-2147483648 0 -2147483647 9", 0, 10, 0, 0},
    };
    for (const CropCase& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, positionImage(10, 10));
        const Outcome o = execLine(ctx, std::string("crop a ") + c.corners);
        EXPECT_EQ(o.result, 0) << c.corners;
        EXPECT_EQ(o.output, "") << c.corners;
        const Image& result = *ctx.imageAt(0);
        ASSERT_EQ(result.width, c.width) << c.corners;
        ASSERT_EQ(result.height, c.height) << c.corners;
        for (std::uint32_t j = 0; j < result.height; ++j)
            for (std::uint32_t i = 0; i < result.width; ++i)
                ASSERT_EQ(pixelAt(result, i, j), (Rgba{static_cast<std::uint8_t>(c.left + i),
                                                       static_cast<std::uint8_t>(c.top + j), 17, 200}))
                    << c.corners << " at " << i << "," << j;
    }
}

} // namespace

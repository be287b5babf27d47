#include "tests/support/exec.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

struct Size {
    std::uint32_t width;
    std::uint32_t height;
};

Size sizeOf(const ScriptContext& ctx, int index) {
    const Image* image = ctx.imageAt(index);
    return image == nullptr ? Size{~0u, ~0u} : Size{image->width, image->height};
}

// ---- crop ----

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

TEST(Crop, EmptyImagesStayEmpty) {
    for (const Size s : {Size{0, 10}, Size{10, 0}, Size{0, 0}}) {
        ScriptContext ctx;
        ctx.setImage(1, createImage(s.width, s.height));
        EXPECT_EQ(execLine(ctx, "crop b 0 0 5 5").result, 0);
        const Size r = sizeOf(ctx, 1);
        EXPECT_EQ(r.width, s.width == 0 ? 0u : 6u);
        EXPECT_EQ(r.height, s.height == 0 ? 0u : 6u);
    }
}

// ---- resize ----

// Enlarges every pixel into an sa x sa block, then keeps every sb-th pixel of every sb-th row.
ImagePtr resizeInTwoStages(const Image& source, std::uint32_t sa, std::uint32_t sb) {
    ImagePtr big = createImage(source.width * sa, source.height * sa);
    for (std::uint32_t y = 0; y < source.height; ++y)
        for (std::uint32_t x = 0; x < source.width; ++x)
            for (std::uint32_t dy = 0; dy < sa; ++dy)
                for (std::uint32_t dx = 0; dx < sa; ++dx)
                    std::copy_n(source.pixel(x, y), 4, big->pixel(x * sa + dx, y * sa + dy));
    ImagePtr result = createImage(big->width / sb, big->height / sb);
    for (std::uint32_t j = 0; j < result->height; ++j)
        for (std::uint32_t k = 0; k < result->width; ++k)
            std::copy_n(big->pixel(k * sb, j * sb), 4, result->pixel(k, j));
    return result;
}

TEST(Resize, MatchesEnlargingThenSubsampling) {
    for (std::uint32_t width = 0; width <= 7; ++width)
        for (std::uint32_t height : {0u, 1u, 2u, 5u})
            for (std::uint32_t sa = 1; sa <= 6; ++sa)
                for (std::uint32_t sb = 1; sb <= 9; ++sb) {
                    ScriptContext ctx;
                    ctx.setImage(0, positionImage(width, height));
                    const ImagePtr expected = resizeInTwoStages(*ctx.imageAt(0), sa, sb);
                    const std::string line = "resize a " + std::to_string(sa) + " " + std::to_string(sb);
                    ASSERT_EQ(execLine(ctx, line).result, 0);
                    const Image& result = *ctx.imageAt(0);
                    ASSERT_EQ(result.width, expected->width) << width << "x" << height << " " << line;
                    ASSERT_EQ(result.height, expected->height) << width << "x" << height << " " << line;
                    ASSERT_EQ(bytesOf(result), bytesOf(*expected)) << width << "x" << height << " " << line;
                }
}

TEST(Resize, WorkedExamples) {
    ScriptContext ctx;
    // 3 x 1 by 3/2: p0 p0 p1 p2.
    ctx.setImage(0, positionImage(3, 1));
    ASSERT_EQ(execLine(ctx, "resize a 3 2").result, 0);
    ASSERT_EQ(sizeOf(ctx, 0).width, 4u);
    ASSERT_EQ(sizeOf(ctx, 0).height, 1u);
    const std::uint8_t columns[] = {0, 0, 1, 2};
    for (std::uint32_t k = 0; k < 4; ++k)
        EXPECT_EQ(pixelAt(*ctx.imageAt(0), k, 0)[0], columns[k]);
    // n/n is the identity; sb beyond width * sa leaves no column.
    ctx.setImage(1, positionImage(9, 6));
    const std::vector<std::uint8_t> original = bytesOf(*ctx.imageAt(1));
    ASSERT_EQ(execLine(ctx, "resize b 7 7").result, 0);
    EXPECT_EQ(bytesOf(*ctx.imageAt(1)), original);
    ASSERT_EQ(execLine(ctx, "resize b 1 10").result, 0);
    EXPECT_EQ(sizeOf(ctx, 1).width, 0u);
    EXPECT_EQ(sizeOf(ctx, 1).height, 0u);
}

TEST(Resize, LargeFactorsOnSmallImagesAreComputedDirectly) {
    // Resizing in two stages by 1000/999 would hold a 4000 x 3000 intermediate for this 4 x 3 image.
    ScriptContext ctx;
    ctx.setImage(0, positionImage(4, 3));
    ASSERT_EQ(execLine(ctx, "resize a 1000 999").result, 0);
    const Image& r = *ctx.imageAt(0);
    ASSERT_EQ(r.width, 4u);
    ASSERT_EQ(r.height, 3u);
    for (std::uint32_t j = 0; j < 3; ++j)
        for (std::uint32_t k = 0; k < 4; ++k)
            EXPECT_EQ(pixelAt(r, k, j), (Rgba{static_cast<std::uint8_t>(k * 999 / 1000),
                                              static_cast<std::uint8_t>(j * 999 / 1000), 17, 200}));
}

TEST(Resize, RefusesBadFactorsAndKeepsTheVariable) {
    ScriptContext ctx;
    ctx.lineNumber = 12;
    ctx.setImage(0, positionImage(3, 1));
    ctx.setImage(1, positionImage(1, 3));
    const Image* a = ctx.imageAt(0);
    const Image* b = ctx.imageAt(1);
    const std::string zero = "Error (line 12): sa and sb can't be zero\n";
    const std::string tooLarge = "Error (line 12): resize factors too large\n";
    const std::tuple<const char*, std::string> cases[] = {
        {"resize a 0 1", zero},
        {"resize a -2 1", zero},
        {"resize a x 1", zero},
        {"resize a 1 0", zero},
        {"resize a 2 -5", zero},
        // The zero check comes first.
        {"resize a 2147483647 0", zero},
        // 3 * 2147483647 and 3 * 1431655766 need 33 bits, for the width or for the height.
        {"resize a 2147483647 1", tooLarge},
        {"resize a 1431655766 1431655766", tooLarge},
        {"resize b 1431655766 2", tooLarge},
    };
    for (const auto& [line, message] : cases) {
        const Outcome o = execLine(ctx, line);
        EXPECT_EQ(o.result, 1) << line;
        EXPECT_EQ(o.output, message) << line;
        EXPECT_EQ(ctx.imageAt(0), a);
        EXPECT_EQ(ctx.imageAt(1), b);
    }
    EXPECT_EQ(sizeOf(ctx, 0).width, 3u);
}

TEST(Resize, AcceptsSidesUpToThe32BitLimit) {
    ScriptContext ctx;
    // 3 * 1431655765 is exactly 2^32 - 1; 6 * 715827883 is 2^32 + 2.
    ctx.setImage(0, createImage(3, 0));
    EXPECT_EQ(execLine(ctx, "resize a 1431655765 1").result, 0);
    EXPECT_EQ(sizeOf(ctx, 0).width, 4294967295u);
    EXPECT_EQ(sizeOf(ctx, 0).height, 0u);
    ctx.setImage(0, createImage(0, 6));
    EXPECT_EQ(execLine(ctx, "resize a 715827883 1").output, "Error (line 0): resize factors too large\n");
}

TEST(Resize, AnUnrepresentableResultIsOutOfMemoryAndChangesNothing) {
    // 4294967294 x 4294967294 pixels cannot be counted in bytes.
    ScriptContext ctx;
    ctx.lineNumber = 2;
    ctx.setImage(0, positionImage(2, 2));
    const Image* before = ctx.imageAt(0);
    EXPECT_EQ(runLineCaptured(ctx, "resize a 2147483647 1"), "Error (line 2): not enough memory\n");
    EXPECT_EQ(ctx.imageAt(0), before);
}

} // namespace

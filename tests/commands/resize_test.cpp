// resize by sa/sb: against enlarging by sa then keeping every sb-th pixel, worked examples, and refused
// factors. Images without pixels are in empty_images_test.cpp; sides up to the 32-bit limit and results
// that cannot be counted in bytes are pinned by the script case tests/e2e/geometry/resize.script.

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
    // Resizing in two stages by 1000/999 would hold a 4000 x 3000 intermediate for this 4 x 3 image. The
    // result is 4 x 3 again; column k comes from column k * 999 / 1000 of the source, row j likewise.
    ScriptContext ctx;
    ctx.setImage(0, positionImage(4, 3));
    ASSERT_EQ(execLine(ctx, "resize a 1000 999").result, 0);
    const Image& r = *ctx.imageAt(0);
    ASSERT_EQ(r.width, 4u);
    ASSERT_EQ(r.height, 3u);
    const std::uint8_t columns[] = {0, 0, 1, 2};
    const std::uint8_t rows[] = {0, 0, 1};
    for (std::uint32_t j = 0; j < 3; ++j)
        for (std::uint32_t k = 0; k < 4; ++k)
            EXPECT_EQ(pixelAt(r, k, j), (Rgba{columns[k], rows[j], 17, 200})) << k << "," << j;
}

// Each refusal prints the message of one of the two lines that the script case
// tests/e2e/geometry/resize.script pins: a zero factor, or a side of 33 bits.
TEST(Resize, RefusesBadFactorsAndKeepsTheVariable) {
    ScriptContext ctx;
    ctx.setImage(0, positionImage(3, 1));
    ctx.setImage(1, positionImage(1, 3));
    const Image* a = ctx.imageAt(0);
    const Image* b = ctx.imageAt(1);
    const std::string zero = execLine(ctx, "resize a 0 1").output;
    const std::string tooLarge = execLine(ctx, "resize a 2147483647 1").output;
    ASSERT_EQ(lineCount(zero), 1u);
    ASSERT_EQ(lineCount(tooLarge), 1u);
    ASSERT_NE(zero, tooLarge);
    const std::tuple<const char*, std::string> cases[] = {
        {"resize a -2 1", zero},
        {"resize a x 1", zero},
        {"resize a 1 0", zero},
        {"resize a 2 -5", zero},
        // The zero check comes first.
        {"resize a 2147483647 0", zero},
        // 3 * 1431655766 needs 33 bits, for the width or for the height.
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

} // namespace

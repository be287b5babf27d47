// Composite and paint with images that are wider than tall and taller than wide, so that a width used where
// a height belongs (or the reverse) shows.

#include "commands/painterly.h"
#include "tests/support/exec.h"
#include "tests/support/process.h"
#include "tga/tga.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

ImagePtr numbered(std::uint32_t w, std::uint32_t h, std::uint8_t base, std::uint8_t alpha) {
    return makeImage(w, h, [=](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>(base + 16 * y + x), static_cast<std::uint8_t>(x),
                    static_cast<std::uint8_t>(y), alpha};
    });
}

TEST(NonSquare, CompositeCoversExactlyTheSourcesRowsAndColumns) {
    const struct {
        std::uint32_t aw, ah, bw, bh;
        std::uint32_t x, y;
    } cases[] = {
        {5, 2, 8, 8, 1, 2}, // wider than tall
        {2, 5, 8, 8, 3, 1}, // taller than wide
        {5, 2, 4, 8, 1, 5}, // clipped on the right
        {2, 5, 8, 4, 6, 1}, // clipped at the bottom
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, numbered(c.aw, c.ah, 100, 255));
        ctx.setImage(1, numbered(c.bw, c.bh, 0, 40));
        const std::string line = "composite a over b " + std::to_string(c.x) + " " + std::to_string(c.y);
        ASSERT_EQ(execLine(ctx, line).result, 0) << line;
        // An opaque pixel of A replaces the pixel of B under it; B is unchanged elsewhere.
        for (std::uint32_t y = 0; y < c.bh; ++y)
            for (std::uint32_t x = 0; x < c.bw; ++x) {
                const bool covered = x >= c.x && x < c.x + c.aw && y >= c.y && y < c.y + c.ah;
                const Rgba expected = covered ? pixelAt(*numbered(c.aw, c.ah, 100, 255), x - c.x, y - c.y)
                                              : pixelAt(*numbered(c.bw, c.bh, 0, 40), x, y);
                EXPECT_EQ(pixelAt(*ctx.imageAt(1), x, y), expected) << line << " at " << x << "," << y;
            }
    }
}

// A scratch working directory with a requiredimages folder, for as long as it lives.
struct WorkingDirectory {
    TempDir dir;
    fs::path previous = fs::current_path();
    WorkingDirectory() {
        fs::create_directory(dir / "requiredimages");
        fs::current_path(dir.path());
    }
    ~WorkingDirectory() { fs::current_path(previous); }
};

TEST(NonSquare, PaintTilesATextureWhoseSidesDiffer) {
    const WorkingDirectory scratch;
    for (const auto& [tw, th] : {std::pair<std::uint32_t, std::uint32_t>{3, 2}, {2, 3}}) {
        const ImagePtr texture = makeImage(tw, th, [](std::uint32_t x, std::uint32_t y) {
            return Rgba{static_cast<std::uint8_t>(10 + x), static_cast<std::uint8_t>(20 + y), 30, 255};
        });
        ASSERT_EQ(writeImage(paintTextureFile, *texture), WriteResult::Ok);
        ScriptContext ctx;
        ctx.setImage(0, createImage(7, 5));
        ASSERT_EQ(execLine(ctx, "paint a").result, 0);
        const Image& canvas = *ctx.imageAt(0);
        ASSERT_EQ(canvas.width, 67u);
        ASSERT_EQ(canvas.height, 65u);
        // Away from the strokes, which stay within 18 pixels of the top and left and 25 of the right and
        // bottom, the canvas is the texture repeated from its top-left corner.
        for (std::uint32_t y = 0; y < canvas.height; ++y)
            for (std::uint32_t x = 0; x < canvas.width; ++x)
                if (x < 18 || y < 18 || x >= canvas.width - 25 || y >= canvas.height - 25) {
                    const Rgba expected{static_cast<std::uint8_t>(10 + x % tw),
                                        static_cast<std::uint8_t>(20 + y % th), 30, 0};
                    ASSERT_EQ(pixelAt(canvas, x, y), expected) << tw << "x" << th << " at " << x << "," << y;
                }
    }
}

} // namespace

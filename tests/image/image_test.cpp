// The raster: creation, cloning, flipping, and sizes that cannot be counted in bytes.

#include "image/image.h"
#include "tests/support/exec.h"

#include <cstring>
#include <gtest/gtest.h>
#include <new>

namespace {

ImagePtr numbered(std::uint32_t width, std::uint32_t height) {
    return makeImage(width, height, [](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                    static_cast<std::uint8_t>(x + y), 7};
    });
}

TEST(Image, CreateIsZeroFilledAndSetOpaqueTouchesOnlyAlpha) {
    ImagePtr image = createImage(3, 2);
    EXPECT_EQ(image->width, 3u);
    EXPECT_EQ(image->height, 2u);
    EXPECT_EQ(bytesOf(*image), std::vector<std::uint8_t>(24, 0));
    setOpaque(*image);
    for (std::uint32_t y = 0; y < 2; ++y)
        for (std::uint32_t x = 0; x < 3; ++x)
            EXPECT_EQ(pixelAt(*image, x, y), (Rgba{0, 0, 0, 255}));
}

// Large buffers come from a different place than small ones; sizes on both sides of the switch, and
// one that is not a whole number of large pages, must be zero-filled and usable to their last byte.
TEST(Image, LargeImagesAreZeroFilledAndUsableToTheLastByte) {
    for (auto [w, h] : {std::pair{1000u, 700u}, {1024u, 512u}, {1023u, 512u}, {4096u, 1024u}}) {
        for (int round = 0; round < 2; ++round) { // the second round may reuse released memory
            ImagePtr image = createImage(w, h);
            const std::uint8_t* p = image->pixels.get();
            std::size_t nonZero = 0;
            for (std::size_t i = 0; i < image->byteCount(); ++i)
                nonZero += p[i] != 0;
            EXPECT_EQ(nonZero, 0u) << w << "x" << h;
            ImagePtr unset = createImageForOverwrite(w, h);
            std::memset(unset->pixels.get(), 0xA5, unset->byteCount());
            std::memset(image->pixels.get(), 0x5A, image->byteCount());
            EXPECT_EQ(cloneImage(*unset)->pixel(w - 1, h - 1)[3], 0xA5);
        }
    }
}

TEST(Image, EmptyImagesHaveNoPixelsAndSurviveEveryOperation) {
    for (auto [w, h] : {std::pair{0u, 0u}, {0u, 5u}, {5u, 0u}}) {
        ImagePtr image = createImage(w, h);
        EXPECT_EQ(image->byteCount(), 0u);
        ASSERT_NE(image->pixels, nullptr);
        flipRows(*image);
        setOpaque(*image);
        ImagePtr copy = cloneImage(*image);
        EXPECT_EQ(copy->width, w);
        EXPECT_EQ(copy->height, h);
    }
}

TEST(Image, FlipRowsSwapsMirroredRowsAndIsItsOwnInverse) {
    for (std::uint32_t height : {1u, 2u, 3u, 4u, 7u}) {
        ImagePtr original = numbered(5, height);
        ImagePtr flipped = cloneImage(*original);
        flipRows(*flipped);
        for (std::uint32_t y = 0; y < height; ++y)
            for (std::uint32_t x = 0; x < 5; ++x)
                EXPECT_EQ(pixelAt(*flipped, x, y), pixelAt(*original, x, height - 1 - y));
        flipRows(*flipped);
        EXPECT_EQ(bytesOf(*flipped), bytesOf(*original)) << "height " << height;
    }
}

TEST(Image, CloneIsIndependentOfItsSource) {
    ImagePtr source = numbered(4, 3);
    const std::vector<std::uint8_t> before = bytesOf(*source);
    ImagePtr copy = cloneImage(*source);
    EXPECT_EQ(bytesOf(*copy), before);
    copy->pixel(1, 1)[0] = 99;
    EXPECT_EQ(bytesOf(*source), before);
    source.reset();
    EXPECT_EQ(copy->pixel(1, 1)[0], 99);
}

TEST(Image, ByteCountsThatCannotBeRepresentedAreRefused) {
    EXPECT_EQ(imageByteCount(65535, 65535), std::size_t{17179344900});
    EXPECT_THROW(imageByteCount(0xFFFFFFFFu, 0xFFFFFFFFu), std::bad_alloc);
    EXPECT_THROW(imageByteCount(std::uint64_t{1} << 62, 1), std::bad_alloc);
    EXPECT_THROW(createImage(0xFFFFFFFFu, 0xFFFFFFFFu), std::bad_alloc);
}

} // namespace

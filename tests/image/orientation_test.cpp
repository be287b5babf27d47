// Turning a stored picture upright: each of the eight orientations on an asymmetric image, written out by
// hand, and each undone by its inverse on images of odd and even sides.

#include "image/orientation.h"
#include "tests/support/exec.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

// A 3 x 2 image whose pixels are the letters A to F, row by row, in red.
ImagePtr letters() {
    return makeImage(3, 2, [](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>('A' + y * 3 + x), 0, 0, 255};
    });
}

std::string spell(const Image& image) {
    std::string rows;
    for (std::uint32_t y = 0; y < image.height; ++y) {
        if (y > 0)
            rows += '/';
        for (std::uint32_t x = 0; x < image.width; ++x)
            rows += static_cast<char>(image.pixel(x, y)[0]);
    }
    return rows;
}

TEST(Orientation, EachOfTheEightAsSeen) {
    const struct {
        int orientation;
        const char* seen;
    } cases[] = {
        {2, "CBA/FED"},  {3, "FED/CBA"},  {4, "DEF/ABC"},  {5, "AD/BE/CF"},
        {6, "DA/EB/FC"}, {7, "FC/EB/DA"}, {8, "CF/BE/AD"},
    };
    const ImagePtr stored = letters();
    for (const auto& c : cases) {
        const ImagePtr seen = orientedImage(*stored, c.orientation);
        EXPECT_EQ(spell(*seen), c.seen) << "orientation " << c.orientation;
        EXPECT_EQ(seen->metadata, nullptr);
    }
}

TEST(Orientation, UndoneByItsInverseBitForBit) {
    const int inverse[] = {0, 1, 2, 3, 4, 5, 8, 7, 6};
    for (const auto& [w, h] : {std::pair{1u, 1u}, {1u, 7u}, {6u, 1u}, {5u, 4u}, {8u, 3u}}) {
        const ImagePtr stored = positionImage(w, h);
        for (int o = 2; o <= 8; ++o) {
            const ImagePtr back = orientedImage(*orientedImage(*stored, o), inverse[o]);
            ASSERT_EQ(back->width, w);
            ASSERT_EQ(back->height, h);
            EXPECT_EQ(0, std::memcmp(back->pixels.get(), stored->pixels.get(), stored->byteCount()))
                << w << "x" << h << " orientation " << o;
        }
    }
}

} // namespace

// chromakey: a pixel equal to the key premultiplied by its own alpha becomes transparent black.

#include "tests/support/exec.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

Rgba keyed(Rgba p, const char* key) {
    ScriptContext ctx;
    ctx.setImage(0, makeImage(1, 1, [p](std::uint32_t, std::uint32_t) { return p; }));
    EXPECT_EQ(execLine(ctx, std::string("chromakey a ") + key).result, 0);
    return pixelAt(*ctx.imageAt(0), 0, 0);
}

TEST(Chromakey, ComparesWithTheKeyPremultipliedByEachPixelsAlpha) {
    constexpr Rgba clear{0, 0, 0, 0};
    EXPECT_EQ(keyed({0, 0, 0, 255}, "0 0 0"), clear);
    EXPECT_EQ(keyed({10, 20, 30, 0}, "0 0 0"), (Rgba{10, 20, 30, 0}));
    EXPECT_EQ(keyed({0, 0, 0, 0}, "0 0 0"), clear);
    EXPECT_EQ(keyed({255, 0, 0, 255}, "255 0 0"), clear);
    EXPECT_EQ(keyed({128, 0, 0, 128}, "255 0 0"), clear);
    EXPECT_EQ(keyed({127, 0, 0, 128}, "255 0 0"), (Rgba{127, 0, 0, 128}));
    EXPECT_EQ(keyed({48, 0, 0, 147}, "85 0 0"), clear);
    EXPECT_EQ(keyed({49, 0, 0, 147}, "85 0 0"), (Rgba{49, 0, 0, 147}));
    EXPECT_EQ(keyed({0, 97, 0, 147}, "0 170 0"), clear);
    EXPECT_EQ(keyed({0, 0, 0, 9}, "256 0 512"), clear);
    EXPECT_EQ(keyed({0, 0, 1, 9}, "256 0 512"), (Rgba{0, 0, 1, 9}));
}

// For every key and alpha the one grey level that is keyed is found by trying them all. Worked out apart
// from the verb's own arithmetic (the examples above pin that), it must be the key itself at full alpha,
// within one of the integer quotient k * a / 255, never above the key or the alpha, and never lower for a
// larger key or alpha. A pixel off it in any one channel is kept, and a transparent pixel is never keyed.
TEST(Chromakey, EachAlphaKeysOneLevelThatGrowsWithTheKeyAndTheAlpha) {
    const ImagePtr greys = makeImage(256, 256, [](std::uint32_t v, std::uint32_t alpha) {
        const auto level = static_cast<std::uint8_t>(v);
        return Rgba{level, level, level, static_cast<std::uint8_t>(alpha)};
    });
    std::vector<int> previousLevels(256, 0);
    for (int k = 0; k < 256; ++k) {
        const std::string value = std::to_string(k);
        const std::string line = "chromakey a " + value + " " + value + " " + value;
        ScriptContext ctx;
        ctx.setImage(0, cloneImage(*greys));
        ASSERT_EQ(execLine(ctx, line).result, 0);
        std::vector<int> levels(256, 0);
        for (std::uint32_t alpha = 0; alpha < 256; ++alpha) {
            std::vector<int> keyed;
            for (std::uint32_t v = 0; v < 256; ++v)
                if (pixelAt(*ctx.imageAt(0), v, alpha) != pixelAt(*greys, v, alpha)) {
                    ASSERT_EQ(pixelAt(*ctx.imageAt(0), v, alpha), (Rgba{0, 0, 0, 0})) << k << "/" << alpha;
                    keyed.push_back(static_cast<int>(v));
                }
            if (alpha == 0) {
                ASSERT_TRUE(keyed.empty()) << k;
                continue;
            }
            ASSERT_EQ(keyed.size(), 1u) << k << "/" << alpha;
            const int level = keyed[0];
            const int a = static_cast<int>(alpha);
            ASSERT_LE(std::abs(level - k * a / 255), 1) << k << "/" << alpha;
            ASSERT_LE(level, std::min(k, a)) << k << "/" << alpha;
            ASSERT_GE(level, levels[alpha - 1]) << k << "/" << alpha;
            ASSERT_GE(level, previousLevels[alpha]) << k << "/" << alpha;
            if (alpha == 255) {
                ASSERT_EQ(level, k);
            }
            levels[alpha] = level;
        }
        previousLevels = levels;

        // The keyed level in every channel is keyed; one channel off it is not.
        ctx.setImage(0, makeImage(4, 255, [&](std::uint32_t x, std::uint32_t row) {
                         const auto level = static_cast<std::uint8_t>(levels[row + 1]);
                         Rgba p{level, level, level, static_cast<std::uint8_t>(row + 1)};
                         if (x > 0)
                             p[x - 1] = static_cast<std::uint8_t>(level == 255 ? 254 : level + 1);
                         return p;
                     }));
        ASSERT_EQ(execLine(ctx, line).result, 0);
        for (std::uint32_t row = 0; row < 255; ++row) {
            ASSERT_EQ(pixelAt(*ctx.imageAt(0), 0, row)[3], 0) << k << "/" << row + 1;
            for (std::uint32_t x = 1; x < 4; ++x)
                ASSERT_EQ(pixelAt(*ctx.imageAt(0), x, row)[3], row + 1)
                    << k << "/" << row + 1 << " channel " << x;
        }
    }
}

} // namespace

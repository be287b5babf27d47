// turn, flip and mirror: each on an asymmetric image written out by hand; the moves against a plain
// pixel-by-pixel mapping on random images of many sizes (the blocked and four-pixel paths and their edges);
// turns undone bit for bit; images without pixels; refusals that leave the variable as it was; metadata.

#include "image/orientation.h"
#include "interpreter/command.h"
#include "tests/support/exec.h"

#include <gtest/gtest.h>
#include <random>
#include <string>

Command& turnCommand();
Command& flipCommand();
Command& mirrorCommand();

namespace {

// The verbs are constructed, and so registered, before any test runs.
[[maybe_unused]] const bool registered = (turnCommand(), flipCommand(), mirrorCommand(), true);

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

// The plain mapping: result pixel (x, y) copies the source pixel given below, one at a time.
ImagePtr plainOriented(const Image& source, int orientation) {
    const std::uint32_t w = source.width;
    const std::uint32_t h = source.height;
    const bool swaps = orientation >= 5;
    ImagePtr out = createImage(swaps ? h : w, swaps ? w : h);
    for (std::uint32_t y = 0; y < out->height; ++y)
        for (std::uint32_t x = 0; x < out->width; ++x) {
            std::uint32_t sx = 0;
            std::uint32_t sy = 0;
            switch (orientation) {
            case 2:
                sx = w - 1 - x, sy = y;
                break;
            case 3:
                sx = w - 1 - x, sy = h - 1 - y;
                break;
            case 4:
                sx = x, sy = h - 1 - y;
                break;
            case 5:
                sx = y, sy = x;
                break;
            case 6:
                sx = y, sy = h - 1 - x;
                break;
            case 7:
                sx = w - 1 - y, sy = h - 1 - x;
                break;
            default:
                sx = w - 1 - y, sy = x;
                break;
            }
            const std::uint8_t* p = source.pixel(sx, sy);
            std::copy(p, p + bytesPerPixel, out->pixel(x, y));
        }
    return out;
}

ImagePtr randomImage(std::uint32_t w, std::uint32_t h, std::mt19937& random) {
    return makeImage(w, h, [&](std::uint32_t, std::uint32_t) {
        return mixedAlphaPixel(static_cast<std::uint32_t>(random()));
    });
}

// Sizes around the four-pixel groups and the 32-pixel blocks, thin ones and a few large enough for several
// blocks each way.
std::vector<std::pair<std::uint32_t, std::uint32_t>> shapes() {
    auto all = mappingShapes();
    for (const auto& s : {std::pair{31u, 33u},
                          {32u, 32u},
                          {33u, 65u},
                          {64u, 4u},
                          {4u, 64u},
                          {67u, 129u},
                          {129u, 67u},
                          {1u, 300u},
                          {300u, 1u},
                          {200u, 3u}})
        all.push_back(s);
    return all;
}

TEST(TurnFlipMirror, EachVerbOnThreeByTwoLetters) {
    const struct {
        const char* line;
        const char* seen;
    } cases[] = {
        {"turn a 90", "DA/EB/FC"},  {"turn a 180", "FED/CBA"}, {"turn a 270", "CF/BE/AD"},
        {"flip a", "DEF/ABC"},      {"mirror a", "CBA/FED"},   {"turn a 90.9", "DA/EB/FC"},
        {"TURN a 270", "CF/BE/AD"}, {"turn A 180", "FED/CBA"},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, letters());
        const Outcome o = execLine(ctx, c.line);
        EXPECT_EQ(o.result, 0) << c.line;
        EXPECT_EQ(o.output, "") << c.line;
        EXPECT_EQ(spell(*ctx.imageAt(0)), c.seen) << c.line;
    }
}

TEST(TurnFlipMirror, OrientationsMatchThePlainMappingOnRandomImages) {
    std::mt19937 random(23);
    for (const auto& [w, h] : shapes()) {
        const ImagePtr source = randomImage(w, h, random);
        for (int o = 2; o <= 8; ++o) {
            const ImagePtr expected = plainOriented(*source, o);
            const ImagePtr made = orientedImage(*source, o);
            ASSERT_EQ(made->width, expected->width);
            ASSERT_EQ(made->height, expected->height);
            ASSERT_EQ(bytesOf(*made), bytesOf(*expected)) << w << "x" << h << " orientation " << o;
            if (o <= 4) {
                const ImagePtr inPlace = cloneImage(*source);
                orientInPlace(*inPlace, o);
                ASSERT_EQ(bytesOf(*inPlace), bytesOf(*expected)) << w << "x" << h << " in place " << o;
            }
        }
    }
}

// Images of 16 MiB and more are written past the cache; rows of a width that is not a multiple of four start
// off the 16-byte grid there and are written the ordinary way.
TEST(TurnFlipMirror, LargeImagesMatchThePlainMapping) {
    std::mt19937 random(37);
    for (const auto& [w, h] : {std::pair{2048u, 2100u}, {2051u, 2053u}}) {
        const ImagePtr source = randomImage(w, h, random);
        for (int o = 5; o <= 8; ++o)
            ASSERT_EQ(bytesOf(*orientedImage(*source, o)), bytesOf(*plainOriented(*source, o)))
                << w << "x" << h << " orientation " << o;
    }
}

TEST(TurnFlipMirror, VerbsMatchThePlainMappingOnRandomImages) {
    const struct {
        const char* line;
        int orientation;
    } cases[] = {{"turn a 90", 6}, {"turn a 180", 3}, {"turn a 270", 8}, {"flip a", 4}, {"mirror a", 2}};
    std::mt19937 random(29);
    for (const auto& [w, h] : shapes()) {
        const ImagePtr source = randomImage(w, h, random);
        for (const auto& c : cases) {
            ScriptContext ctx;
            ctx.setImage(0, cloneImage(*source));
            ASSERT_EQ(execLine(ctx, c.line).result, 0);
            ASSERT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*plainOriented(*source, c.orientation)))
                << c.line << " on " << w << "x" << h;
        }
    }
}

// Lines that, run in order, give the image back bit for bit.
TEST(TurnFlipMirror, UndoneExactly) {
    const std::vector<std::vector<const char*>> scripts = {
        {"turn a 90", "turn a 90", "turn a 90", "turn a 90"},
        {"turn a 270", "turn a 270", "turn a 270", "turn a 270"},
        {"turn a 90", "turn a 270"},
        {"turn a 180", "turn a 180"},
        {"turn a 90", "turn a 90", "turn a 180"},
        {"flip a", "flip a"},
        {"mirror a", "mirror a"},
        {"flip a", "mirror a", "turn a 180"},
        {"turn a 90", "mirror a", "turn a 90", "mirror a"},
    };
    std::mt19937 random(31);
    for (const auto& [w, h] : {std::pair{1u, 1u}, {1u, 9u}, {9u, 1u}, {5u, 4u}, {8u, 3u}, {37u, 70u}}) {
        const ImagePtr source = randomImage(w, h, random);
        for (const auto& script : scripts) {
            ScriptContext ctx;
            ctx.setImage(0, cloneImage(*source));
            for (const char* line : script)
                ASSERT_EQ(execLine(ctx, line).result, 0) << line;
            ASSERT_EQ(ctx.imageAt(0)->width, w);
            ASSERT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*source))
                << script.front() << " on " << w << "x" << h;
        }
    }
}

// No pixels but possibly billions of rows or columns: the sides are swapped or kept, at once.
TEST(TurnFlipMirror, ImagesWithoutPixels) {
    const struct {
        const char* line;
        bool swaps;
    } cases[] = {{"turn a 90", true},
                 {"turn a 180", false},
                 {"turn a 270", true},
                 {"flip a", false},
                 {"mirror a", false}};
    for (const auto& [w, h] : {std::pair{0u, 0u}, {0u, 3000000000u}, {3000000000u, 0u}, {0u, 7u}}) {
        for (const auto& c : cases) {
            ScriptContext ctx;
            ctx.setImage(0, createImage(w, h));
            const Outcome o = execLine(ctx, c.line);
            EXPECT_EQ(o.result, 0);
            EXPECT_EQ(ctx.imageAt(0)->width, c.swaps ? h : w) << c.line;
            EXPECT_EQ(ctx.imageAt(0)->height, c.swaps ? w : h) << c.line;
        }
    }
}

TEST(TurnFlipMirror, RefusalsLeaveTheVariableAsItWas) {
    const struct {
        const char* line;
        const char* message;
    } cases[] = {
        {"turn a 45", "Only 90, 180 and 270 are supported"},
        {"turn a 0", "Only 90, 180 and 270 are supported"},
        {"turn a 360", "Only 90, 180 and 270 are supported"},
        {"turn a -90", "Only 90, 180 and 270 are supported"},
        {"turn a x", "Only 90, 180 and 270 are supported"},
        {"turn b 90", "No image to turn"},
        {"flip b", "No image to flip"},
        {"mirror b", "No image to mirror"},
        {"turn 7 90", "variable must have 1 character name!"},
        {"flip ab", "variable must have 1 character name!"},
        {"mirror _", "variable must have 1 character name!"},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, letters());
        const Image* before = ctx.imageAt(0);
        const Outcome o = execLine(ctx, c.line);
        EXPECT_NE(o.result, 0) << c.line;
        EXPECT_EQ(o.output, std::string("Error (line 0): ") + c.message + "\n") << c.line;
        EXPECT_EQ(ctx.imageAt(0), before) << c.line;
        EXPECT_EQ(spell(*ctx.imageAt(0)), "ABC/DEF") << c.line;
        EXPECT_EQ(ctx.imageAt(1), nullptr) << c.line;
    }
}

TEST(TurnFlipMirror, TheImageKeepsItsMetadata) {
    const MetadataPtr blocks = makeMetadata({1, 2, 3}, {'I', 'I', 42, 0}, {'<', 'x'});
    for (const char* line : {"turn a 90", "turn a 180", "turn a 270", "flip a", "mirror a"}) {
        ScriptContext ctx;
        ctx.setImage(0, letters());
        ctx.imageAt(0)->metadata = blocks;
        ASSERT_EQ(execLine(ctx, line).result, 0) << line;
        EXPECT_EQ(ctx.imageAt(0)->metadata, blocks) << line;
    }
}

} // namespace

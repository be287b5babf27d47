// place and pad: where the image lands for every anchor (odd and even room, offsets, clipping at every edge,
// an image larger than the one it goes on), the blend against the plain formula on random premultiplied
// images and on every pair of bytes, refusals that leave the variables as they were, and metadata.

#include "interpreter/command.h"
#include "tests/support/exec.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <string>

Command& placeCommand();
Command& padCommand();

namespace {

// The verbs are constructed, and so registered, before any test runs.
[[maybe_unused]] const bool registered = (placeCommand(), padCommand(), true);

const char* const gravities[] = {"nw", "n", "ne", "w", "c", "e", "sw", "s", "se"};
const std::string gravityMessage = "Error (line 0): gravity must be one of nw n ne w c e sw s se\n";

// A 3 x 2 opaque image whose pixels are the letters A to F, row by row, in red.
ImagePtr letters() {
    return makeImage(3, 2, [](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>('A' + y * 3 + x), 0, 0, 255};
    });
}

// The rows of an image as letters, '.' for a pixel that is not one.
std::string spell(const Image& image) {
    std::string rows;
    for (std::uint32_t y = 0; y < image.height; ++y) {
        if (y > 0)
            rows += '/';
        for (std::uint32_t x = 0; x < image.width; ++x) {
            const std::uint8_t red = image.pixel(x, y)[0];
            rows += red >= 'A' && red <= 'F' ? static_cast<char>(red) : '.';
        }
    }
    return rows;
}

ImagePtr randomImage(std::uint32_t w, std::uint32_t h, std::mt19937& random) {
    return makeImage(w, h, [&](std::uint32_t, std::uint32_t) {
        return mixedAlphaPixel(static_cast<std::uint32_t>(random()));
    });
}

// Where the top-left pixel of an image of inner x innerHeight goes on one of outer x outerHeight, worked out
// from the gravity's letters: the west or north edge plus the distance, the east or south edge minus it, or
// the middle (rounded toward zero) plus it.
std::int64_t plainStart(const std::string& gravity, char nearSide, char farSide, std::int64_t outer,
                        std::int64_t inner, std::int64_t distance) {
    if (gravity.find(nearSide) != std::string::npos)
        return distance;
    if (gravity.find(farSide) != std::string::npos)
        return outer - inner - distance;
    return (outer - inner) / 2 + distance;
}

// place written out pixel by pixel: each pixel of b under a becomes a + b * (255 - alpha) / 255, rounded to
// the nearest, capped at 255.
ImagePtr plainPlace(const Image& a, const Image& b, const std::string& gravity, int dx, int dy) {
    ImagePtr out = cloneImage(b);
    const std::int64_t x = plainStart(gravity, 'w', 'e', b.width, a.width, dx);
    const std::int64_t y = plainStart(gravity, 'n', 's', b.height, a.height, dy);
    for (std::int64_t j = 0; j < b.height; ++j)
        for (std::int64_t i = 0; i < b.width; ++i) {
            if (i < x || j < y || i - x >= a.width || j - y >= a.height)
                continue;
            const std::uint8_t* front =
                a.pixel(static_cast<std::uint32_t>(i - x), static_cast<std::uint32_t>(j - y));
            std::uint8_t* back = out->pixel(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
            for (int c = 0; c < 4; ++c) {
                const double behind = std::round(back[c] * (255.0 - front[3]) / 255.0);
                back[c] = static_cast<std::uint8_t>(std::min(255.0, front[c] + behind));
            }
        }
    return out;
}

// pad written out pixel by pixel, with the canvas colour given premultiplied.
ImagePtr plainPad(const Image& v, std::uint32_t w, std::uint32_t h, const std::string& gravity, Rgba colour) {
    ImagePtr out = makeImage(w, h, [&](std::uint32_t, std::uint32_t) { return colour; });
    const std::int64_t x = plainStart(gravity, 'w', 'e', w, v.width, 0);
    const std::int64_t y = plainStart(gravity, 'n', 's', h, v.height, 0);
    for (std::int64_t j = 0; j < h; ++j)
        for (std::int64_t i = 0; i < w; ++i)
            if (i >= x && j >= y && i - x < v.width && j - y < v.height)
                std::copy_n(v.pixel(static_cast<std::uint32_t>(i - x), static_cast<std::uint32_t>(j - y)), 4,
                            out->pixel(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)));
    return out;
}

// ---- place ----

TEST(Place, EveryAnchorWithAndWithoutOffsets) {
    // The letters on an 8 x 7 transparent image: 5 pixels of room each way, so the middle is 2 (not 3).
    const struct {
        const char* line;
        const char* seen;
    } cases[] = {
        {"place a b nw 0 0", "ABC...../DEF...../......../......../......../......../........"},
        {"place a b n 0 0", "..ABC.../..DEF.../......../......../......../......../........"},
        {"place a b ne 0 0", ".....ABC/.....DEF/......../......../......../......../........"},
        {"place a b w 0 0", "......../......../ABC...../DEF...../......../......../........"},
        {"place a b c 0 0", "......../......../..ABC.../..DEF.../......../......../........"},
        {"place a b e 0 0", "......../......../.....ABC/.....DEF/......../......../........"},
        {"place a b sw 0 0", "......../......../......../......../......../ABC...../DEF....."},
        {"place a b s 0 0", "......../......../......../......../......../..ABC.../..DEF..."},
        {"place a b se 0 0", "......../......../......../......../......../.....ABC/.....DEF"},
        // Inward: right and down from the west and north, left and up from the east and south; right and
        // down along a centred axis.
        {"place a b nw 1 2", "......../......../.ABC..../.DEF..../......../......../........"},
        {"place a b n 1 2", "......../......../...ABC../...DEF../......../......../........"},
        {"place a b ne 1 2", "......../......../....ABC./....DEF./......../......../........"},
        {"place a b w 1 2", "......../......../......../......../.ABC..../.DEF..../........"},
        {"place a b c 1 2", "......../......../......../......../...ABC../...DEF../........"},
        {"place a b e 1 2", "......../......../......../......../....ABC./....DEF./........"},
        {"place a b sw 1 2", "......../......../......../.ABC..../.DEF..../......../........"},
        {"place a b s 1 2", "......../......../......../...ABC../...DEF../......../........"},
        {"place a b se 1 2", "......../......../......../....ABC./....DEF./......../........"},
        // Outward past every edge, cut there; wholly off the image draws nothing.
        {"place a b nw -1 -1", "EF....../......../......../......../......../......../........"},
        {"place a b se -1 -1", "......../......../......../......../......../......../......AB"},
        {"place a b c -4 0", "......../......../C......./F......./......../......../........"},
        {"place a b c 5 -2", ".......A/.......D/......../......../......../......../........"},
        {"place a b nw 8 0", "......../......../......../......../......../......../........"},
        {"place a b nw 0 -2", "......../......../......../......../......../......../........"},
        {"place a b se -2147483648 2147483647",
         "......../......../......../......../......../......../........"},
        // Gravity in either case.
        {"place a b SE 0 0", "......../......../......../......../......../.....ABC/.....DEF"},
        {"place a b Nw 0 0", "ABC...../DEF...../......../......../......../......../........"},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, letters());
        ctx.setImage(1, createImage(8, 7));
        const Outcome o = execLine(ctx, c.line);
        EXPECT_EQ(o.result, 0) << c.line;
        EXPECT_EQ(o.output, "") << c.line;
        EXPECT_EQ(spell(*ctx.imageAt(1)), c.seen) << c.line;
        EXPECT_EQ(spell(*ctx.imageAt(0)), "ABC/DEF") << c.line;
    }
}

TEST(Place, OddRoomAndOverhangLieAtTheFarSide) {
    // One pixel of room: the image keeps to the left and top. One pixel of overhang: it sticks out right
    // and below (the middle, -1/2, is 0).
    const struct {
        std::uint32_t w, h;
        const char* seen;
    } cases[] = {
        {4, 3, "ABC./DEF./...."},
        {2, 1, "AB"},
        {1, 1, "B"}, // two pixels of overhang: one each side
        {5, 4, "...../.ABC./.DEF./....."},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, letters());
        ctx.setImage(1, createImage(c.w, c.h));
        ASSERT_EQ(execLine(ctx, "place a b c 0 0").result, 0);
        EXPECT_EQ(spell(*ctx.imageAt(1)), c.seen) << c.w << "x" << c.h;
    }
}

TEST(Place, MatchesThePlainFormulaOnRandomImages) {
    // Pairs of sizes: smaller, larger, thin, the same, and wide enough for the four-pixel groups and their
    // remainders.
    const struct {
        std::uint32_t aw, ah, bw, bh;
    } sizes[] = {{3, 2, 8, 7},     {5, 5, 4, 4}, {1, 9, 6, 1},   {10, 1, 3, 3}, {17, 13, 16, 16},
                 {16, 16, 16, 16}, {1, 1, 1, 1}, {23, 5, 40, 9}, {40, 9, 23, 5}};
    const int offsets[][2] = {{0, 0}, {3, 1}, {-2, -3}, {-7, 2}, {2, -9}, {50, 0}, {0, -50}};
    std::mt19937 random(41);
    for (const auto& s : sizes) {
        const ImagePtr a = randomImage(s.aw, s.ah, random);
        const ImagePtr b = randomImage(s.bw, s.bh, random);
        for (const char* gravity : gravities)
            for (const auto& [dx, dy] : offsets) {
                ScriptContext ctx;
                ctx.setImage(0, cloneImage(*a));
                ctx.setImage(1, cloneImage(*b));
                const std::string line =
                    std::string("place a b ") + gravity + " " + std::to_string(dx) + " " + std::to_string(dy);
                ASSERT_EQ(execLine(ctx, line).result, 0) << line;
                ASSERT_EQ(bytesOf(*ctx.imageAt(1)), bytesOf(*plainPlace(*a, *b, gravity, dx, dy)))
                    << line << " with " << s.aw << "x" << s.ah << " on " << s.bw << "x" << s.bh;
                ASSERT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*a)) << line;
            }
    }
}

// Every alpha of a (one per row) over every byte of b (one per column), with a's colour at or below its
// alpha, and above it, which the sum must not wrap.
TEST(Place, EveryAlphaOverEveryByte) {
    for (const bool aboveAlpha : {false, true}) {
        const ImagePtr a = makeImage(256, 256, [&](std::uint32_t x, std::uint32_t y) {
            const auto alpha = static_cast<std::uint8_t>(y);
            const auto colour = static_cast<std::uint8_t>(aboveAlpha ? 255 - x : std::min(x, y));
            return Rgba{colour, static_cast<std::uint8_t>(colour / 2), alpha, alpha};
        });
        const ImagePtr b = makeImage(256, 256, [](std::uint32_t x, std::uint32_t) {
            return Rgba{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(255 - x),
                        static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(x)};
        });
        ScriptContext ctx;
        ctx.setImage(0, cloneImage(*a));
        ctx.setImage(1, cloneImage(*b));
        ASSERT_EQ(execLine(ctx, "place a b nw 0 0").result, 0);
        EXPECT_EQ(bytesOf(*ctx.imageAt(1)), bytesOf(*plainPlace(*a, *b, "nw", 0, 0))) << aboveAlpha;
    }
}

TEST(Place, HalfTransparentWhiteOverBlackGivesMiddleGrey) {
    // Straight white at alpha 128 is held as (128, 128, 128, 128).
    ScriptContext ctx;
    ctx.setImage(0, makeImage(5, 1, [](std::uint32_t, std::uint32_t) { return Rgba{128, 128, 128, 128}; }));
    ctx.setImage(1, makeImage(5, 1, [](std::uint32_t, std::uint32_t) { return Rgba{0, 0, 0, 255}; }));
    ASSERT_EQ(execLine(ctx, "place a b c 0 0").result, 0);
    for (std::uint32_t x = 0; x < 5; ++x)
        EXPECT_EQ(pixelAt(*ctx.imageAt(1), x, 0), (Rgba{128, 128, 128, 255}));
}

TEST(Place, OnItselfReadsTheImageAsItWas) {
    std::mt19937 random(43);
    const ImagePtr a = randomImage(9, 7, random);
    for (const char* line :
         {"place a a nw 1 1", "place a a se 2 1", "place a a c 0 0", "place a a nw -1 0"}) {
        ScriptContext ctx;
        ctx.setImage(0, cloneImage(*a));
        ASSERT_EQ(execLine(ctx, line).result, 0) << line;
        const std::string words(line);
        const std::string gravity = words.substr(10, words.find(' ', 10) - 10);
        const int dx = std::stoi(words.substr(10 + gravity.size() + 1));
        const int dy = std::stoi(words.substr(words.rfind(' ') + 1));
        EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*plainPlace(*a, *a, gravity, dx, dy))) << line;
    }
}

TEST(Place, RefusalsLeaveBothImagesAsTheyWere) {
    const struct {
        const char* line;
        std::string output;
    } cases[] = {
        {"place a b x 0 0", gravityMessage},
        {"place a b centre 0 0", gravityMessage},
        {"place a b nww 0 0", gravityMessage},
        {"place a b wn 0 0", gravityMessage},
        {"place a b cw 0 0", gravityMessage},
        {"place a b nc 0 0", gravityMessage},
        {"place a b nw1 0 0", gravityMessage},
        {"place a b - 0 0", gravityMessage},
        {"place c b nw 0 0", "Error (line 0): No image to place\n"},
        {"place a c nw 0 0", "Error (line 0): No image to place on\n"},
        {"place 1 b nw 0 0", "Error (line 0): variable must have 1 character name!\n"},
        {"place a bb nw 0 0", "Error (line 0): variable must have 1 character name!\n"},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, letters());
        ctx.setImage(1, positionImage(5, 4));
        const Outcome o = execLine(ctx, c.line);
        EXPECT_EQ(o.result, 1) << c.line;
        EXPECT_EQ(o.output, c.output) << c.line;
        EXPECT_EQ(spell(*ctx.imageAt(0)), "ABC/DEF") << c.line;
        EXPECT_EQ(bytesOf(*ctx.imageAt(1)), bytesOf(*positionImage(5, 4))) << c.line;
        EXPECT_EQ(ctx.imageAt(2), nullptr) << c.line;
    }
}

TEST(Place, EachImageKeepsItsMetadata) {
    const MetadataPtr aBlocks = makeMetadata({1}, {}, {});
    const MetadataPtr bBlocks = makeMetadata({2}, {}, {});
    ScriptContext ctx;
    ctx.setImage(0, letters());
    ctx.imageAt(0)->metadata = aBlocks;
    ctx.setImage(1, createImage(4, 4));
    ctx.imageAt(1)->metadata = bBlocks;
    ASSERT_EQ(execLine(ctx, "place a b c 0 0").result, 0);
    EXPECT_EQ(ctx.imageAt(0)->metadata, aBlocks);
    EXPECT_EQ(ctx.imageAt(1)->metadata, bBlocks);
}

TEST(Place, ImagesWithoutPixelsDrawNothing) {
    for (const auto& [aw, ah, bw, bh] :
         {std::array<std::uint32_t, 4>{0, 5, 4, 4}, {3, 0, 4, 4}, {3, 2, 0, 9}, {3, 2, 3000000000u, 0}}) {
        ScriptContext ctx;
        ctx.setImage(0, positionImage(aw, ah));
        ctx.setImage(1, positionImage(bw, bh));
        ASSERT_EQ(execLine(ctx, "place a b c 0 0").result, 0);
        EXPECT_EQ(bytesOf(*ctx.imageAt(1)), bytesOf(*positionImage(bw, bh)));
        EXPECT_EQ(ctx.imageAt(1)->width, bw);
    }
}

// ---- pad ----

TEST(Pad, EveryAnchorOnALargerAndASmallerCanvas) {
    const struct {
        const char* line;
        const char* seen;
    } cases[] = {
        // 3 pixels of room each way: the middle is 1.
        {"pad a 6 5 nw 0 0 0 255", "ABC.../DEF.../....../....../......"},
        {"pad a 6 5 n 0 0 0 255", ".ABC../.DEF../....../....../......"},
        {"pad a 6 5 ne 0 0 0 255", "...ABC/...DEF/....../....../......"},
        {"pad a 6 5 w 0 0 0 255", "....../ABC.../DEF.../....../......"},
        {"pad a 6 5 c 0 0 0 255", "....../.ABC../.DEF../....../......"},
        {"pad a 6 5 e 0 0 0 255", "....../...ABC/...DEF/....../......"},
        {"pad a 6 5 sw 0 0 0 255", "....../....../....../ABC.../DEF..."},
        {"pad a 6 5 s 0 0 0 255", "....../....../....../.ABC../.DEF.."},
        {"pad a 6 5 se 0 0 0 255", "....../....../....../...ABC/...DEF"},
        {"pad a 3 2 c 0 0 0 255", "ABC/DEF"},
        // A canvas smaller than the image cuts it at the anchor.
        {"pad a 2 1 nw 0 0 0 255", "AB"},
        {"pad a 2 1 n 0 0 0 255", "AB"},
        {"pad a 2 1 ne 0 0 0 255", "BC"},
        {"pad a 2 1 w 0 0 0 255", "AB"},
        {"pad a 2 1 c 0 0 0 255", "AB"},
        {"pad a 2 1 e 0 0 0 255", "BC"},
        {"pad a 2 1 sw 0 0 0 255", "DE"},
        {"pad a 2 1 s 0 0 0 255", "DE"},
        {"pad a 2 1 se 0 0 0 255", "EF"},
        {"pad a 1 1 c 0 0 0 255", "B"},
        {"pad a 1 4 c 0 0 0 255", "./B/E/."},
        {"pad a 9 1 E 0 0 0 255", "......ABC"},
        {"pad a 2px 1 c 0 0 0 255", "AB"},
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

TEST(Pad, TheColourIsStraightAndPremultiplied) {
    const struct {
        const char* colour;
        Rgba held;
    } cases[] = {
        {"255 255 255 255", {255, 255, 255, 255}}, {"255 255 255 128", {128, 128, 128, 128}},
        {"200 100 0 51", {40, 20, 0, 51}},         {"10 20 30 0", {0, 0, 0, 0}},
        {"300 -1 0 255", {44, 255, 0, 255}},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, letters());
        const std::string line = std::string("pad a 5 3 nw ") + c.colour;
        ASSERT_EQ(execLine(ctx, line).result, 0) << line;
        EXPECT_EQ(pixelAt(*ctx.imageAt(0), 4, 2), c.held) << line;
        EXPECT_EQ(pixelAt(*ctx.imageAt(0), 3, 0), c.held) << line;
        // The image's own pixels are copied, not blended.
        EXPECT_EQ(pixelAt(*ctx.imageAt(0), 0, 0), (Rgba{'A', 0, 0, 255})) << line;
    }
}

TEST(Pad, MatchesThePlainLetterboxOnRandomImages) {
    std::mt19937 random(47);
    const struct { std::uint32_t w, h; } images[] = {{1, 1}, {1, 7}, {7, 1}, {5, 4}, {16, 9}};
    const struct { std::uint32_t w, h; } canvases[] = {{1, 1}, {8, 8}, {9, 3}, {3, 9}, {20, 11}, {16, 9}};
    for (const auto& i : images) {
        const ImagePtr v = randomImage(i.w, i.h, random);
        for (const auto& c : canvases)
            for (const char* gravity : gravities) {
                ScriptContext ctx;
                ctx.setImage(0, cloneImage(*v));
                const std::string line = "pad a " + std::to_string(c.w) + " " + std::to_string(c.h) + " " +
                                         gravity + " 255 0 0 255";
                ASSERT_EQ(execLine(ctx, line).result, 0) << line;
                ASSERT_EQ(bytesOf(*ctx.imageAt(0)),
                          bytesOf(*plainPad(*v, c.w, c.h, gravity, {255, 0, 0, 255})))
                    << line << " on " << i.w << "x" << i.h;
            }
    }
}

TEST(Pad, AnImageWithoutPixelsGivesTheBareCanvas) {
    for (const auto& [w, h] : {std::pair{0u, 5u}, {3000000000u, 0u}}) {
        ScriptContext ctx;
        ctx.setImage(0, createImage(w, h));
        ASSERT_EQ(execLine(ctx, "pad a 3 2 c 0 0 255 255").result, 0);
        EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*makeImage(3, 2, [](std::uint32_t, std::uint32_t) {
                      return Rgba{0, 0, 255, 255};
                  })));
    }
}

TEST(Pad, RefusalsLeaveTheVariableAsItWas) {
    const std::string size = "Error (line 0): invalid size for padded image\n";
    const struct {
        const char* line;
        std::string output;
    } cases[] = {
        {"pad a 0 5 c 0 0 0 255", size},
        {"pad a 65536 5 c 0 0 0 255", size},
        {"pad a -3 5 c 0 0 0 255", size},
        {"pad a x 5 c 0 0 0 255", size},
        {"pad a 5 0 c 0 0 0 255", size},
        {"pad a 5 65536 c 0 0 0 255", size},
        {"pad a 5 5 middle 0 0 0 255", gravityMessage},
        {"pad a 5 5 0 0 0 0 255", gravityMessage},
        {"pad b 5 5 c 0 0 0 255", "Error (line 0): No image to pad\n"},
        {"pad ab 5 5 c 0 0 0 255", "Error (line 0): variable must have 1 character name!\n"},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, letters());
        const Image* before = ctx.imageAt(0);
        const Outcome o = execLine(ctx, c.line);
        EXPECT_EQ(o.result, 1) << c.line;
        EXPECT_EQ(o.output, c.output) << c.line;
        EXPECT_EQ(ctx.imageAt(0), before) << c.line;
        EXPECT_EQ(spell(*ctx.imageAt(0)), "ABC/DEF") << c.line;
    }
}

TEST(Pad, TheCanvasTakesTheImagesMetadata) {
    const MetadataPtr blocks = makeMetadata({1, 2}, {}, {'<'});
    ScriptContext ctx;
    ctx.setImage(0, letters());
    ctx.imageAt(0)->metadata = blocks;
    ASSERT_EQ(execLine(ctx, "pad a 65535 1 c 0 0 0 255").result, 0);
    EXPECT_EQ(ctx.imageAt(0)->width, 65535u);
    EXPECT_EQ(ctx.imageAt(0)->metadata, blocks);
}

} // namespace

// The per-pixel verbs, the straight-colour conversions, paint and the TGA reader shared out over threads:
// the same bytes for 1, 2, 3 and 7 threads, and the same as the plain pixel-by-pixel versions. The image
// sizes give one band, several bands with a short last one, a single row and a single column.

#include "commands/painterly.h"
#include "image/straight_colour.h"
#include "system/thread_pool.h"
#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"
#include "tests/support/tga_file.h"
#include "tests/support/tga_reference.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned threadCounts[] = {1, 2, 3, 7};

// Sets the pool's threads for one scope and restores them afterwards.
class Threads {
public:
    explicit Threads(unsigned count) : before(threadCount()) { setThreadCount(count); }
    ~Threads() { setThreadCount(before); }
    Threads(const Threads&) = delete;
    Threads& operator=(const Threads&) = delete;

private:
    unsigned before;
};

// The tests below change the thread count between runs, as a script's --threads may after work has
// been shared: each run after a change hands every task out once, to workers started for it, and a worker
// started late never takes a job that is not there.
TEST(ParallelPixels, RunsAfterAChangeOfThreadCountDoEveryTaskOnce) {
    for (int round = 0; round < 300; ++round) {
        const Threads use(threadCounts[round % 4] + static_cast<unsigned>(round % 3));
        std::vector<int> done(37, 0);
        runParallel(done.size(), [&](std::size_t i) { ++done[i]; });
        ASSERT_EQ(std::count(done.begin(), done.end(), 1), 37) << "round " << round;
    }
}

// One band; one column in two and five bands; one row; 1000 wide in three bands (65 rows each for a copy's
// work, the last 20) or ten (16 each, the last 6); 64 wide in three bands.
const std::vector<std::pair<std::uint32_t, std::uint32_t>> shapes = {
    {7, 3}, {1, 70001}, {3001, 1}, {1000, 150}, {64, 2500}};

// Random premultiplied pixels: a third transparent, a third opaque, colour never above alpha.
ImagePtr randomImage(std::uint32_t width, std::uint32_t height, unsigned seed) {
    std::mt19937 random(seed);
    return makeImage(width, height, [&](std::uint32_t, std::uint32_t) {
        const auto n = static_cast<std::uint32_t>(random());
        const auto alpha = static_cast<std::uint8_t>(n % 3 == 0 ? 0 : n % 3 == 1 ? 255 : n >> 24);
        const auto colour = [&](unsigned shift) {
            return static_cast<std::uint8_t>((n >> shift) % (alpha + 1u));
        };
        return Rgba{colour(2), colour(10), colour(18), alpha};
    });
}

ImagePtr runVerb(const Image& input, const Image& other, const std::string& line) {
    ScriptContext ctx;
    ctx.setImage(0, cloneImage(input));
    ctx.setImage(1, cloneImage(other));
    EXPECT_EQ(execLine(ctx, line).result, 0) << line;
    return cloneImage(*ctx.imageAt(0));
}

// A verb on image a (image b beside it) and its plain version, which changes a copy of a in place.
struct VerbCase {
    std::string line;
    std::function<void(Image& a, const Image& b)> plain;
};

std::uint8_t over(std::uint8_t front, std::uint8_t back, std::uint8_t alpha) {
    return static_cast<std::uint8_t>(std::min(255u, front + (back * (255u - alpha) + 127u) / 255u));
}

// b drawn over a with b's top-left corner at (x, y), each channel as place draws it.
void placePlain(Image& a, const Image& b, std::int64_t x, std::int64_t y) {
    for (std::int64_t j = 0; j < b.height; ++j)
        for (std::int64_t i = 0; i < b.width; ++i) {
            if (x + i < 0 || x + i >= a.width || y + j < 0 || y + j >= a.height)
                continue;
            const std::uint8_t* f = b.pixel(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
            std::uint8_t* p = a.pixel(static_cast<std::uint32_t>(x + i), static_cast<std::uint32_t>(y + j));
            for (int c = 0; c < 4; ++c)
                p[c] = over(f[c], p[c], f[3]);
        }
}

TEST(ParallelPixels, VerbsGiveThePlainBytesOnAnyThreads) {
    const std::vector<VerbCase> cases = {
        {"darken a 0.37", [](Image& a, const Image&) { reference::darken(a, 0.37f); }},
        {"dissolve a 0.61", [](Image& a, const Image&) { reference::dissolve(a, 0.61f); }},
        {"desaturate a 0.7", [](Image& a, const Image&) { reference::desaturate(a, 0.7f); }},
        {"opaque a", [](Image& a, const Image&) { reference::opaque(a); }},
        {"chromakey a 85 170 40",
         [](Image& a, const Image&) {
             reference::chromakey(a, {85, 170, 40});
         }},
        {"fill a 1 2 5000 90000 10 20 30 40",
         [](Image& a, const Image&) {
             reference::fill(a, 1, 2, 5000, 90000, {10, 20, 30, 40});
         }},
        {"composite b over a 0 0", [](Image& a, const Image& b) { reference::compositeOver(b, a, 0, 0); }},
        {"composite b over a 2 5", [](Image& a, const Image& b) { reference::compositeOver(b, a, 2, 5); }},
        // A over itself: on the same rows (shared out), and lower down (one row after another).
        {"composite a over a 2 0", [](Image& a, const Image&) { reference::compositeOver(a, a, 2, 0); }},
        {"composite a over a 0 0", [](Image& a, const Image&) { reference::compositeOver(a, a, 0, 0); }},
        {"composite a over a 1 3", [](Image& a, const Image&) { reference::compositeOver(a, a, 1, 3); }},
        {"place b a nw 3 1", [](Image& a, const Image& b) { placePlain(a, b, 3, 1); }},
        {"place a a nw 0 2",
         [](Image& a, const Image&) {
             const ImagePtr front = cloneImage(a);
             placePlain(a, *front, 0, 2);
         }},
    };
    for (const auto& [w, h] : shapes) {
        ImagePtr a = randomImage(w, h, w * 31 + h);
        // Some pixels hold the chromakey's colour at their alpha, as chromakey premultiplies it.
        for (std::uint32_t y = 0; y < h; y += 2)
            for (std::uint32_t x = y % 3; x < w; x += 3) {
                std::uint8_t* p = a->pixel(x, y);
                for (int c = 0; c < 3; ++c)
                    p[c] = truncToByte(std::array{85, 170, 40}[static_cast<std::size_t>(c)] * (p[3] / 255.0));
            }
        const ImagePtr b = randomImage(std::max(1u, w - 1), h + 1, h * 17 + w);
        for (const VerbCase& verb : cases) {
            ImagePtr expected = cloneImage(*a);
            verb.plain(*expected, *b);
            for (const unsigned threads : threadCounts) {
                const Threads use(threads);
                const ImagePtr result = runVerb(*a, *b, verb.line);
                ASSERT_EQ(bytesOf(*result), bytesOf(*expected))
                    << verb.line << " on " << w << "x" << h << ", " << threads << " threads";
            }
        }
    }
}

// pad puts the image on a canvas of its own size, so its bands are cut from the canvas's rows.
TEST(ParallelPixels, PadGivesThePlainBytesOnAnyThreads) {
    for (const auto& shape : shapes) {
        const std::uint32_t w = shape.first;
        const std::uint32_t h = shape.second;
        const ImagePtr a = randomImage(w, h, w + h);
        const std::uint32_t canvasWidth = std::min(w + 5, 65535u);
        const std::uint32_t canvasHeight = std::min(2 * h + 1, 65535u);
        const ImagePtr expected = makeImage(canvasWidth, canvasHeight, [&](std::uint32_t x, std::uint32_t y) {
            return x < w && y < h ? pixelAt(*a, x, y)
                                  : Rgba{premultiplyFormula(200, 128), premultiplyFormula(100, 128),
                                         premultiplyFormula(50, 128), 128};
        });
        const std::string line = "pad a " + std::to_string(canvasWidth) + " " + std::to_string(canvasHeight) +
                                 " nw 200 100 50 128";
        for (const unsigned threads : threadCounts) {
            const Threads use(threads);
            ASSERT_EQ(bytesOf(*runVerb(*a, *a, line)), bytesOf(*expected)) << line << ", " << threads;
        }
    }
}

// Both directions and both channel orders, on as many pixels as make several pieces and a short last one,
// against the formulas.
TEST(ParallelPixels, StraightColourConversionsGiveTheFormulasOnAnyThreads) {
    constexpr std::size_t n = 200003;
    std::mt19937 random(3);
    std::vector<std::uint8_t> in(4 * n);
    for (std::uint8_t& byte : in)
        byte = static_cast<std::uint8_t>(random() % 3 == 0 ? 255 : random());
    for (const ChannelOrder order : {ChannelOrder::Rgba, ChannelOrder::Bgra}) {
        const std::size_t red = order == ChannelOrder::Rgba ? 0 : 2;
        std::vector<std::uint8_t> premultiplied(4 * n), straight(4 * n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* p = &in[4 * i];
            premultiplied[4 * i] = premultiplyFormula(p[red], p[3]);
            premultiplied[4 * i + 1] = premultiplyFormula(p[1], p[3]);
            premultiplied[4 * i + 2] = premultiplyFormula(p[2 - red], p[3]);
            premultiplied[4 * i + 3] = p[3];
            straight[4 * i + red] = straightColourFormula(p[0], p[3]);
            straight[4 * i + 1] = straightColourFormula(p[1], p[3]);
            straight[4 * i + 2 - red] = straightColourFormula(p[2], p[3]);
            straight[4 * i + 3] = straightAlphaFormula(p[3]);
        }
        for (const unsigned threads : threadCounts) {
            const Threads use(threads);
            std::vector<std::uint8_t> out(4 * n);
            premultiplyPixels(in.data(), n, out.data(), order);
            ASSERT_EQ(out, premultiplied) << threads << " threads";
            straightenPixels(in.data(), n, out.data(), order);
            ASSERT_EQ(out, straight) << threads << " threads";
        }
    }
}

// The canvas tiled and stroked band by band against the texture tiled pixel by pixel and the plain stroke
// walk, the jitters drawn from the same seed: canvases of one band group and of several.
TEST(ParallelPixels, PaintGivesThePlainCanvasOnAnyThreads) {
    const ImagePtr texture = randomImage(37, 23, 11);
    std::srand(4);
    const ImagePtr brush = makeBrush();
    for (const auto& [w, h] :
         {std::pair{5u, 3u}, std::pair{1u, 600u}, std::pair{700u, 1u}, std::pair{1000u, 150u}}) {
        const ImagePtr source = randomImage(w, h, w ^ h);
        ImagePtr expected = makeImage(w + 60, h + 60, [&](std::uint32_t x, std::uint32_t y) {
            const Rgba t = pixelAt(*texture, x % texture->width, y % texture->height);
            return Rgba{t[0], t[1], t[2], 0};
        });
        const ImagePtr tiled = cloneImage(*expected);
        std::srand(w + h);
        reference::layStrokes(*expected, *source, *brush);
        for (const unsigned threads : threadCounts) {
            const Threads use(threads);
            ASSERT_EQ(bytesOf(*textureCanvas(*texture, w + 60, h + 60)), bytesOf(*tiled)) << w << "x" << h;
            ImagePtr canvas = createImageForOverwrite(w + 60, h + 60);
            StrokePlan plan(*source);
            std::srand(w + h);
            plan.drawJitters();
            paintBands(*canvas, texture.get(), *brush, plan);
            ASSERT_EQ(bytesOf(*canvas), bytesOf(*expected)) << w << "x" << h << ", " << threads << " threads";
        }
    }
}

// Uncompressed files of every pixel layout and both row orders, from memory (all rows buffered at once)
// and from a file (read in blocks that end inside a row), against the plain reader; a bad colour-map index
// in the last row fails the file on any thread. A single column of up to 65535 rows is one band; 1000
// wide is five.
TEST(ParallelPixels, TgaPixelsConvertTheSameOnAnyThreads) {
    struct Layout {
        int type;
        int depth;
        int descriptor;
        bool mapped;
    };
    const Layout layouts[] = {{2, 32, 8, false},        {2, 32, 8 | 0x20, false}, {2, 24, 0x10, false},
                              {2, 16, 1 | 0x30, false}, {3, 8, 0, false},         {1, 8, 0x20, true}};
    std::mt19937 random(7);
    const std::string path = "parallel_pixels_test_" + std::to_string(::getpid()) + ".tga";
    for (const Layout& layout : layouts)
        for (const auto& [w, h] : {std::pair{1u, 5000u}, std::pair{1000u, 300u}, std::pair{3u, 2u}}) {
            TgaFile f;
            f.imageType = static_cast<std::uint8_t>(layout.type);
            f.width = static_cast<std::uint16_t>(w);
            f.height = static_cast<std::uint16_t>(h);
            f.pixelDepth = static_cast<std::uint8_t>(layout.depth);
            f.descriptor = static_cast<std::uint8_t>(layout.descriptor);
            if (layout.mapped) {
                f.colorMapType = 1;
                f.colorMapLength = 200;
                f.colorMapEntrySize = 24;
                for (int k = 0; k < 3 * 200; ++k)
                    f.body.push_back(static_cast<std::uint8_t>(random()));
            }
            const std::size_t pixelBytes = static_cast<std::size_t>(layout.depth) / 8;
            for (std::size_t k = 0; k < std::size_t{w} * h * pixelBytes; ++k)
                f.body.push_back(static_cast<std::uint8_t>(layout.mapped ? random() % 200 : random()));
            std::vector<std::uint8_t> bytes = f.bytes();
            int code = 0;
            const ImagePtr expected = referenceDecode(bytes, code);
            ASSERT_NE(expected, nullptr);
            std::vector<std::uint8_t> badIndex = bytes;
            if (layout.mapped)
                badIndex.back() = 250;
            FILE* file = std::fopen(path.c_str(), "wb");
            ASSERT_NE(file, nullptr);
            ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
            std::fclose(file);
            for (const unsigned threads : threadCounts) {
                const Threads use(threads);
                const std::string what = std::to_string(layout.depth) + " bits, " + std::to_string(w) + "x" +
                                         std::to_string(h) + ", " + std::to_string(threads) + " threads";
                const ImagePtr fromMemory = decode(bytes);
                ASSERT_NE(fromMemory, nullptr) << what;
                ASSERT_EQ(bytesOf(*fromMemory), bytesOf(*expected)) << what;
                const ImagePtr fromFile = loadImage(path.c_str());
                ASSERT_NE(fromFile, nullptr) << what;
                ASSERT_EQ(bytesOf(*fromFile), bytesOf(*expected)) << what;
                if (layout.mapped) {
                    int failed = 0;
                    EXPECT_EQ(decode(badIndex, &failed), nullptr) << what;
                    EXPECT_EQ(failed, TgaCode::BadColormap) << what;
                }
            }
        }
    std::remove(path.c_str());
}

} // namespace

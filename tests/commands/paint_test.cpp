// paint and painter (one verb under two names): the brush, the strokes and the generator values they use,
// the tiled canvas, the brush file, the shipped texture, and the whole verb against the plain tiling and
// stroke walk.

#include "commands/painterly.h"
#include "formats/image_file.h"
#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"
#include "tests/support/process.h"
#include "tga/tga.h"
#include "tools/weave.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Runs the test body in a scratch working directory holding requiredimages/texture.tga.
class PaintTest : public testing::Test {
protected:
    void SetUp() override {
        previous = fs::current_path();
        fs::create_directory(dir / "requiredimages");
        fs::current_path(dir.path());
    }
    void TearDown() override { fs::current_path(previous); }

    void useTexture(const Image& texture) {
        ASSERT_EQ(writeImage(paintTextureFile, texture), WriteResult::Ok);
    }

    // The value rand() gives after `skipped` values from `seed`.
    static int randAfter(unsigned seed, long skipped) {
        std::srand(seed);
        for (long i = 0; i < skipped; ++i)
            std::rand();
        return std::rand();
    }

    TempDir dir;
    fs::path previous;
};

ImagePtr uniform(std::uint32_t w, std::uint32_t h, Rgba colour) {
    return makeImage(w, h, [&](std::uint32_t, std::uint32_t) { return colour; });
}

ImagePtr gradient(std::uint32_t w, std::uint32_t h) {
    return makeImage(w, h, [](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 11),
                    static_cast<std::uint8_t>(x ^ y), 255};
    });
}

TEST_F(PaintTest, BrushTexelsFollowTheNoiseBoundsWhateverTheGenerator) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        std::srand(seed);
        const ImagePtr brush = makeBrush();
        ASSERT_EQ(brush->width, 13u);
        ASSERT_EQ(brush->height, 13u);
        EXPECT_EQ(pixelAt(*brush, 6, 6), (Rgba{0, 0, 0, 0}));
        EXPECT_EQ(pixelAt(*brush, 0, 0), (Rgba{255, 255, 255, 0}));
        EXPECT_EQ(pixelAt(*brush, 12, 12), (Rgba{255, 255, 255, 0}));
        for (std::uint32_t x = 0; x < 13; ++x)
            for (std::uint32_t y = 0; y < 13; ++y) {
                const Rgba t = pixelAt(*brush, x, y);
                ASSERT_TRUE(t[0] == 0 || t[0] == 255);
                ASSERT_EQ(t, (Rgba{t[0], t[0], t[0], 0}));
                const double base = 1 - std::sqrt((6.5 - y) * (6.5 - y) + (6.5 - x) * (6.5 - x)) / 6.5;
                if (base > 0.35) {
                    EXPECT_EQ(t[0], 0) << x << "," << y;
                }
                if (base <= -0.14) {
                    EXPECT_EQ(t[0], 255) << x << "," << y;
                }
            }
    }
}

// One stroke for every fourth pixel each way, from the first, with two values of rand() each, after the
// 13 x 13 values of the brush.
TEST_F(PaintTest, OneCallUsesTheBrushAndTwoValuesPerStroke) {
    useTexture(*uniform(3, 3, {90, 90, 90, 255}));
    const struct {
        std::uint32_t width, height;
        long strokes;
    } cases[] = {{1, 1, 1}, {4, 4, 1}, {5, 5, 4}, {10, 5, 6}, {0, 5, 0}, {17, 3, 5}, {8, 9, 6}};
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, gradient(c.width, c.height));
        std::srand(42);
        ASSERT_EQ(execLine(ctx, "paint a").result, 0);
        const int next = std::rand();
        EXPECT_EQ(next, randAfter(42, 169 + 2 * c.strokes)) << c.width << "x" << c.height;
    }
}

TEST_F(PaintTest, StrokesMixTheSourceColourIntoTheCanvasWhereTheBrushLeavesPaint) {
    // One source pixel gives one stroke; replay the generator to know where it lands.
    useTexture(*uniform(2, 2, {100, 100, 100, 255}));
    ScriptContext ctx;
    ctx.setImage(0, uniform(1, 1, {51, 0, 255, 255}));
    std::srand(7);
    ASSERT_EQ(execLine(ctx, "paint a").result, 0);
    std::srand(7);
    const ImagePtr brush = makeBrush();
    const int ox = std::rand() % 6 - 6;
    const int oy = std::rand() % 6 - 6;
    const Image& canvas = *ctx.imageAt(0);
    ASSERT_EQ(canvas.width, 61u);
    ASSERT_EQ(canvas.height, 61u);
    for (std::uint32_t y = 0; y < 61; ++y)
        for (std::uint32_t x = 0; x < 61; ++x) {
            const int i = static_cast<int>(x) - ox - 24;
            const int j = static_cast<int>(y) - oy - 24;
            const bool painted =
                i >= 0 && i < 13 && j >= 0 && j < 13 &&
                pixelAt(*brush, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j))[0] == 0;
            const Rgba expected = painted ? Rgba{75, 50, 177, 0} : Rgba{100, 100, 100, 0};
            ASSERT_EQ(pixelAt(canvas, x, y), expected) << x << "," << y;
        }
}

// Textures wider than tall and taller than wide, so that a width used where a height belongs shows.
TEST_F(PaintTest, TheCanvasIsTiledTextureWithAClearBorderAndNoAlpha) {
    for (const auto& [tw, th] : {std::pair{3u, 2u}, std::pair{2u, 3u}}) {
        const ImagePtr texture = makeImage(tw, th, [](std::uint32_t x, std::uint32_t y) {
            return Rgba{static_cast<std::uint8_t>(10 + x), static_cast<std::uint8_t>(20 + y), 30, 255};
        });
        useTexture(*texture);
        ScriptContext ctx;
        ctx.setImage(0, gradient(23, 14));
        ASSERT_EQ(execLine(ctx, "paint a").result, 0);
        const Image& canvas = *ctx.imageAt(0);
        ASSERT_EQ(canvas.width, 83u);
        ASSERT_EQ(canvas.height, 74u);
        for (std::uint32_t y = 0; y < canvas.height; ++y)
            for (std::uint32_t x = 0; x < canvas.width; ++x) {
                ASSERT_EQ(pixelAt(canvas, x, y)[3], 0);
                // Strokes reach no closer than 18 pixels to the top and left, 25 to the right and bottom.
                if (x < 18 || y < 18 || x >= canvas.width - 25 || y >= canvas.height - 25) {
                    const Rgba expected{static_cast<std::uint8_t>(10 + x % tw),
                                        static_cast<std::uint8_t>(20 + y % th), 30, 0};
                    ASSERT_EQ(pixelAt(canvas, x, y), expected) << tw << "x" << th << " at " << x << "," << y;
                }
            }
    }
}

TEST_F(PaintTest, AnEmptySourceGivesPureTextureAndStillWritesTheBrush) {
    useTexture(*uniform(1, 1, {5, 6, 7, 255}));
    ScriptContext ctx;
    ctx.setImage(0, createImage(0, 5));
    std::srand(3);
    ASSERT_EQ(execLine(ctx, "paint a").result, 0);
    const int next = std::rand();
    EXPECT_EQ(next, randAfter(3, 169));
    const Image& canvas = *ctx.imageAt(0);
    EXPECT_EQ(canvas.width, 60u);
    EXPECT_EQ(canvas.height, 65u);
    EXPECT_EQ(bytesOf(canvas), bytesOf(*uniform(60, 65, {5, 6, 7, 0})));
    EXPECT_TRUE(fs::exists(paintBrushFile));
}

TEST_F(PaintTest, TheBrushFileHoldsTheBrushBottomRowFirst) {
    useTexture(*uniform(1, 1, {5, 6, 7, 255}));
    ScriptContext ctx;
    ctx.setImage(0, gradient(3, 3));
    std::srand(11);
    ASSERT_EQ(execLine(ctx, "paint a").result, 0);
    std::srand(11);
    const ImagePtr brush = makeBrush();
    const std::string file = readFile(paintBrushFile);
    ASSERT_EQ(file.size(), 39u + 13 * 13 * 4);
    for (std::uint32_t y = 0; y < 13; ++y)
        for (std::uint32_t x = 0; x < 13; ++x) {
            const std::size_t at = 39 + ((12 - y) * 13 + x) * 4;
            const auto level = static_cast<char>(pixelAt(*brush, x, y)[0]);
            EXPECT_EQ(file.substr(at, 4), (std::string{level, level, level, '\0'}));
        }
}

TEST_F(PaintTest, PainterIsPaint) {
    useTexture(*makeWeaveTexture());
    ScriptContext ctx;
    ctx.lineNumber = 6;
    ctx.setImage(0, gradient(30, 21));
    ctx.setImage(1, gradient(30, 21));
    std::srand(5);
    EXPECT_EQ(execLine(ctx, "paint a").result, 0);
    const std::string brushFromPaint = readFile(paintBrushFile);
    std::srand(5);
    EXPECT_EQ(execLine(ctx, "PAINTER b").result, 0);
    EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*ctx.imageAt(1)));
    EXPECT_EQ(readFile(paintBrushFile), brushFromPaint);
}

// Where a program found outside the source tree looks for the texture: the working directory, then the
// installed data folder beside its bin/ folder, then its own folder (where the build keeps a copy). Each
// run copies the program into PREFIX/bin of a scratch folder and works in an empty folder beside it.
struct TexturePlaces {
    std::string work;      // the texture in the working directory ("" none, "shipped", "plain" or "broken")
    std::string installed; // in PREFIX/share/chromaloom/requiredimages
    std::string beside;    // in PREFIX/bin/requiredimages
};

struct PaintRun {
    std::string output;  // what the script's lines printed
    std::string painted; // the painted canvas as a TGA file, or "" when none was written
    fs::path prefix;     // the scratch installation, links resolved
};

PaintRun paintWith(const TexturePlaces& places, const TempDir& dir) {
    const fs::path prefix = fs::canonical(dir.path()) / "prefix";
    const fs::path work = dir / "work";
    fs::create_directories(prefix / "bin");
    fs::create_directories(work);
    fs::copy_file(chromaloomPath(), prefix / "bin" / "chromaloom");
    const auto place = [](const std::string& kind, const fs::path& folder) {
        if (kind.empty())
            return;
        fs::create_directories(folder / "requiredimages");
        const fs::path file = folder / paintTextureFile;
        if (kind == "shipped")
            fs::copy_file(sourceDir() / paintTextureFile, file);
        else if (kind == "broken")
            writeFile(file, "not an image");
        else
            ASSERT_EQ(writeImage(file.c_str(), *uniform(7, 5, {40, 90, 160, 255})), WriteResult::Ok);
    };
    place(places.work, work);
    place(places.installed, prefix / "share" / "chromaloom");
    place(places.beside, prefix / "bin");
    writeFile(dir / "s.script",
              "blank a 30 20\nfill a 3 3 20 15 200 40 10 255\npaint a\nwrite a tga:out.tga\n");
    RunOptions options;
    options.program = prefix / "bin" / "chromaloom";
    options.workDir = work;
    options.args = {(dir / "s.script").string()};
    const RunResult r = runChromaloom(options);
    const fs::path out = work / "out.tga";
    return {afterStartUp(r.output), fs::exists(out) ? readFile(out) : "", prefix};
}

// The width of the image the run wrote: 30 unpainted, 90 painted.
std::uint32_t paintedWidth(const std::string& painted) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(painted.data());
    const LoadResult r = decodeImageFile(bytes, painted.size());
    return r.image == nullptr ? 0 : r.image->width;
}

TEST(Paint, TheTextureIsFoundInTheWorkingDirectoryThenInstalledThenBesideTheProgram) {
    TempDir shippedDir, plainDir;
    const std::string shipped = paintWith({"shipped", "", ""}, shippedDir).painted;
    const std::string plain = paintWith({"plain", "", ""}, plainDir).painted;
    ASSERT_NE(shipped, "");
    ASSERT_NE(plain, "");
    ASSERT_NE(shipped, plain);
    ASSERT_EQ(paintedWidth(shipped), 90u);
    const struct {
        TexturePlaces places;
        const std::string& expected;
    } cases[] = {
        {{"", "shipped", ""}, shipped},           {{"", "", "shipped"}, shipped},
        {{"plain", "shipped", ""}, plain},        {{"plain", "", "shipped"}, plain},
        {{"", "plain", "shipped"}, plain},        {{"", "shipped", "plain"}, shipped},
        {{"plain", "shipped", "shipped"}, plain},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const PaintRun run = paintWith(c.places, dir);
        const std::string name = c.places.work + "/" + c.places.installed + "/" + c.places.beside;
        EXPECT_EQ(run.output, "") << name;
        EXPECT_TRUE(run.painted == c.expected) << name;
    }
}

// The message names every place looked in, and a variable without a texture is left as it was.
TEST(Paint, AMissingTextureSaysWhereItLookedAndLeavesTheVariable) {
    TempDir dir;
    const PaintRun run = paintWith({}, dir);
    const std::string missing = "Error: required texture requiredimages/texture.tga not found (looked in the "
                                "working directory, " +
                                (run.prefix / "share" / "chromaloom").string() + " and " +
                                (run.prefix / "bin").string() + ")\n";
    EXPECT_EQ(run.output, missing);
    EXPECT_EQ(paintedWidth(run.painted), 30u); // the unpainted image, not a canvas
    EXPECT_FALSE(fs::exists(dir / "work" / "brushstroke.tga"));
}

// A texture that is there but cannot be read stops paint: the shipped one does not stand in for it unseen.
TEST(Paint, ATextureThatCannotBeReadIsNotPassedOver) {
    for (const TexturePlaces& places :
         {TexturePlaces{"broken", "shipped", ""}, TexturePlaces{"", "broken", "shipped"}}) {
        TempDir dir;
        const PaintRun run = paintWith(places, dir);
        const std::string where = places.work.empty()
                                      ? (run.prefix / "share" / "chromaloom" / paintTextureFile).string()
                                      : std::string(paintTextureFile);
        EXPECT_EQ(run.output.rfind("Error: required texture " + where + " cannot be read: ", 0), 0u)
            << run.output;
        EXPECT_EQ(paintedWidth(run.painted), 30u);
    }
}

// The build keeps a copy of the texture beside the program, so the built program paints from anywhere.
TEST(Paint, TheBuiltProgramPaintsFromAnEmptyFolder) {
    TempDir dir;
    writeFile(dir / "s.script", "blank a 2 3\npaint a\ninfo a\n");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"s.script"};
    EXPECT_EQ(afterStartUp(runChromaloom(options).output), "Image size 62 63\n");
}

TEST(Paint, TheSameScriptPaintsTheSameBytesEveryRun) {
    std::string results[2];
    for (std::string& result : results) {
        TempDir dir;
        fs::copy(sourceDir() / "requiredimages", dir / "requiredimages", fs::copy_options::recursive);
        writeFile(dir / "s.script", "blank a 40 30\nfill a 5 5 20 25 200 40 10 255\npaint a\npainter a\n"
                                    "write a out.tga\n");
        RunOptions options;
        options.workDir = dir.path();
        options.args = {"s.script"};
        const RunResult r = runChromaloom(options);
        EXPECT_EQ(afterStartUp(r.output), "");
        result = readFile(dir / "out.tga") + readFile(dir / "brushstroke.tga");
    }
    EXPECT_TRUE(results[0] == results[1]);
}

TEST(Paint, TheShippedTextureIsTheOneTheGeneratorMakes) {
    TempDir dir;
    ASSERT_EQ(writeImage((dir / "texture.tga").c_str(), *makeWeaveTexture()), WriteResult::Ok);
    EXPECT_TRUE(readFile(dir / "texture.tga") == readFile(sourceDir() / "requiredimages" / "texture.tga"));
}

} // namespace

namespace {

// The strokes against the plain texel-by-texel walk, on random canvases and sources: canvases of the verb's
// size, where every stroke lies inside, and smaller ones, where strokes cross the right and bottom edges.
TEST(Paint, StrokesMatchThePlainWalk) {
    std::mt19937 random(5);
    auto noise = [&](std::uint32_t, std::uint32_t) {
        return Rgba{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                    static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random())};
    };
    for (const auto& [w, h] :
         {std::pair{1u, 1u}, std::pair{5u, 3u}, std::pair{37u, 29u}, std::pair{64u, 61u}})
        for (std::uint32_t shrink : {0u, 40u, 44u, 47u, 50u, 60u}) {
            std::srand(w * 100 + shrink);
            const ImagePtr brush = makeBrush();
            const ImagePtr source = makeImage(w, h, noise);
            const ImagePtr canvas = makeImage(w + 60 - shrink, h + 60 - shrink, noise);
            ImagePtr expected = cloneImage(*canvas);
            const unsigned seed = static_cast<unsigned>(random());
            std::srand(seed);
            layStrokes(*canvas, *source, *brush);
            std::srand(seed);
            reference::layStrokes(*expected, *source, *brush);
            ASSERT_EQ(bytesOf(*canvas), bytesOf(*expected)) << w << "x" << h << " less " << shrink;
        }
}

} // namespace

namespace {

// The whole verb, which tiles and strokes the canvas band by band, against the texture tiled pixel by pixel
// and the plain stroke walk: textures narrower and wider than the canvas, of sizes that are no power of two,
// and canvases of one band and of several.
TEST_F(PaintTest, PaintMatchesThePlainTilingAndStrokes) {
    std::mt19937 random(9);
    auto noise = [&](std::uint32_t, std::uint32_t) {
        const auto n = static_cast<std::uint32_t>(random());
        return Rgba{static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                    static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
    };
    for (const auto& [tw, th] :
         {std::pair{3u, 2u}, std::pair{7u, 5u}, std::pair{200u, 1u}, std::pair{1u, 70u}}) {
        const ImagePtr texture = makeImage(tw, th, noise);
        useTexture(*texture);
        for (const auto& [w, h] :
             {std::pair{1u, 1u}, std::pair{5u, 3u}, std::pair{37u, 29u}, std::pair{90u, 47u}}) {
            const ImagePtr source = makeImage(w, h, noise);
            ScriptContext ctx;
            ctx.setImage(0, cloneImage(*source));
            std::srand(w * 7 + tw);
            ASSERT_EQ(execLine(ctx, "paint a").result, 0);
            // The texture as written and read back: colour premultiplied by the file's alpha.
            const ImagePtr stored = loadImage(paintTextureFile);
            ImagePtr expected =
                makeImage(w + 60, h + 60, [&stored, texW = tw, texH = th](std::uint32_t x, std::uint32_t y) {
                    const Rgba t = pixelAt(*stored, x % texW, y % texH);
                    return Rgba{t[0], t[1], t[2], 0};
                });
            std::srand(w * 7 + tw);
            const ImagePtr brush = makeBrush();
            reference::layStrokes(*expected, *source, *brush);
            ASSERT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*expected))
                << w << "x" << h << " on " << tw << "x" << th;
        }
    }
}

} // namespace

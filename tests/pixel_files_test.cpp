// A script reads a small image with varied alphas, applies each pixel verb to its own copy and writes every
// result. Each file must equal, byte for byte, the plain reference result computed here from the image the
// script read, encoded by the small TGA encoder below.

#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"
#include "tests/support/process.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace {

// 7x5, no symmetry: colour grows to the right and down in different channels, alpha varies over the
// interesting values (0, 1, the 147 of the key tests, half, almost and fully opaque); colour never exceeds
// alpha, as in any image read from a file. Pixel (5, 4) and (6, 4) share the straight colour (120, 60, 30)
// at two alphas, for the chromakey step.
ImagePtr sourceImage() {
    const std::uint8_t alphas[] = {255, 0, 1, 147, 128, 254, 200};
    return makeImage(7, 5, [&](std::uint32_t x, std::uint32_t y) {
        if (y == 4 && x >= 5) {
            const int a = x == 5 ? 255 : 147;
            return Rgba{static_cast<std::uint8_t>(120 * a / 255), static_cast<std::uint8_t>(60 * a / 255),
                        static_cast<std::uint8_t>(30 * a / 255), static_cast<std::uint8_t>(a)};
        }
        const int a = alphas[(x + 2 * y) % 7];
        auto channel = [a](int v) { return static_cast<std::uint8_t>(v % 256 * a / 255); };
        return Rgba{channel(30 * static_cast<int>(x) + 20), channel(50 * static_cast<int>(y) + 10),
                    channel(255 - 25 * static_cast<int>(x + y)), static_cast<std::uint8_t>(a)};
    });
}

// The file the program writes for an image, encoded here on its own: an 18-byte header, the 21-byte ID text,
// then the pixels bottom row first as blue, green, red, alpha with the alpha divided back out. That division
// works in single precision throughout; each float operation rounds exactly as the double operation
// rounded to float does, so this is the same arithmetic written independently.
std::string encodeTga(const Image& image) {
    auto le16 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v & 255), static_cast<char>(v >> 8 & 255)};
    };
    std::string file = std::string{21, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0} + le16(image.width) +
                       le16(image.height) + std::string{32, 8} + "written with pixelkit";
    for (std::uint32_t y = image.height; y-- > 0;)
        for (std::uint32_t x = 0; x < image.width; ++x) {
            const Rgba p = pixelAt(image, x, y);
            const float alpha = p[3] / 255.0f;
            auto straight = [&](std::uint8_t c) {
                float v = c / 255.0f;
                if (p[3] != 0)
                    v = v / alpha;
                return static_cast<char>(v > 1.0f ? 255 : static_cast<int>(v * 255.0f));
            };
            file += {straight(p[2]), straight(p[1]), straight(p[0]), static_cast<char>(p[3])};
        }
    return file;
}

TEST(PixelVerbsOnFiles, EveryVerbWritesTheReferenceResult) {
    TempDir dir;
    ScriptContext ctx;
    ctx.setImage(0, sourceImage());
    const std::string in = (dir / "in.tga").string();
    ASSERT_EQ(execLine(ctx, "write a " + in).output, "");
    ASSERT_EQ(execLine(ctx, "read a " + in).output, "");
    const Image& loaded = *ctx.imageAt(0);
    const Rgba keyColour = pixelAt(loaded, 5, 4);
    ASSERT_EQ(keyColour[3], 255);
    const std::string key = std::to_string(keyColour[0]) + " " + std::to_string(keyColour[1]) + " " +
                            std::to_string(keyColour[2]);

    const struct {
        std::string name;
        std::string lines; // applied to b, a copy of the image read
        std::function<void(Image&)> expected;
    } steps[] = {
        {"darken", "darken b 0.3", [](Image& i) { reference::darken(i, 0.3f); }},
        {"dissolve", "dissolve b 0.7", [](Image& i) { reference::dissolve(i, 0.7f); }},
        {"desaturate", "desaturate b 0.6", [](Image& i) { reference::desaturate(i, 0.6f); }},
        {"opaque", "opaque b", [](Image& i) { reference::opaque(i); }},
        {"fill", "fill b 5 3 2 1 300 20 -1 200",
         [](Image& i) {
             reference::fill(i, 2, 1, 5, 3, {44, 20, 255, 200});
         }},
        {"chromakey", "chromakey b " + key,
         [&](Image& i) {
             reference::chromakey(i, {keyColour[0], keyColour[1], keyColour[2]});
         }},
        {"blur3", "blur b 3", [](Image& i) { reference::blur(i, 3); }},
        {"blur5", "blur b 5", [](Image& i) { reference::blur(i, 5); }},
        {"self", "composite b over b 1 2", [](Image& i) { reference::compositeOver(i, i, 1, 2); }},
        {"composite", "blank c 9 6\ncomposite b over c 3 2\ncopy c b",
         [](Image& i) {
             ImagePtr under = createImage(9, 6);
             setOpaque(*under);
             reference::compositeOver(i, *under, 3, 2);
             i = std::move(*under);
         }},
    };

    std::string script = "read a in.tga\n";
    for (const auto& step : steps)
        script += "copy a b\n" + step.lines + "\nwrite b " + step.name + ".tga\n";
    writeFile(dir / "pixels.script", script);
    RunOptions options;
    options.args = {"pixels.script"};
    options.workDir = dir.path();
    const RunResult run = runChromaloom(options);
    EXPECT_EQ(afterStartUp(run.output), "");

    for (const auto& step : steps) {
        const ImagePtr expected = cloneImage(loaded);
        step.expected(*expected);
        EXPECT_TRUE(readFile(dir / (step.name + ".tga")) == encodeTga(*expected)) << step.name;
    }
}

} // namespace

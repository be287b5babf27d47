// The geometry verbs work in bands of rows (or runs of blocks) spread over the threads: each gives the same
// bytes for 1, 2, 3 and 7 threads, and the same as the plain pixel-by-pixel mapping, on images of one band
// and of several with a short last one, and on single rows and columns.

#include "image/orientation.h"
#include "image/resample.h"
#include "system/memory_budget.h"
#include "system/thread_pool.h"
#include "tests/support/exec.h"
#include "tests/support/pixel_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

class ParallelGeometry : public ::testing::Test {
protected:
    void TearDown() override { setThreadCount(saved); }
    unsigned saved = threadCount();
};

constexpr unsigned threadCounts[] = {1, 2, 3, 7};

ImagePtr randomImage(std::uint32_t width, std::uint32_t height, std::mt19937& random) {
    return makeImage(width, height, [&](std::uint32_t, std::uint32_t) {
        return mixedAlphaPixel(static_cast<std::uint32_t>(random()));
    });
}

// The first byte where two results differ, as text for a failure message ("" when they are the same).
std::string difference(const std::vector<std::uint8_t>& got, const std::vector<std::uint8_t>& want) {
    if (got == want)
        return "";
    if (got.size() != want.size())
        return std::to_string(got.size()) + " bytes instead of " + std::to_string(want.size());
    const auto at = std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
    return "byte " + std::to_string(at) + " differs";
}

// Runs `line` on a copy of `source` in variable a and returns variable `out` afterwards.
ImagePtr runLine(const Image& source, const std::string& line, int out = 0) {
    ScriptContext ctx;
    ctx.setImage(0, cloneImage(source));
    const Outcome o = execLine(ctx, line);
    EXPECT_EQ(o.result, 0) << line;
    EXPECT_EQ(o.output, "") << line;
    return cloneImage(*ctx.imageAt(out));
}

// A new width x height image whose pixel (x, y) is the source pixel at from(x, y), transparent black when
// that lies outside.
ImagePtr
mapped(const Image& source, std::uint32_t width, std::uint32_t height,
       const std::function<std::pair<std::int64_t, std::int64_t>(std::int64_t, std::int64_t)>& from) {
    ImagePtr out = createImage(width, height);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto [sx, sy] = from(x, y);
            if (sx >= 0 && sy >= 0 && sx < source.width && sy < source.height)
                std::copy_n(source.pixel(std::uint32_t(sx), std::uint32_t(sy)), 4, out->pixel(x, y));
        }
    return out;
}

// The image as seen from one stored in `orientation` (1 to 8), pixel by pixel.
ImagePtr plainOriented(const Image& s, int orientation) {
    const std::int64_t w = s.width, h = s.height;
    const bool swaps = orientation >= 5;
    return mapped(s, swaps ? s.height : s.width, swaps ? s.width : s.height,
                  [&](std::int64_t x, std::int64_t y) {
                      switch (orientation) {
                      case 2:
                          return std::pair{w - 1 - x, y};
                      case 3:
                          return std::pair{w - 1 - x, h - 1 - y};
                      case 4:
                          return std::pair{x, h - 1 - y};
                      case 5:
                          return std::pair{y, x};
                      case 6:
                          return std::pair{y, h - 1 - x};
                      case 7:
                          return std::pair{w - 1 - y, h - 1 - x};
                      case 8:
                          return std::pair{w - 1 - y, x};
                      default:
                          return std::pair{x, y};
                      }
                  });
}

ImagePtr plainResize(const Image& s, std::int64_t up, std::int64_t down) {
    return mapped(s, std::uint32_t(s.width * up / down), std::uint32_t(s.height * up / down),
                  [&](std::int64_t x, std::int64_t y) {
                      return std::pair{x * down / up, y * down / up};
                  });
}

// crop with corners inside the image.
ImagePtr plainCrop(const Image& s, std::uint32_t x0, std::uint32_t y0, std::uint32_t x1, std::uint32_t y1) {
    return mapped(s, x1 - x0 + 1, y1 - y0 + 1, [&](std::int64_t x, std::int64_t y) {
        return std::pair{x + x0, y + y0};
    });
}

struct VerbCase {
    std::string name;
    std::function<ImagePtr(const Image&)> run;
    std::function<ImagePtr(const Image&)> plain;
};

std::vector<VerbCase> verbCases() {
    std::vector<VerbCase> cases;
    auto line = [](std::string text, int out = 0) {
        return [text, out](const Image& s) { return runLine(s, text, out); };
    };
    for (int k : {3, 5})
        cases.push_back(
            {"blur " + std::to_string(k), line("blur a " + std::to_string(k)), [k](const Image& s) {
                 ImagePtr out = cloneImage(s);
                 reference::blur(*out, k);
                 return out;
             }});
    for (auto [up, down] : {std::pair{2, 1}, std::pair{1, 2}, std::pair{3, 7}, std::pair{5, 3}})
        cases.push_back({"resize " + std::to_string(up) + " " + std::to_string(down),
                         line("resize a " + std::to_string(up) + " " + std::to_string(down)),
                         [u = up, d = down](const Image& s) { return plainResize(s, u, d); }});
    for (int degrees : {30, -117, 90})
        cases.push_back({"rotate " + std::to_string(degrees), line("rotate a " + std::to_string(degrees)),
                         [degrees](const Image& s) { return reference::rotate(s, degrees); }});
    for (int option : {1, 2})
        cases.push_back({"warp " + std::to_string(option), line("warp a " + std::to_string(option)),
                         [option](const Image& s) { return reference::warp(s, option); }});
    for (auto [verb, orientation] :
         {std::pair{"turn a 90", 6}, std::pair{"turn a 180", 3}, std::pair{"turn a 270", 8},
          std::pair{"flip a", 4}, std::pair{"mirror a", 2}})
        cases.push_back(
            {verb, line(verb), [o = orientation](const Image& s) { return plainOriented(s, o); }});
    // Every orientation a read can meet, made in a new image.
    for (int orientation = 2; orientation <= 8; ++orientation)
        cases.push_back({"orientation " + std::to_string(orientation),
                         [orientation](const Image& s) { return orientedImage(s, orientation); },
                         [orientation](const Image& s) { return plainOriented(s, orientation); }});
    cases.push_back({"crop", line("crop a 1 100 2000 0"), [](const Image& s) {
                         return s.width < 2 ? createImage(0, std::min(101u, s.height))
                                            : plainCrop(s, 1, 0, s.width - 1, std::min(100u, s.height - 1));
                     }});
    cases.push_back({"copy", line("copy a b", 1), [](const Image& s) { return cloneImage(s); }});
    return cases;
}

// 1100 x 129 gives every verb several bands (blur 64, 64 and 1 rows; rotate 59, 59, 11; the quarter turns
// 512, 512, 76; warp 23 runs of blocks); 3 x 43700 does the same with rows of 12 bytes.
TEST_F(ParallelGeometry, VerbsGiveThePlainResultForEveryThreadCount) {
    std::mt19937 random(26);
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{1, 1},   {1, 37},     {37, 1},
                                                             {17, 23}, {1100, 129}, {3, 43700}};
    const std::vector<VerbCase> cases = verbCases();
    for (const auto& [width, height] : sizes) {
        const ImagePtr source = randomImage(width, height, random);
        for (const VerbCase& c : cases) {
            const std::vector<std::uint8_t> plain = bytesOf(*c.plain(*source));
            for (unsigned threads : threadCounts) {
                setThreadCount(threads);
                ASSERT_EQ(difference(bytesOf(*c.run(*source)), plain), "")
                    << c.name << " on " << width << "x" << height << " with " << threads << " threads";
            }
        }
    }
}

// A failure to get the working rows leaves the image as it was, whatever the thread count.
TEST_F(ParallelGeometry, BlurLeavesTheImageAloneWhenItsWorkingRowsAreRefused) {
    std::mt19937 random(5);
    const ImagePtr source = randomImage(1100, 129, random);
    for (unsigned threads : threadCounts) {
        setThreadCount(threads);
        ScriptContext ctx;
        ctx.setImage(0, cloneImage(*source));
        // Room for nothing more than what is held now.
        setImageMemoryLimit(imageBytesHeld() + 1024);
        EXPECT_NE(runLineCaptured(ctx, "blur a 5"), "");
        setImageMemoryLimit(std::nullopt);
        EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*source));
    }
}

// Shapes that make several bands of result rows: enlarged, shrunk without a box, with a box on both axes
// (rows shared between bands), on the columns alone with the height kept, and on the rows alone with the
// width kept; then single rows and columns.
TEST_F(ParallelGeometry, ResamplerGivesThePlainResultForEveryThreadCount) {
    std::mt19937 random(11);
    struct Shape {
        std::uint32_t width, height, toWidth, toHeight;
    };
    const Shape shapes[] = {{40, 70, 90, 150},   {1100, 400, 300, 100}, {1100, 700, 100, 100},
                            {1300, 70, 200, 70}, {50, 2000, 50, 300},   {1, 900, 1, 100},
                            {900, 1, 40, 1},     {1, 1, 3, 200}};
    for (const Shape& s : shapes) {
        const ImagePtr source = randomImage(s.width, s.height, random);
        const std::vector<std::uint8_t> plain = bytesOf(*reference::resample(*source, s.toWidth, s.toHeight));
        for (unsigned threads : threadCounts) {
            setThreadCount(threads);
            ASSERT_EQ(difference(bytesOf(*resampleImage(*source, s.toWidth, s.toHeight)), plain), "")
                << s.width << "x" << s.height << " to " << s.toWidth << "x" << s.toHeight << " with "
                << threads << " threads";
        }
    }
}

} // namespace

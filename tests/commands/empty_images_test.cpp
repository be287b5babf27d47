// Every verb that works on an image's pixels, on images without pixels: no columns, no rows, or neither
// (paint, whose canvas grows by 60 pixels each way, is in paint_test.cpp). Such an image may still have
// billions of rows or columns (a crop to no columns, then a resize), and a verb must return at once for it,
// with nothing printed and the size its result is due.

#include "tests/support/exec.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

namespace {

struct Size {
    std::uint32_t width;
    std::uint32_t height;
};

// What the verbs leave of an image of size s.
Size same(Size s) {
    return s;
}
// crop a 0 0 5 5: the corners are clamped to the image, so a side of 0 stays 0 and any other becomes 6.
Size cropped(Size s) {
    return {std::min(s.width, 6u), std::min(s.height, 6u)};
}
// resize a 1 2: both sides halved.
Size halved(Size s) {
    return {s.width / 2, s.height / 2};
}

// A verb line on variable a, and the size of the image it leaves in its result variable (a, or c for copy).
struct EmptyCase {
    const char* line;
    Size (*result)(Size);
    int resultVariable = 0;
};

const EmptyCase cases[] = {
    {"blur a 3", same},
    {"blur a 5", same},
    {"chromakey a 0 0 0", same},
    {"darken a 0.5", same},
    {"desaturate a 0.5", same},
    {"dissolve a 0.5", same},
    {"fill a 0 0 2147483647 2147483647 1 2 3 4", same},
    {"opaque a", same},
    {"rotate a 30", same},
    {"warp a 1", same},
    {"warp a 2", same},
    // a on top of the 5 x 5 image b draws nothing; b drawn on a has nowhere to go.
    {"composite a over b 0 0", same},
    {"composite b over a 0 0", same},
    {"copy a c", same, 2},
    {"crop a 0 0 5 5", cropped},
    {"resize a 1 2", halved},
};

constexpr std::uint32_t tall = 4294967290u;
const Size shapes[] = {{0, 0}, {0, 1}, {1, 0}, {0, 5}, {5, 0}, {0, tall}, {tall, 0}, {4294967295u, 0}};

TEST(EmptyImages, EveryVerbReturnsAtOnceWithTheSizeDue) {
    // A watchdog turns a verb that walks billions of rows one by one (minutes) into a failure instead of a
    // stalled run.
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread([finished] {
        for (int tenths = 0; tenths < 600 && !*finished; ++tenths)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!*finished) {
            std::fprintf(stderr, "a verb walked the rows of an image without pixels\n");
            std::abort();
        }
    }).detach();
    const ImagePtr five = positionImage(5, 5);
    for (const EmptyCase& c : cases)
        for (const Size s : shapes) {
            ScriptContext ctx;
            ctx.setImage(0, createImage(s.width, s.height));
            ctx.setImage(1, cloneImage(*five));
            const Outcome o = execLine(ctx, c.line);
            const std::string where =
                std::string(c.line) + " on " + std::to_string(s.width) + "x" + std::to_string(s.height);
            EXPECT_EQ(o.result, 0) << where;
            EXPECT_EQ(o.output, "") << where;
            const Size expected = c.result(s);
            const Image& result = *ctx.imageAt(c.resultVariable);
            EXPECT_EQ(result.width, expected.width) << where;
            EXPECT_EQ(result.height, expected.height) << where;
            EXPECT_EQ(bytesOf(*ctx.imageAt(1)), bytesOf(*five)) << where;
        }
    *finished = true;
}

} // namespace

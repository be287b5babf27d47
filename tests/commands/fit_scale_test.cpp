// fit and scale as verbs: the sizes they give (odd and even, 1 x N, boxes larger than the image, a side kept
// from the other), their refusals with the variable unchanged, and the metadata their result keeps. The
// pixels are the resampling's, tested in tests/image/resample_test.cpp.

#include "image/resample.h"
#include "interpreter/command.h"
#include "tests/support/exec.h"

#include <gtest/gtest.h>
#include <string>

Command& fitCommand();
Command& scaleCommand();

namespace {

struct SizeCase {
    std::uint32_t width, height;
    const char* line;
    std::uint32_t toWidth, toHeight;
};

TEST(FitAndScale, GiveTheSizesAsked) {
    fitCommand();
    scaleCommand();
    const SizeCase cases[] = {
        // fit: inside the box, aspect kept, never enlarged.
        {40, 30, "fit a 20 20", 20, 15},
        {30, 40, "fit a 20 20", 15, 20},
        {41, 31, "fit a 20 20", 20, 15},
        {7, 5, "fit a 3 3", 3, 2},
        {1, 50, "fit a 10 10", 1, 10},
        {50, 1, "fit a 10 10", 10, 1},
        {40, 30, "fit a 40 30", 40, 30},
        {40, 30, "fit a 1000 1000", 40, 30},
        {40, 30, "fit a 65535 1", 1, 1},
        // scale: exactly the size, enlarging or not; a 0 follows the other side.
        {40, 30, "scale a 20 20", 20, 20},
        {4, 3, "scale a 41 7", 41, 7},
        {40, 30, "scale a 20 0", 20, 15},
        {40, 30, "scale a 0 45", 60, 45},
        {3, 2, "scale a 0 1", 2, 1}, // 1.5 rounds up
        {1, 50, "scale a 0 7", 1, 7},
        {50, 1, "scale a 3 0", 3, 1}, // never below 1
        {1, 1, "scale a 65535 1", 65535, 1},
        {40, 30, "scale a 40 30", 40, 30},
    };
    for (const SizeCase& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, positionImage(c.width, c.height));
        const Outcome o = execLine(ctx, c.line);
        EXPECT_EQ(o.result, 0) << c.line;
        EXPECT_EQ(o.output, "") << c.line;
        EXPECT_EQ(ctx.imageAt(0)->width, c.toWidth) << c.width << "x" << c.height << " " << c.line;
        EXPECT_EQ(ctx.imageAt(0)->height, c.toHeight) << c.width << "x" << c.height << " " << c.line;
    }
}

TEST(FitAndScale, ResultIsTheResampledImageAndASizeKeptLeavesTheImage) {
    ScriptContext ctx;
    ctx.setImage(0, positionImage(40, 30));
    const ImagePtr expected = resampleImage(*ctx.imageAt(0), 20, 15);
    ASSERT_EQ(execLine(ctx, "fit a 20 20").result, 0);
    EXPECT_EQ(bytesOf(*ctx.imageAt(0)), bytesOf(*expected));
    // Nothing to do: the very same image stays in the variable.
    for (const char* line :
         {"fit a 20 15", "fit a 100 100", "scale a 20 15", "scale a 20 0", "scale a 0 15"}) {
        const Image* before = ctx.imageAt(0);
        ASSERT_EQ(execLine(ctx, line).result, 0) << line;
        EXPECT_EQ(ctx.imageAt(0), before) << line;
    }
}

struct RefusalCase {
    const char* line;
    int result;
    const char* message;
};

TEST(FitAndScale, RefuseBadSizesAndKeepTheVariable) {
    const RefusalCase cases[] = {
        {"fit a 0 5", 2, "invalid size for fit"},
        {"fit a 5 0", 2, "invalid size for fit"},
        {"fit a 65536 5", 2, "invalid size for fit"},
        {"fit a -1 5", 2, "invalid size for fit"},
        {"fit a x 5", 2, "invalid size for fit"},
        {"scale a 0 0", 2, "invalid size for scale"},
        {"scale a -1 5", 2, "invalid size for scale"},
        {"scale a 5 65536", 2, "invalid size for scale"},
        // 100 x 1 kept in ratio to a height of 65535 would be 6553500 wide.
        {"scale a 0 65535", 2, "invalid size for scale"},
        {"fit b 5 5", 1, "No image to fit"},
        {"scale b 5 5", 1, "No image to scale"},
    };
    for (const RefusalCase& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, positionImage(100, 1));
        const Image* before = ctx.imageAt(0);
        const Outcome o = execLine(ctx, c.line);
        EXPECT_EQ(o.result, c.result) << c.line;
        EXPECT_EQ(lineCount(o.output), 1u) << c.line;
        EXPECT_NE(o.output.find(c.message), std::string::npos) << c.line << ": " << o.output;
        EXPECT_EQ(ctx.imageAt(0), before) << c.line;
        EXPECT_EQ(ctx.imageAt(1), nullptr) << c.line;
    }
}

TEST(FitAndScale, ImagesWithoutPixels) {
    // fit leaves them as they are; scale has no colour to scale from and refuses.
    for (const char* line : {"fit a 5 5", "scale a 5 5", "scale a 0 5"}) {
        ScriptContext ctx;
        ctx.setImage(0, createImage(0, 7));
        const Image* before = ctx.imageAt(0);
        const Outcome o = execLine(ctx, line);
        const bool fit = std::string(line).starts_with("fit");
        EXPECT_EQ(o.result, fit ? 0 : 1) << line;
        EXPECT_EQ(o.output.find("no pixels to scale") != std::string::npos, !fit) << line;
        EXPECT_EQ(ctx.imageAt(0), before) << line;
    }
}

TEST(FitAndScale, ResultKeepsTheMetadata) {
    const MetadataPtr blocks = makeMetadata({1, 2, 3}, {'I', 'I', 42, 0}, {'<', 'x'});
    for (const char* line : {"fit a 5 5", "scale a 3 9", "scale a 0 2"}) {
        ScriptContext ctx;
        ctx.setImage(0, positionImage(20, 10));
        ctx.imageAt(0)->metadata = blocks;
        ASSERT_EQ(execLine(ctx, line).result, 0) << line;
        EXPECT_EQ(ctx.imageAt(0)->metadata, blocks) << line;
    }
}

} // namespace

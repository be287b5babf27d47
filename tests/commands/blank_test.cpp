// blank: a new opaque black image of 1 to 65535 pixels each way.

#include "tests/support/exec.h"

#include <gtest/gtest.h>

namespace {

TEST(Blank, CreatesOpaqueBlackImagesWithinTheSizeBounds) {
    ScriptContext ctx;
    ctx.lineNumber = 1;
    Outcome o = execLine(ctx, "blank a 1 1");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.output, "");
    ASSERT_NE(ctx.imageAt(0), nullptr);
    EXPECT_EQ(bytesOf(*ctx.imageAt(0)), (std::vector<std::uint8_t>{0, 0, 0, 255}));
    EXPECT_EQ(execLine(ctx, "blank B 65535 1").result, 0);
    EXPECT_EQ(ctx.imageAt(1)->width, 65535u);
    EXPECT_EQ(execLine(ctx, "blank c 3 65535").result, 0);
}

// Sizes from 1 to 65535 only, converted as the C library converts them (4294967296 wraps to 0). The message
// is pinned by the script case tests/e2e/housekeeping/info_and_blank.script.
TEST(Blank, RefusesBadSizesAndKeepsTheVariable) {
    ScriptContext ctx;
    execLine(ctx, "blank a 2 2");
    const Image* before = ctx.imageAt(0);
    for (const char* line :
         {"blank a 0 5", "blank a 5 0", "blank a 65536 5", "blank a 5 65536", "blank a -3 5", "blank a x 8",
          "blank a 4294967296 8", "blank a 99999999999999999999 3"}) {
        Outcome o = execLine(ctx, line);
        EXPECT_EQ(o.result, 2) << line;
        EXPECT_EQ(lineCount(o.output), 1u) << line;
        EXPECT_EQ(ctx.imageAt(0), before) << line;
    }
}

} // namespace

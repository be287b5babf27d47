// darken through its fast path: a 16-bit multiplier stands for the table of trunc(c * amount) only when it
// gives every byte's entry, 255 included.

#include "tests/support/exec.h"

#include <gtest/gtest.h>

namespace {

TEST(Darken, TheFastMultiplierHoldsForFullBytesToo) {
    // 255 times the single-precision amount just above 1/255 truncates to 1; a multiplier checked only up to
    // 254 would give 0 there.
    ScriptContext ctx;
    for (const char* line : {"blank a 4 1", "fill a 0 0 3 0 255 255 255 255", "darken a 0.00392156862745098"})
        ASSERT_EQ(execLine(ctx, line).output, "") << line;
    for (std::uint32_t x = 0; x < 4; ++x)
        EXPECT_EQ(pixelAt(*ctx.imageAt(0), x, 0), (Rgba{1, 1, 1, 255})) << x;
}

} // namespace

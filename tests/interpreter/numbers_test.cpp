// Integer tokens are decimal whatever their prefix: a leading zero is not octal and 0x is not hex.

#include "interpreter/numbers.h"
#include "tests/support/exec.h"

#include <gtest/gtest.h>

namespace {

TEST(Numbers, IntegersAreAlwaysDecimal) {
    const struct {
        const char* text;
        int value;
    } cases[] = {{"010", 10}, {"08", 8}, {"0x10", 0}, {"-0x1", 0}, {"0X7f", 0}, {"  -007", -7}, {"0b1", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(parseInt(c.text), c.value) << c.text;
}

TEST(Numbers, AScriptSizeWithALeadingZeroOrHexPrefixIsDecimal) {
    ScriptContext ctx;
    ctx.lineNumber = 2;
    Outcome o = execLine(ctx, "blank a 010 0x10");
    EXPECT_EQ(o.result, 2);
    EXPECT_EQ(o.output, "Error (line 2): invalid size for blank image\n");
    EXPECT_EQ(execLine(ctx, "blank a 010 09").result, 0);
    EXPECT_EQ(execLine(ctx, "info a").output, "Image size 10 9\n");
}

} // namespace

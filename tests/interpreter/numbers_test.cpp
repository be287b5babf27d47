// Integer tokens convert as the C library converts them, always in decimal: a leading zero is not octal,
// 0x is not hex, text stops the number, and values beyond an int keep their low 32 bits. The same in a
// script is pinned by the script case tests/e2e/runner/decimal_numbers.script.

#include "interpreter/numbers.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

TEST(Numbers, IntegersAreDecimalAndKeepTheirLow32Bits) {
    const struct {
        const char* text;
        int value;
    } cases[] = {{"010", 10},
                 {"08", 8},
                 {"0x10", 0},
                 {"-0x1", 0},
                 {"0X7f", 0},
                 {"  -007", -7},
                 {"0b1", 0},
                 {"+3", 3},
                 {"12px", 12},
                 {"x", 0},
                 {"4294967297", 1},
                 {"4294967296", 0},
                 {"-4294967297", -1},
                 {"99999999999999999999", -1},
                 {"2147483648", INT_MIN}};
    for (const auto& c : cases)
        EXPECT_EQ(parseInt(c.text), c.value) << c.text;
}

} // namespace

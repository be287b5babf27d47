// Rotate and warp against mappings worked out apart from the program (tests/tools/rotate_warp_expected.py):
// every swirl and pinch from 1 x 1 to 40 x 40, many other sizes and one large enough to notice the smallest
// change of a constant, and rotations by sixteen angles. Each source pixel names its own position.

#include "tests/support/exec.h"
#include "tests/support/process.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

namespace {

std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t hash = 0xCBF29CE484222325u;
    for (const std::uint8_t b : bytes) {
        hash ^= b;
        hash *= 0x100000001B3u;
    }
    return hash;
}

TEST(RotateWarpExpected, EveryCaseGivesTheExpectedBytes) {
    std::ifstream in(sourceDir() / "tests" / "data" / "rotate_warp_expected.txt");
    ASSERT_TRUE(in) << "missing expected data";
    std::string verb;
    std::string argument;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::string hash;
    int cases = 0;
    while (in >> verb >> argument >> width >> height >> hash) {
        ScriptContext ctx;
        ctx.setImage(0, makeImage(width, height, [](std::uint32_t x, std::uint32_t y) {
                         return Rgba{static_cast<std::uint8_t>(x % 256), static_cast<std::uint8_t>(y % 256),
                                     static_cast<std::uint8_t>(17 + 16 * (x / 256) + y / 256), 200};
                     }));
        const std::string line = verb + " a " + argument;
        ASSERT_EQ(execLine(ctx, line).result, 0) << line;
        std::ostringstream got;
        got << std::hex;
        got.width(16);
        got.fill('0');
        got << fnv1a(bytesOf(*ctx.imageAt(0)));
        EXPECT_EQ(got.str(), hash) << line << " on " << width << "x" << height;
        ++cases;
    }
    EXPECT_EQ(cases, 416);
}

} // namespace

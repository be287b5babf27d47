// The conversions between the straight colour of files and the premultiplied colour of images, which every
// file format goes through: worked examples, and properties over every pair of bytes that hold whatever the
// arithmetic inside. The row conversions built on them are checked through the TGA reader and writer
// (tests/tga/).

#include "image/straight_colour.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

using Byte = std::uint8_t;

TEST(StraightColour, PremultiplyWorkedExamples) {
    // c * a / 255 in integers gives 13 for 195 at 17; the double-precision product falls just short of 13.
    EXPECT_EQ(premultiplyFormula(195, 17), 12);
    EXPECT_EQ(premultiplyFormula(128, 128), 64);
    EXPECT_EQ(premultiplyFormula(200, 100), 78);
    EXPECT_EQ(premultiplyFormula(255, 128), 128);
    EXPECT_EQ(premultiplyFormula(77, 255), 77);
    EXPECT_EQ(premultiplyFormula(77, 0), 0);
}

// Never above the colour or the alpha, the same either way round, never smaller for a larger colour, and
// the integer quotient c * a / 255 or one less; one less for exactly 154 pairs, none with c or a at 255
// (full alpha leaves every colour as it is, which the opaque conversions rely on).
TEST(StraightColour, PremultiplyStaysWithinOneBelowTheIntegerQuotient) {
    int belowQuotient = 0;
    for (int a = 0; a < 256; ++a)
        for (int c = 0; c < 256; ++c) {
            const int p = premultiplyFormula(static_cast<Byte>(c), static_cast<Byte>(a));
            const int quotient = c * a / 255;
            ASSERT_LE(p, std::min(c, a)) << c << " " << a;
            ASSERT_EQ(p, premultiplyFormula(static_cast<Byte>(a), static_cast<Byte>(c))) << c << " " << a;
            if (c > 0) {
                ASSERT_GE(p, premultiplyFormula(static_cast<Byte>(c - 1), static_cast<Byte>(a)))
                    << c << " " << a;
            }
            ASSERT_TRUE(p == quotient || p == quotient - 1) << c << " " << a;
            if (p != quotient) {
                ++belowQuotient;
                EXPECT_TRUE(c != 255 && a != 255) << c << " " << a;
            }
        }
    EXPECT_EQ(belowQuotient, 154);
}

TEST(StraightColour, StraightColourWorkedExamples) {
    EXPECT_EQ(straightColourFormula(100, 128), 199);
    EXPECT_EQ(straightColourFormula(100, 200), 127);
    EXPECT_EQ(straightColourFormula(50, 51), 250);
    EXPECT_EQ(straightColourFormula(1, 2), 127);
    EXPECT_EQ(straightColourFormula(7, 255), 7);
    // Colour above its alpha is capped.
    EXPECT_EQ(straightColourFormula(200, 100), 255);
}

// Zero alpha keeps the stored colour, full alpha keeps every colour, colour at or above its alpha gives 255,
// a larger colour never gives less, and a straight colour premultiplied and stored again never comes back
// larger (a little may be lost: 200 at alpha 128 loads as 100 and is stored as 199). Every alpha is stored
// as it is.
TEST(StraightColour, StoringNeverGainsWhatPremultiplyingLost) {
    for (int a = 0; a < 256; ++a) {
        const auto alpha = static_cast<Byte>(a);
        EXPECT_EQ(straightAlphaFormula(alpha), a);
        for (int c = 0; c < 256; ++c) {
            const auto colour = static_cast<Byte>(c);
            const int s = straightColourFormula(colour, alpha);
            if (a == 0 || a == 255) {
                ASSERT_EQ(s, c) << c << " " << a;
            } else if (c >= a) {
                ASSERT_EQ(s, 255) << c << " " << a;
            }
            if (c > 0) {
                ASSERT_GE(s, straightColourFormula(static_cast<Byte>(c - 1), alpha)) << c << " " << a;
            }
            if (a > 0) {
                ASSERT_LE(straightColourFormula(premultiplyFormula(colour, alpha), alpha), c)
                    << c << " " << a;
            }
        }
    }
}

// The tables are indexed by alpha * 256 + colour.
TEST(StraightColour, TablesAreIndexedByAlphaThenColour) {
    const StraightColourTables& t = straightColourTables();
    EXPECT_EQ(t.premultiply[17 * 256 + 195], 12);
    EXPECT_EQ(t.premultiply[195 * 256 + 17], 12);
    EXPECT_EQ(t.straightColour[128 * 256 + 100], 199);
    EXPECT_EQ(t.straightColour[100 * 256 + 128], 255);
    EXPECT_EQ(t.straightAlpha[200], 200);
}

} // namespace

// The EXIF orientation tag: found in either byte order wherever it stands in the first directory, and a
// missing, malformed or out-of-range tag read as none and left alone.

#include "formats/exif_orientation.h"

#include <gtest/gtest.h>

namespace {

// An EXIF block whose first directory holds a tag before the orientation and the orientation itself.
std::vector<std::uint8_t> exifWith(bool big, std::uint16_t value, std::uint16_t type = 3,
                                   std::uint32_t count = 1) {
    std::vector<std::uint8_t> b;
    auto put = [&](std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) {
            const int shift = 8 * (big ? n - 1 - i : i);
            b.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    };
    b.push_back(big ? 'M' : 'I');
    b.push_back(big ? 'M' : 'I');
    put(42, 2);
    put(8, 4);
    put(2, 2);   // two entries:
    put(271, 2); // the camera's maker, an ASCII string after the directory
    put(2, 2);
    put(6, 4);
    put(38, 4);
    put(274, 2); // and the orientation
    put(type, 2);
    put(count, 4);
    put(value, 2);
    put(0, 2);
    put(0, 4);
    for (const char c : {'C', 'a', 'm', 'e', 'r', 'a'})
        b.push_back(static_cast<std::uint8_t>(c));
    return b;
}

TEST(ExifOrientation, ReadInBothByteOrders) {
    for (const bool big : {false, true}) {
        for (std::uint16_t v = 1; v <= 8; ++v)
            EXPECT_EQ(exifOrientation(exifWith(big, v)), v) << big;
    }
}

TEST(ExifOrientation, MissingMalformedOrOutOfRangeIsNone) {
    std::vector<std::uint8_t> cut = exifWith(false, 6);
    cut.resize(30); // inside the orientation entry
    std::vector<std::uint8_t> farDirectory = exifWith(true, 6);
    farDirectory[7] = 200; // the first directory past the end
    std::vector<std::uint8_t> badHeader = exifWith(false, 6);
    badHeader[2] = 43;
    const std::vector<std::uint8_t> outOfRange[] = {exifWith(false, 0), exifWith(false, 9),
                                                    exifWith(true, 0xFFFF)};
    for (const auto& exif : outOfRange)
        EXPECT_EQ(exifOrientation(exif), 0);
    // A malformed block is neither read nor changed.
    const std::vector<std::uint8_t> malformed[] = {
        {},
        exifWith(false, 6, 4),   // a LONG, not a SHORT
        exifWith(true, 6, 3, 2), // two values
        cut,
        farDirectory,
        badHeader,
    };
    for (const auto& exif : malformed) {
        EXPECT_EQ(exifOrientation(exif), 0);
        std::vector<std::uint8_t> marked = exif;
        markExifUpright(marked);
        EXPECT_EQ(marked, exif);
    }
}

TEST(ExifOrientation, MarkedUprightChangesOnlyTheValue) {
    for (const bool big : {false, true}) {
        const std::vector<std::uint8_t> before = exifWith(big, 6);
        std::vector<std::uint8_t> after = before;
        markExifUpright(after);
        EXPECT_EQ(exifOrientation(after), 1);
        EXPECT_EQ(after, exifWith(big, 1));
    }
}

} // namespace

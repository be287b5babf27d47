// read turns a picture upright by its EXIF orientation, in every format that carries one, with exactly the
// pixels an exact turn of the stored picture gives, and keeps the EXIF block with orientation 1.

#include "formats/codecs.h"
#include "formats/exif_orientation.h"
#include "formats/image_file.h"
#include "image/orientation.h"
#include "tests/support/exec.h"
#include "tests/support/jpeg_files.h"
#include "tests/support/process.h"

#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

// A little-endian EXIF block with the orientation and the camera's maker after it.
std::vector<std::uint8_t> exifOriented(int orientation) {
    return {'I', 'I', 42, 0, 8, 0, 0, 0, 2,
            0, // header, two entries
            15,  1,   2,  0, 4, 0, 0, 0, 'A',
            'c', 'm', 0, // the maker, "Acm"
            18,  1,   3,  0, 1, 0, 0, 0, static_cast<std::uint8_t>(orientation),
            0,   0,   0, // the orientation
            0,   0,   0,  0};
}

// The bytes an encoder writes for an image.
template <typename Encode> Bytes encoded(const Image& image, Encode encode) {
    char name[] = "/tmp/chromaloom-orientation-XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(encode(image, fd));
    ::close(fd);
    const std::string file = readFile(name);
    ::unlink(name);
    return Bytes(file.begin(), file.end());
}

// A JPEG file with an APP1 EXIF marker right after its start.
Bytes withExifMarker(Bytes jpeg, const std::vector<std::uint8_t>& exif) {
    Bytes marker = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    marker.insert(marker.end(), exif.begin(), exif.end());
    const std::size_t length = marker.size() - 2;
    marker[2] = static_cast<std::uint8_t>(length >> 8);
    marker[3] = static_cast<std::uint8_t>(length);
    jpeg.insert(jpeg.begin() + 2, marker.begin(), marker.end());
    return jpeg;
}

bool samePixels(const Image& a, const Image& b) {
    return a.width == b.width && a.height == b.height &&
           std::memcmp(a.pixels.get(), b.pixels.get(), a.byteCount()) == 0;
}

TEST(ReadOrientation, EveryOrientationOfEveryFormatIsTheExactTurn) {
    // Odd sides, so that a turn that swaps or mirrors wrongly cannot give the same pixels.
    const ImagePtr stored = positionImage(5, 3);
    for (int orientation = 0; orientation <= 9; ++orientation) {
        // 0 and 9 are out of range: the pixels stay as stored.
        const bool turns = orientation >= 2 && orientation <= 8;
        ImagePtr tagged = cloneImage(*stored);
        tagged->metadata = makeMetadata({}, exifOriented(orientation), {});
        const struct {
            const char* format;
            Bytes plain;
            Bytes file;
        } files[] = {
            {"PNG", encoded(*stored, encodePng), encoded(*tagged, encodePng)},
            {"WebP", encoded(*stored, [](const Image& i, int fd) { return encodeWebp(i, 0, fd); }),
             encoded(*tagged, [](const Image& i, int fd) { return encodeWebp(i, 0, fd); })},
            {"JPEG", makeJpeg(JpegKind::Colour444, 5, 3),
             withExifMarker(makeJpeg(JpegKind::Colour444, 5, 3), exifOriented(orientation))},
        };
        for (const auto& f : files) {
            const LoadResult plain = decodeImageFile(f.plain.data(), f.plain.size());
            const LoadResult read = decodeImageFile(f.file.data(), f.file.size());
            ASSERT_NE(plain.image, nullptr) << f.format << plain.reason;
            ASSERT_NE(read.image, nullptr) << f.format << read.reason;
            const ImagePtr expected =
                turns ? orientedImage(*plain.image, orientation) : cloneImage(*plain.image);
            EXPECT_TRUE(samePixels(*read.image, *expected)) << f.format << " orientation " << orientation;
            ASSERT_NE(read.image->metadata, nullptr) << f.format;
            const std::vector<std::uint8_t>& kept = read.image->metadata->exif();
            EXPECT_EQ(exifOrientation(kept), orientation >= 1 && orientation <= 8 ? 1 : 0) << f.format;
            // Everything but the orientation's value is kept byte for byte.
            std::vector<std::uint8_t> original = exifOriented(orientation);
            ASSERT_EQ(kept.size(), original.size()) << f.format;
            if (orientation >= 1 && orientation <= 8)
                original[30] = 1;
            EXPECT_EQ(kept, original) << f.format;
        }
    }
}

// A malformed EXIF block reads as no orientation and is kept as it is.
TEST(ReadOrientation, AMalformedBlockChangesNothing) {
    std::vector<std::uint8_t> exif = exifOriented(6);
    exif[4] = 200; // the directory beyond the block
    const Bytes file = withExifMarker(makeJpeg(JpegKind::Colour444, 5, 3), exif);
    const LoadResult read = decodeImageFile(file.data(), file.size());
    ASSERT_NE(read.image, nullptr) << read.reason;
    EXPECT_EQ(read.image->width, 5u);
    ASSERT_NE(read.image->metadata, nullptr);
    EXPECT_EQ(read.image->metadata->exif(), exif);
}

} // namespace

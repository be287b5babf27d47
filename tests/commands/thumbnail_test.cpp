// thumbnail: on a file of every format the program reads it gives what read then fit give, the same bytes
// where the file is read whole, and nearly the same where JPEG and WebP are decoded shrunk (at each of
// JPEG's DCT scalings); the EXIF orientation turns the box; its messages are read's, and a failure keeps
// the variable.

#include "formats/heif.h"
#include "formats/image_file.h"
#include "image/resample.h"
#include "interpreter/command.h"
#include "system/memory_budget.h"
#include "tests/support/exec.h"
#include "tests/support/process.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

Command& fitCommand();
Command& thumbnailCommand();

namespace {

// A smooth picture with some hard edges and every alpha, colour premultiplied (detail much finer than the
// box would differ more: shrunk decoding averages what the Lanczos filter rings at).
ImagePtr picture(std::uint32_t width, std::uint32_t height, bool opaque) {
    return makeImage(width, height, [&](std::uint32_t x, std::uint32_t y) {
        const auto a = static_cast<std::uint8_t>(opaque ? 255 : 128 + (x + y) % 128);
        const auto r = static_cast<std::uint8_t>((x * 255 / width) * a / 255);
        const auto g = static_cast<std::uint8_t>((y * 255 / height) * a / 255);
        const auto b = static_cast<std::uint8_t>(((x / 32 + y / 32) % 2 == 0 ? 200 : 40) * a / 255);
        return Rgba{r, g, b, a};
    });
}

// EXIF with only the orientation tag.
std::vector<std::uint8_t> exifWithOrientation(std::uint8_t orientation) {
    return {'I', 'I', 42, 0, 8,           0, 0, 0, 1, 0, 0x12, 0x01, 3, 0,
            1,   0,   0,  0, orientation, 0, 0, 0, 0, 0, 0,    0,    0, 0};
}

double meanDifference(const Image& a, const Image& b) {
    double total = 0;
    for (std::size_t i = 0; i < a.byteCount(); ++i)
        total += std::abs(int{a.pixels[i]} - int{b.pixels[i]});
    return total / static_cast<double>(a.byteCount());
}

// read then fit, through the verbs.
ImagePtr readAndFit(const std::string& file, const std::string& box) {
    ScriptContext ctx;
    EXPECT_EQ(execLine(ctx, "read a " + file).result, 0) << file;
    EXPECT_EQ(execLine(ctx, "fit a " + box).result, 0) << file;
    return ctx.imageAt(0) != nullptr ? cloneImage(*ctx.imageAt(0)) : createImage(0, 0);
}

ImagePtr thumbnail(const std::string& file, const std::string& box) {
    ScriptContext ctx;
    const Outcome o = execLine(ctx, "thumbnail a " + file + " " + box);
    EXPECT_EQ(o.result, 0) << file << ": " << o.output;
    return ctx.imageAt(0) != nullptr ? cloneImage(*ctx.imageAt(0)) : createImage(0, 0);
}

TEST(Thumbnail, FormatsReadWholeGiveReadAndFitByteForByte) {
    fitCommand();
    thumbnailCommand();
    TempDir dir;
    const ImagePtr source = picture(61, 40, false);
    const ImagePtr opaque = picture(61, 40, true);
    std::vector<std::string> files;
    for (const char* name : {"png:p.png", "pam:p.pam", "tga:p.tga", "tif:p.tif"}) {
        const char* colon = std::strchr(name, ':');
        const std::string path = (dir / (colon + 1)).string();
        ASSERT_EQ(saveImageFile((std::string(name, colon + 1) + path).c_str(), *source), "") << name;
        files.push_back(path);
    }
    ASSERT_EQ(saveImageFile(("ppm:" + (dir / "p.ppm").string()).c_str(), *opaque), "");
    files.push_back((dir / "p.ppm").string());
    files.push_back(std::string(CHROMALOOM_SOURCE_DIR) + "/tests/data/gif/interlaced.gif");
    files.push_back(std::string(CHROMALOOM_SOURCE_DIR) + "/tests/data/bmp/rgb24-header40.bmp");
    // HEIF and AVIF are read whole too (the file's own rotation applied), its thumbnails aside.
    files.push_back(std::string(CHROMALOOM_SOURCE_DIR) + "/tests/data/heif/heic-mirrored.heic");
    files.push_back(std::string(CHROMALOOM_SOURCE_DIR) + "/tests/data/heif/avif-lossless-rotated.avif");
    for (const std::string& file : files)
        for (const char* box : {"20 20", "7 30", "1 1", "1000 1000"}) {
            const ImagePtr expected = readAndFit(file, box);
            const ImagePtr got = thumbnail(file, box);
            ASSERT_EQ(got->width, expected->width) << file << " " << box;
            ASSERT_EQ(got->height, expected->height) << file << " " << box;
            EXPECT_EQ(bytesOf(*got), bytesOf(*expected)) << file << " " << box;
        }
}

struct ShrunkCase {
    const char* box;
    std::uint32_t decodedWidth; // what the decoder delivers of the 256 x 192 picture
};

TEST(Thumbnail, JpegIsDecodedAtEachDctScalingAndStaysCloseToReadAndFit) {
    TempDir dir;
    const std::string file = (dir / "p.jpg").string();
    ASSERT_EQ(saveImageFile(("jpg95:" + file).c_str(), *picture(256, 192, true)), "");
    const ShrunkCase cases[] = {
        {"32 32", 32},    // 1/8 gives the fitted size itself
        {"20 100", 32},   // 1/8 still covers 20 x 15
        {"40 40", 64},    // 1/8 would give 32 < 40: 1/4
        {"64 48", 64},    // exactly 1/4
        {"100 100", 128}, // 1/2
        {"129 500", 256}, // 1/2 would give 128 < 129: whole
        {"300 300", 256}, // inside the box: whole, unchanged
    };
    for (const ShrunkCase& c : cases) {
        unsigned w = 0, h = 0;
        ASSERT_EQ(std::sscanf(c.box, "%u %u", &w, &h), 2);
        const LoadResult loaded = loadImageFileScaled(file.c_str(), w, h);
        ASSERT_NE(loaded.image, nullptr) << c.box;
        EXPECT_EQ(loaded.image->width, c.decodedWidth) << c.box;
        EXPECT_EQ(loaded.fullWidth, 256u) << c.box;
        EXPECT_EQ(loaded.fullHeight, 192u) << c.box;

        const ImagePtr expected = readAndFit(file, c.box);
        const ImagePtr got = thumbnail(file, c.box);
        ASSERT_EQ(got->width, expected->width) << c.box;
        ASSERT_EQ(got->height, expected->height) << c.box;
        // The DCT scaling averages each 8 x 8 block where the Lanczos filter is sharper: the largest
        // difference comes where 1/8 gives the fitted size itself (on photographs it stays below 0.6).
        EXPECT_LT(meanDifference(*got, *expected), 3.0) << c.box;
        // The same bytes on every run.
        EXPECT_EQ(bytesOf(*thumbnail(file, c.box)), bytesOf(*got)) << c.box;
    }
}

TEST(Thumbnail, WebpIsDecodedAtTwiceTheFittedSize) {
    TempDir dir;
    for (const char* prefix : {"webp:", "webp90:"}) {
        const std::string file = (dir / "p.webp").string();
        ASSERT_EQ(saveImageFile((prefix + file).c_str(), *picture(256, 192, false)), "");
        const ShrunkCase cases[] = {{"40 40", 80}, {"100 75", 200}, {"128 128", 256}, {"500 500", 256}};
        for (const ShrunkCase& c : cases) {
            unsigned w = 0, h = 0;
            ASSERT_EQ(std::sscanf(c.box, "%u %u", &w, &h), 2);
            const LoadResult loaded = loadImageFileScaled(file.c_str(), w, h);
            ASSERT_NE(loaded.image, nullptr) << prefix << c.box;
            EXPECT_EQ(loaded.image->width, c.decodedWidth) << prefix << c.box;
            const ImagePtr expected = readAndFit(file, c.box);
            const ImagePtr got = thumbnail(file, c.box);
            ASSERT_EQ(got->width, expected->width) << prefix << c.box;
            ASSERT_EQ(got->height, expected->height) << prefix << c.box;
            EXPECT_LT(meanDifference(*got, *expected), 2.0) << prefix << c.box;
            for (std::size_t v = 0; v < got->byteCount(); v += 4)
                for (std::size_t k = 0; k < 3; ++k)
                    ASSERT_LE(got->pixels[v + k], got->pixels[v + 3]);
        }
    }
}

TEST(Thumbnail, OrientationTurnsTheBoxAndTheMetadataIsReads) {
    TempDir dir;
    for (const char* format : {"jpg95:", "webp:"}) {
        for (const int orientation : {1, 3, 6, 8}) {
            ImagePtr source = picture(256, 192, true);
            source->metadata = makeMetadata({}, exifWithOrientation(static_cast<std::uint8_t>(orientation)),
                                            {'<', 'x', '/', '>'});
            const std::string file = (dir / "o.img").string();
            ASSERT_EQ(saveImageFile((format + file).c_str(), *source), "");
            // A box taller than wide: turning it matters for which scaling covers the result.
            const ImagePtr expected = readAndFit(file, "30 60");
            const ImagePtr got = thumbnail(file, "30 60");
            const bool turned = orientation >= 5;
            EXPECT_EQ(got->width, 30u) << format << orientation;
            EXPECT_EQ(got->height, turned ? 40u : 23u) << format << orientation;
            ASSERT_EQ(got->width, expected->width);
            ASSERT_EQ(got->height, expected->height);
            EXPECT_LT(meanDifference(*got, *expected), 3.0) << format << orientation;
            // What the decoder delivered, turned upright, covers the result: it never enlarges.
            const LoadResult loaded = loadImageFileScaled(file.c_str(), 30, 60);
            ASSERT_NE(loaded.image, nullptr);
            EXPECT_GE(loaded.image->width, got->width) << format << orientation;
            EXPECT_GE(loaded.image->height, got->height) << format << orientation;
            EXPECT_EQ(loaded.fullWidth, turned ? 192u : 256u) << format << orientation;
            ASSERT_NE(got->metadata, nullptr);
            ASSERT_NE(expected->metadata, nullptr);
            EXPECT_EQ(got->metadata->exif(), expected->metadata->exif()) << format << orientation;
            EXPECT_EQ(got->metadata->xmp(), expected->metadata->xmp()) << format << orientation;
        }
    }
}

TEST(Thumbnail, FailuresAreReportedAsReadReportsThem) {
    TempDir dir;
    writeFile(dir / "short.tga", "0123456789abcdef");
    writeFile(dir / "cut.jpg", std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10));
    for (const bool strict : {false, true})
        for (const std::string& file :
             {(dir / "missing.png").string(), (dir / "short.tga").string(), (dir / "cut.jpg").string()}) {
            ScriptContext ctx;
            ctx.strict = strict;
            ctx.setImage(0, positionImage(3, 3));
            const Image* before = ctx.imageAt(0);
            const Outcome read = execLine(ctx, "read a " + file);
            const Outcome failed = execLine(ctx, "thumbnail a " + file + " 10 10");
            EXPECT_EQ(failed.result, 2) << file;
            EXPECT_EQ(failed.result, read.result) << file;
            EXPECT_EQ(failed.output, read.output) << file;
            EXPECT_EQ(lineCount(failed.output), 1u) << file;
            EXPECT_EQ(ctx.imageAt(0), before) << file;
        }
    ScriptContext ctx;
    for (const char* line :
         {"thumbnail a x.png 0 5", "thumbnail a x.png 5 65536", "thumbnail a x.png -4 5"}) {
        const Outcome o = execLine(ctx, line);
        EXPECT_EQ(o.result, 2) << line;
        EXPECT_NE(o.output.find("invalid size for thumbnail"), std::string::npos) << line;
        EXPECT_EQ(ctx.imageAt(0), nullptr) << line;
    }
}

TEST(Thumbnail, ShrunkDecodingNeedsLessMemory) {
    // A 2048 x 2048 JPEG read whole takes 16 MiB of pixels; shrunk to 1/8 for a 200 x 200 box it fits in a
    // budget of 4 MiB, where read does not.
    TempDir dir;
    const std::string file = (dir / "big.jpg").string();
    ASSERT_EQ(saveImageFile(("jpg:" + file).c_str(), *picture(2048, 2048, true)), "");
    setImageMemoryLimit(std::uint64_t{4} << 20);
    ScriptContext ctx;
    const std::string read = runLineCaptured(ctx, "read a " + file);
    const Outcome thumb = execLine(ctx, "thumbnail b " + file + " 200 200");
    setImageMemoryLimit(std::nullopt);
    EXPECT_NE(read.find("not enough memory"), std::string::npos) << read;
    EXPECT_EQ(ctx.imageAt(0), nullptr);
    EXPECT_EQ(thumb.result, 0) << thumb.output;
    ASSERT_NE(ctx.imageAt(1), nullptr);
    EXPECT_EQ(ctx.imageAt(1)->width, 200u);
}

} // namespace

namespace {

// A HEIF or AVIF file's own thumbnail serves when it covers the whole box (the file's is 10 x 6 beside its
// 24 x 16 picture); a box it does not cover takes the picture itself.
TEST(Thumbnail, HeifUsesTheFilesThumbnailWhenItCoversTheBox) {
    fitCommand();
    thumbnailCommand();
    const std::string file = std::string(CHROMALOOM_SOURCE_DIR) + "/tests/data/heif/avif-thumbnail.avif";
    const std::string bytes = readFile(file);
    ByteSource source(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::string reason;
    FoundMetadata found;
    const ImagePtr small = decodeHeifThumbnail(source, reason, found, 5, 5);
    ASSERT_NE(small, nullptr) << reason;
    ASSERT_EQ(small->width, 10u);
    const FitSize fitted = fitInside(small->width, small->height, 5, 5);
    const ImagePtr expected = resampleImage(*small, fitted.width, fitted.height);
    EXPECT_EQ(bytesOf(*thumbnail(file, "5 5")), bytesOf(*expected));
    // 8 x 8 is not covered by 10 x 6: the picture is read whole, as read and fit read it.
    EXPECT_EQ(bytesOf(*thumbnail(file, "8 8")), bytesOf(*readAndFit(file, "8 8")));
}

} // namespace

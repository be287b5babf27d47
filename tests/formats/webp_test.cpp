#include "formats/codecs.h"
#include "formats/image_file.h"
#include "image/straight_colour.h"
#include "system/memory_budget.h"
#include "tests/support/exec.h"
#include "tests/support/tga_file.h"
#include "tests/support/webp_files.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>
#include <webp/decode.h>

namespace {

namespace fs = std::filesystem;

LoadResult decodeBytes(const Bytes& file, std::size_t size) {
    return decodeImageFile(file.data(), size);
}
LoadResult decodeBytes(const Bytes& file) {
    return decodeBytes(file, file.size());
}

// The image a 32-bit TGA file of the same straight pixels reads as.
std::vector<std::uint8_t> asTga(const Bytes& rgba, unsigned width, unsigned height) {
    TgaFile f;
    f.width = static_cast<std::uint16_t>(width);
    f.height = static_cast<std::uint16_t>(height);
    f.pixelDepth = 32;
    f.descriptor = 8 | 0x20; // 8 alpha bits, top row first
    for (std::size_t i = 0; i < rgba.size(); i += 4)
        f.add({rgba[i + 2], rgba[i + 1], rgba[i], rgba[i + 3]});
    const ImagePtr image = decode(f.bytes());
    return image ? bytesOf(*image) : std::vector<std::uint8_t>{};
}

// The library's own decoding of a file, premultiplied by the reference formula.
std::vector<std::uint8_t> libraryDecode(const Bytes& file) {
    int width = 0;
    int height = 0;
    std::uint8_t* rgba = WebPDecodeRGBA(file.data(), file.size(), &width, &height);
    std::vector<std::uint8_t> out(rgba, rgba + std::size_t(width) * static_cast<std::size_t>(height) * 4);
    WebPFree(rgba);
    for (std::size_t i = 0; i < out.size(); i += 4)
        for (std::size_t c = 0; c < 3; ++c)
            out[i + c] = premultiplyFormula(out[i + c], out[i + 3]);
    return out;
}

// Lossy files decode as the library decodes them; lossless ones with alpha as a TGA file of the same
// straight pixels.
TEST(WebpReader, StillImagesDecodeAsTheLibraryAndTgaDecodeThem) {
    for (int quality : {80, 0}) {
        for (bool translucent : {false, true}) {
            SCOPED_TRACE(testing::Message() << "quality " << quality << (translucent ? ", alpha" : ""));
            const Bytes pixels = webpPattern(29, 17, translucent);
            const Bytes file = makeWebp(pixels, 29, 17, quality);
            const LoadResult loaded = decodeBytes(file);
            ASSERT_NE(loaded.image, nullptr) << loaded.reason;
            EXPECT_EQ(loaded.image->width, 29u);
            EXPECT_EQ(bytesOf(*loaded.image), quality == 0 ? asTga(pixels, 29, 17) : libraryDecode(file));
        }
    }
}

TEST(WebpReader, AnAnimationReadsAsItsFirstFrameOnTheCanvas) {
    const Bytes frame = webpPattern(6, 4, true);
    const LoadResult loaded = decodeBytes(makeAnimatedWebp(12, 9, frame, 6, 4, 4, 2));
    ASSERT_NE(loaded.image, nullptr) << loaded.reason;
    const std::vector<std::uint8_t> inside = asTga(frame, 6, 4);
    for (std::uint32_t y = 0; y < 9; ++y)
        for (std::uint32_t x = 0; x < 12; ++x) {
            const bool covered = x >= 4 && x < 10 && y >= 2 && y < 6;
            const std::size_t at = covered ? ((y - 2) * 6 + (x - 4)) * 4 : 0;
            const Rgba want =
                covered ? Rgba{inside[at], inside[at + 1], inside[at + 2], inside[at + 3]} : Rgba{};
            ASSERT_EQ(pixelAt(*loaded.image, x, y), want) << x << "," << y;
        }
}

TEST(WebpReader, TruncatedCorruptAndOversizedFilesAreRefused) {
    for (int quality : {0, 80}) {
        const Bytes file = makeWebp(webpPattern(20, 12, true), 20, 12, quality);
        for (std::size_t size = 12; size < file.size(); ++size)
            ASSERT_EQ(decodeBytes(file, size).reason, "WebP: file ends early") << "cut at " << size;
    }
    const Bytes animation = makeAnimatedWebp(12, 9, webpPattern(6, 4, true), 6, 4, 4, 2);
    EXPECT_EQ(decodeBytes(animation, animation.size() - 1).reason, "WebP: file ends early");

    // A simple lossless file: "VP8L" at 12, its size, the signature byte 0x2F at 20, then 14 bits of
    // width - 1 and 14 of height - 1.
    const Bytes lossless = makeWebp(webpPattern(20, 12, false), 20, 12, 0);
    ASSERT_EQ(lossless[20], 0x2F);
    Bytes badSignature = lossless;
    badSignature[20] = 0x2E;
    EXPECT_EQ(decodeBytes(badSignature).reason, "WebP: corrupt data");
    Bytes damaged = lossless;
    for (std::size_t i = 26; i < damaged.size(); ++i)
        damaged[i] = static_cast<std::uint8_t>(i * 37);
    EXPECT_EQ(decodeBytes(damaged).reason, "WebP: corrupt data");

    // 2000 x 1000: the image (7.6 MiB) fits under the cap, but not with the lossless decoder's own copy.
    Bytes large = lossless;
    std::uint32_t header = 0;
    for (std::size_t i = 0; i < 4; ++i)
        header |= std::uint32_t{large[21 + i]} << (8 * i);
    header = (header & 0xF0000000u) | (2000 - 1) | (1000 - 1) << 14;
    for (std::size_t i = 0; i < 4; ++i)
        large[21 + i] = static_cast<std::uint8_t>(header >> (8 * i));
    setImageMemoryLimit(imageBytesHeld() + (std::uint64_t{12} << 20));
    EXPECT_THROW(decodeBytes(large), std::bad_alloc);
    setImageMemoryLimit(std::nullopt);
}

// ---- Writing ----

Bytes encodeToBytes(const Image& image, int quality) {
    char name[] = "/tmp/webp_write_XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_TRUE(encodeWebp(image, quality, fd));
    Bytes out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(::pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    ::close(fd);
    ::unlink(name);
    return out;
}

// Random premultiplied pixels: opaque, translucent and transparent, colour under alpha 0 included.
ImagePtr randomImage(std::mt19937& random, std::uint32_t width, std::uint32_t height) {
    std::uniform_int_distribution<int> byte(0, 255);
    return makeImage(width, height, [&](std::uint32_t, std::uint32_t) -> Rgba {
        const int kind = byte(random) % 4;
        const auto a = static_cast<std::uint8_t>(kind == 0 ? 255 : kind == 1 ? 0 : byte(random));
        const auto& t = straightColourTables().premultiply;
        Rgba p{};
        for (int c = 0; c < 3; ++c)
            p[static_cast<std::size_t>(c)] = kind == 1 ? static_cast<std::uint8_t>(byte(random) % 3)
                                                       : t[a * 256 + static_cast<unsigned>(byte(random))];
        p[3] = a;
        return p;
    });
}

TEST(WebpWriter, LosslessWritesReadBackExactlyAsTgaDoes) {
    const fs::path dir = fs::temp_directory_path();
    const std::string tag = std::to_string(::getpid());
    const std::string webp = (dir / ("webp_round_" + tag + ".webp")).string();
    const std::string tga = (dir / ("webp_round_" + tag + ".tga")).string();
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        const auto width = static_cast<std::uint32_t>(1 + random() % 70);
        const auto height = static_cast<std::uint32_t>(1 + random() % 50);
        const ImagePtr image = randomImage(random, width, height);
        ASSERT_EQ(saveImageFile(("webp:" + webp).c_str(), *image), "");
        ASSERT_EQ(saveImageFile(("tga:" + tga).c_str(), *image), "");
        const LoadResult fromWebp = loadImageFile(webp.c_str());
        const LoadResult fromTga = loadImageFile(tga.c_str());
        ASSERT_NE(fromWebp.image, nullptr) << fromWebp.reason;
        ASSERT_NE(fromTga.image, nullptr);
        ASSERT_EQ(bytesOf(*fromWebp.image), bytesOf(*fromTga.image)) << "round " << round;
    }
    fs::remove(webp);
    fs::remove(tga);
}

TEST(WebpWriter, AnOpaqueImageIsWrittenWithoutAlpha) {
    std::mt19937 random(11);
    const ImagePtr translucent = randomImage(random, 48, 32);
    const ImagePtr opaque = makeImage(48, 32, [](std::uint32_t x, std::uint32_t y) -> Rgba {
        return {static_cast<std::uint8_t>(x * 5), static_cast<std::uint8_t>(y * 7), 90, 255};
    });
    WebPBitstreamFeatures features;
    for (int quality : {0, 50}) {
        const Bytes withAlpha = encodeToBytes(*translucent, quality);
        ASSERT_EQ(WebPGetFeatures(withAlpha.data(), withAlpha.size(), &features), VP8_STATUS_OK);
        EXPECT_EQ(features.has_alpha, 1);
        EXPECT_EQ(features.format, quality == 0 ? 2 : 1);
        const Bytes without = encodeToBytes(*opaque, quality);
        ASSERT_EQ(WebPGetFeatures(without.data(), without.size(), &features), VP8_STATUS_OK);
        EXPECT_EQ(features.has_alpha, 0);
    }
}

TEST(WebpWriter, LossyWritesCloseToTheOriginalAtTheQualityOfTheName) {
    std::uint32_t noise = 1;
    const ImagePtr image = makeImage(128, 96, [&](std::uint32_t x, std::uint32_t y) -> Rgba {
        noise = noise * 1103515245u + 12345u;
        return {static_cast<std::uint8_t>(x + (noise >> 28)), static_cast<std::uint8_t>(y * 2), 90, 255};
    });
    const fs::path path =
        fs::temp_directory_path() / ("webp_quality_" + std::to_string(::getpid()) + ".webp");
    ASSERT_EQ(saveImageFile(("webp10:" + path.string()).c_str(), *image), "");
    const auto low = fs::file_size(path);
    ASSERT_EQ(saveImageFile(("WEBP95:" + path.string()).c_str(), *image), "");
    EXPECT_LT(low * 2, fs::file_size(path));
    const LoadResult back = loadImageFile(path.c_str());
    fs::remove(path);
    ASSERT_NE(back.image, nullptr) << back.reason;
    double total = 0;
    for (std::uint32_t y = 0; y < 96; ++y)
        for (std::uint32_t x = 0; x < 128; ++x)
            for (std::size_t c = 0; c < 4; ++c) {
                const int error = std::abs(pixelAt(*back.image, x, y)[c] - pixelAt(*image, x, y)[c]);
                ASSERT_LE(error, 16) << x << "," << y;
                total += error;
            }
    EXPECT_LT(total / (128 * 96 * 3), 2.0);
}

TEST(WebpWriter, TheEncodersMemoryComesFromTheBudget) {
    std::mt19937 random(5);
    const ImagePtr image = randomImage(random, 512, 512); // 1 MiB
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    setImageMemoryLimit(imageBytesHeld() + (std::uint64_t{4} << 20));
    EXPECT_THROW(encodeWebp(*image, 0, null), std::bad_alloc); // lossless holds about 7 times the image
    EXPECT_TRUE(encodeWebp(*image, 80, null));                 // lossy about 1.6 times
    setImageMemoryLimit(std::nullopt);
    ::close(null);
}

TEST(WebpWriter, AFailedWriteIsReported) {
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    std::mt19937 random(3);
    EXPECT_FALSE(encodeWebp(*randomImage(random, 300, 200), 0, full));
    ::close(full);
}

} // namespace

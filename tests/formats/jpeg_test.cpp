#include "formats/codecs.h"
#include "formats/image_file.h"
#include "image/straight_colour.h"
#include "system/memory_budget.h"
#include "tests/support/exec.h"
#include "tests/support/jpeg_files.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

LoadResult decodeBytes(const Bytes& file, std::size_t size) {
    return decodeImageFile(file.data(), size);
}
LoadResult decodeBytes(const Bytes& file) {
    return decodeBytes(file, file.size());
}

// The colour the reader must give for the library's decoding of one pixel.
Rgba expectedPixel(const JpegSamples& s, std::size_t i) {
    const std::uint8_t* p = s.samples.data() + i * static_cast<std::size_t>(s.components);
    if (s.components == 1)
        return {p[0], p[0], p[0], 255};
    if (s.components == 3)
        return {p[0], p[1], p[2], 255};
    // CMYK: inverted values with the Adobe marker, plain ones without.
    const auto ink = [&](int c) { return s.adobe ? p[c] : 255 - p[c]; };
    const int k = ink(3);
    return {static_cast<std::uint8_t>(ink(0) * k / 255), static_cast<std::uint8_t>(ink(1) * k / 255),
            static_cast<std::uint8_t>(ink(2) * k / 255), 255};
}

struct Case {
    JpegKind kind;
    const char* name;
    bool adobe;
};

TEST(JpegReader, EveryVariantDecodesAsTheLibraryDecodesIt) {
    const Case cases[] = {
        {JpegKind::Grey, "grey", false},        {JpegKind::Colour444, "4:4:4", false},
        {JpegKind::Colour420, "4:2:0", false},  {JpegKind::Progressive, "progressive", false},
        {JpegKind::Cmyk, "CMYK (Adobe)", true}, {JpegKind::CmykPlain, "CMYK", false},
        {JpegKind::Ycck, "YCCK", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = makeJpeg(c.kind, 37, 21); // odd sizes: partial blocks and chroma pairs
        const JpegSamples reference = libraryDecode(file);
        ASSERT_EQ(reference.adobe, c.adobe);
        const LoadResult loaded = decodeBytes(file);
        ASSERT_NE(loaded.image, nullptr) << loaded.reason;
        const Image& image = *loaded.image;
        ASSERT_EQ(image.width, 37u);
        ASSERT_EQ(image.height, 21u);
        for (std::uint32_t i = 0; i < 37 * 21; ++i)
            ASSERT_EQ(pixelAt(image, i % 37, i / 37), expectedPixel(reference, i)) << "pixel " << i;
    }
}

TEST(JpegReader, AFileLongerThanOneReadBlockDecodesFromADescriptorAsFromMemory) {
    const Bytes file = makeJpeg(JpegKind::Colour444, 1200, 700, 100);
    ASSERT_GT(file.size(), std::size_t{1} << 20);
    const fs::path path = fs::temp_directory_path() / ("jpeg_block_" + std::to_string(::getpid()) + ".jpg");
    writeBytes(path.c_str(), file);
    const LoadResult fromFile = loadImageFile(path.c_str());
    fs::remove(path);
    const LoadResult fromMemory = decodeBytes(file);
    ASSERT_NE(fromFile.image, nullptr) << fromFile.reason;
    ASSERT_NE(fromMemory.image, nullptr);
    EXPECT_EQ(bytesOf(*fromFile.image), bytesOf(*fromMemory.image));
}

TEST(JpegReader, AFileCutAnywhereEndsEarly) {
    for (JpegKind kind : {JpegKind::Colour420, JpegKind::Progressive}) {
        const Bytes file = makeJpeg(kind, 40, 24);
        for (std::size_t size = 3; size < file.size(); ++size) {
            const LoadResult loaded = decodeBytes(file, size);
            ASSERT_EQ(loaded.image, nullptr) << "cut at " << size;
            ASSERT_EQ(loaded.reason, "JPEG: file ends early") << "cut at " << size;
        }
    }
}

// The offset of the first byte of a marker's segment (after FF and the code).
std::size_t segmentOf(const Bytes& file, std::uint8_t code) {
    for (std::size_t i = 2; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == code)
            return i + 2;
    ADD_FAILURE() << "no marker " << int{code};
    return 0;
}

TEST(JpegReader, BadFilesFailWithTheirReasonAndDamagedDataStillDecodes) {
    Bytes twelveBits = makeJpeg(JpegKind::Colour420, 16, 16);
    twelveBits[segmentOf(twelveBits, 0xC0) + 2] = 12; // sample precision
    EXPECT_EQ(decodeBytes(twelveBits).reason, "JPEG: Unsupported JPEG data precision 12");

    // A valid file, but of more scans than any encoder writes, each of which costs a pass over the image.
    EXPECT_EQ(decodeBytes(makeJpegWithManyScans()).reason, "JPEG: too many scans");

    // Damaged entropy-coded data is a warning: the image still comes out.
    Bytes damaged = makeJpeg(JpegKind::Colour420, 64, 64);
    for (std::size_t i = damaged.size() - 60; i < damaged.size() - 40; ++i)
        damaged[i] = static_cast<std::uint8_t>(damaged[i] * 7 + 1) & 0xFE;
    EXPECT_NE(decodeBytes(damaged).image, nullptr);
}

// A file whose header declares `width` x `height` pixels (its data then ends early).
Bytes declaringSize(JpegKind kind, unsigned width, unsigned height) {
    Bytes file = makeJpeg(kind, 16, 16);
    std::size_t sof = segmentOf(file, kind == JpegKind::Progressive ? 0xC2 : 0xC0);
    file[sof + 3] = static_cast<std::uint8_t>(height >> 8);
    file[sof + 4] = static_cast<std::uint8_t>(height);
    file[sof + 5] = static_cast<std::uint8_t>(width >> 8);
    file[sof + 6] = static_cast<std::uint8_t>(width);
    return file;
}

// Sets a cap on the memory of all images for the scope, and lifts it after.
struct MemoryCap {
    explicit MemoryCap(std::uint64_t bytes) { setImageMemoryLimit(imageBytesHeld() + bytes); }
    ~MemoryCap() { setImageMemoryLimit(std::nullopt); }
};

TEST(JpegReader, RefusesWhatDoesNotFitTheMemoryBudgetBeforeDecoding) {
    constexpr std::uint64_t MiB = std::uint64_t{1} << 20;
    MemoryCap cap(10 * MiB);
    // The image itself does not fit.
    EXPECT_THROW(decodeBytes(declaringSize(JpegKind::Colour420, 60000, 60000)), std::bad_alloc);
    // The image (7.6 MiB) fits, but not with the coefficients a progressive file is buffered as (5.8 MiB).
    EXPECT_THROW(decodeBytes(declaringSize(JpegKind::Progressive, 2000, 1000)), std::bad_alloc);
    // A baseline file of that size is decoded a few rows at a time: it fails only for its missing data.
    EXPECT_EQ(decodeBytes(declaringSize(JpegKind::Colour420, 2000, 1000)).reason,
              "JPEG: Corrupt JPEG data: premature end of data segment");
}

// A file cut short, and one too large for the memory budget: one line each (the messages are pinned by the
// script cases tests/e2e/files/damaged_files.script and geometry/resize.script), and the variable keeps
// its image.
TEST(JpegReader, AFailedReadIsReportedOnItsLineAndTheScriptGoesOn) {
    const fs::path dir = fs::temp_directory_path();
    const std::string tag = std::to_string(::getpid());
    const fs::path good = dir / ("jpeg_good_" + tag + ".jpg");
    const fs::path cut = dir / ("jpeg_cut_" + tag + ".jpg");
    const fs::path huge = dir / ("jpeg_huge_" + tag + ".jpg");
    const Bytes file = makeJpeg(JpegKind::Colour420, 20, 10);
    writeBytes(good.c_str(), file);
    writeBytes(cut.c_str(), Bytes(file.begin(), file.begin() + static_cast<long>(file.size() / 2)));
    writeBytes(huge.c_str(), declaringSize(JpegKind::Colour420, 65000, 65000));

    ScriptContext ctx;
    EXPECT_EQ(runLineCaptured(ctx, "read a " + good.string()), "");
    const Image* before = ctx.imageAt(0);
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(lineCount(runLineCaptured(ctx, "read a " + cut.string())), 1u);
    {
        MemoryCap cap(std::uint64_t{64} << 20);
        EXPECT_EQ(lineCount(runLineCaptured(ctx, "read a " + huge.string())), 1u);
    }
    EXPECT_EQ(ctx.imageAt(0), before);
    EXPECT_EQ(before->width, 20u);
    EXPECT_EQ(before->height, 10u);
    for (const fs::path& p : {good, cut, huge})
        fs::remove(p);
}

// ---- Writing ----

Bytes encodeToBytes(const Image& image, int quality) {
    char name[] = "/tmp/jpeg_write_XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_TRUE(encodeJpeg(image, quality, fd));
    Bytes out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(::pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    ::close(fd);
    ::unlink(name);
    return out;
}

// Smooth colour with a band of translucent rows and a few transparent pixels.
ImagePtr translucentPicture() {
    return makeImage(64, 48, [](std::uint32_t x, std::uint32_t y) -> Rgba {
        const auto r = static_cast<std::uint8_t>(x * 4);
        const auto g = static_cast<std::uint8_t>(y * 5);
        const auto b = static_cast<std::uint8_t>(200 - x - y);
        if (y < 16 || y >= 32)
            return {r, g, b, 255};
        const auto a = static_cast<std::uint8_t>(128 + y);
        const auto& t = straightColourTables().premultiply;
        return {t[a * 256 + r], t[a * 256 + g], t[a * 256 + b], a};
    });
}

TEST(JpegWriter, WritesTheStraightColourCloseToTheOriginal) {
    const ImagePtr image = translucentPicture();
    const LoadResult back = decodeBytes(encodeToBytes(*image, 95));
    ASSERT_NE(back.image, nullptr) << back.reason;
    double total = 0;
    for (std::uint32_t y = 0; y < 48; ++y)
        for (std::uint32_t x = 0; x < 64; ++x) {
            Rgba straight;
            straightenPixels(image->pixel(x, y), 1, straight.data(), ChannelOrder::Rgba);
            const Rgba got = pixelAt(*back.image, x, y);
            EXPECT_EQ(got[3], 255);
            for (std::size_t c = 0; c < 3; ++c) {
                const int error = std::abs(got[c] - straight[c]);
                EXPECT_LE(error, 12) << x << "," << y;
                total += error;
            }
        }
    EXPECT_LT(total / (64 * 48 * 3), 2.0);
}

TEST(JpegWriter, TheQualityInTheNameSetsTheCompression) {
    std::uint32_t noise = 1;
    const ImagePtr image = makeImage(128, 128, [&](std::uint32_t x, std::uint32_t y) -> Rgba {
        noise = noise * 1103515245u + 12345u;
        return {static_cast<std::uint8_t>(x + (noise >> 27)), static_cast<std::uint8_t>(y), 50, 255};
    });
    const fs::path path = fs::temp_directory_path() / ("jpeg_quality_" + std::to_string(::getpid()) + ".jpg");
    ASSERT_EQ(saveImageFile(("jpg20:" + path.string()).c_str(), *image), "");
    const auto low = fs::file_size(path);
    ASSERT_EQ(saveImageFile(("JPEG95:" + path.string()).c_str(), *image), "");
    EXPECT_LT(low * 2, fs::file_size(path));
    fs::remove(path);
    const Bytes high = encodeToBytes(*image, 95);
    // Baseline, 4:2:0: the frame header is SOF0 with luma sampled 2 x 2.
    const std::size_t sof = segmentOf(high, 0xC0);
    EXPECT_EQ(high[sof + 7], 3);
    EXPECT_EQ(high[sof + 9], 0x22);
}

TEST(JpegWriter, AFailedWriteIsReported) {
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    EXPECT_FALSE(encodeJpeg(*translucentPicture(), 90, full));
    ::close(full);
}

} // namespace

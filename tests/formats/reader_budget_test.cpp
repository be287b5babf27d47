// Every buffer a reader or writer takes beside the image counts in the memory budget before it is taken.
// Each reader case is a small file that declares a picture whose image, or whose image and the reader's
// working memory together, do not fit a 64 MiB cap: the whole program refuses it as out of memory (or with
// the format's own reason where that comes first) and never holds much more than the cap. Each writer case
// writes an image that fills the cap all but a few bytes: a writer whose buffers are not counted would
// write the file; one whose buffers are counted refuses, and the file it was to replace stays as it was.

#include "system/sanitizers.h"
#include "tests/support/jpeg_files.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <string>
#include <tiffio.h>
#include <vector>

namespace {

constexpr char notEnoughMemory[] = "Error (line 1): not enough memory\n";

void putLe16(std::string& s, std::uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}

void putLe32(std::string& s, std::uint32_t v) {
    putLe16(s, v & 0xFFFF);
    putLe16(s, v >> 16);
}

void putBe32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
}

// A BMP header (file header and a 40-byte info header) for 32-bit uncompressed pixels, with no pixels.
std::string bmpHeader(std::uint32_t width, std::uint32_t height) {
    std::string s = "BM";
    putLe32(s, 54);
    putLe32(s, 0);
    putLe32(s, 54);
    putLe32(s, 40);
    putLe32(s, width);
    putLe32(s, height);
    putLe16(s, 1);
    putLe16(s, 32);
    for (int i = 0; i < 6; ++i)
        putLe32(s, 0);
    return s;
}

// A TGA header for uncompressed 32-bit true colour, with no pixels.
std::string tgaHeader(std::uint16_t width, std::uint16_t height) {
    std::string s(12, '\0');
    s[2] = 2;
    putLe16(s, width);
    putLe16(s, height);
    s += static_cast<char>(32);
    s += static_cast<char>(8);
    return s;
}

// A GIF whose logical screen is width x height, with a 1 x 1 frame whose data is missing.
std::string gifHeader(std::uint16_t width, std::uint16_t height) {
    std::string s = "GIF89a";
    putLe16(s, width);
    putLe16(s, height);
    s += std::string("\x80\0\0", 3); // a global table of 2 colours
    s += std::string("\0\0\0\xff\xff\xff", 6);
    s += ',';
    putLe32(s, 0);
    putLe16(s, 1);
    putLe16(s, 1);
    s += std::string("\0\x02", 2); // no local table; LZW minimum code size 2
    return s;
}

// A RIFF WebP file holding one chunk, padded to `padding` bytes of payload after `head`.
std::string webpFile(const char* chunk, const std::string& head, std::size_t padding) {
    std::string payload = head + std::string(padding, '\0');
    std::string s = "RIFF";
    putLe32(s, static_cast<std::uint32_t>(4 + 8 + payload.size()));
    s += "WEBP";
    s += chunk;
    putLe32(s, static_cast<std::uint32_t>(payload.size()));
    return s + payload;
}

// A lossless WebP header of width x height with alpha.
std::string webpLossless(std::uint32_t width, std::uint32_t height) {
    const std::uint32_t bits = (width - 1) | (height - 1) << 14 | 1u << 28;
    std::string head = "\x2f";
    putLe32(head, bits);
    return webpFile("VP8L", head, 27);
}

// A lossy WebP key frame header of width x height (no alpha): shown, a first partition of 10 bytes.
std::string webpLossy(std::uint32_t width, std::uint32_t height) {
    std::string head;
    head += static_cast<char>(0x50); // key frame, version 0, shown, first partition 10 bytes
    head += static_cast<char>(0x01);
    head += static_cast<char>(0x00);
    head += "\x9d\x01\x2a";
    putLe16(head, width);
    putLe16(head, height);
    return webpFile("VP8 ", head, 22);
}

// A small JPEG of `kind` whose frame header is changed to declare width x height; the coded data that
// follows is that of the small picture, so the file cannot be decoded past its first rows.
std::string jpegDeclaring(JpegKind kind, std::uint16_t width, std::uint16_t height) {
    const Bytes small = makeJpeg(kind, 16, 16, 50);
    std::string s(small.begin(), small.end());
    for (std::size_t i = 0; i + 8 < s.size(); ++i) {
        const auto marker = static_cast<unsigned char>(s[i + 1]);
        if (static_cast<unsigned char>(s[i]) == 0xFF && (marker == 0xC0 || marker == 0xC2)) {
            s[i + 5] = static_cast<char>(height >> 8);
            s[i + 6] = static_cast<char>(height & 0xFF);
            s[i + 7] = static_cast<char>(width >> 8);
            s[i + 8] = static_cast<char>(width & 0xFF);
            return s;
        }
    }
    ADD_FAILURE() << "no frame header";
    return s;
}

// A TIFF of one row of `width` RGB pixels, all black, in one Deflate strip: a few kilobytes.
std::string tiffRow(const TempDir& dir, std::uint32_t width) {
    const std::string path = (dir / "made.tif").string();
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr) {
        ADD_FAILURE() << "cannot make " << path;
        return {};
    }
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 1);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 1);
    std::vector<std::uint8_t> row(std::size_t{width} * 3, 0);
    TIFFWriteEncodedStrip(tiff, 0, row.data(), static_cast<tmsize_t>(row.size()));
    TIFFClose(tiff);
    return readFile(path);
}

// A small AVIF file (made by the program) whose image boxes are changed to declare width x height.
std::string avifDeclaring(const TempDir& dir, std::uint32_t width, std::uint32_t height) {
    writeFile(dir / "make.script", "blank a 16 16\nwrite a avif:made.avif\n");
    RunOptions make;
    make.args = {"make.script"};
    make.workDir = dir.path();
    EXPECT_EQ(runChromaloom(make).status, 0);
    std::string s = readFile(dir / "made.avif");
    // "ispe", 4 bytes of version and flags, then the width and height.
    for (std::size_t at = s.find("ispe"); at != std::string::npos; at = s.find("ispe", at + 4)) {
        if (at + 16 > s.size())
            break;
        putBe32(s, at + 8, width);
        putBe32(s, at + 12, height);
    }
    return s;
}

enum class Delivery { File, Pipe };

struct ReaderCase {
    const char* name;
    std::string bytes;
    Delivery delivery;
    const char* expected; // what line 1 prints
};

// The image of a 65500 x 256 picture is 36 KiB short of the cap, that of 16383 x 1024 4 KiB short, and that
// of 6,400,000 x 1 with its samples and strip 2 MiB short: only a reader that counts all of its working
// memory refuses those.
TEST(ReaderBudget, ASmallFileDeclaringAHugePictureIsRefusedWithinTheCap) {
    TempDir dir;
    const std::vector<ReaderCase> cases = {
        {"bmp one huge row", bmpHeader(50'000'000, 1), Delivery::File,
         "Error (line 1): can't read image! (BMP: file ends early)\n"},
        {"tga huge sides, from a pipe", tgaHeader(65535, 65535), Delivery::Pipe, notEnoughMemory},
        {"pnm one huge row", "P6\n50000000 1\n255\n", Delivery::File, notEnoughMemory},
        {"gif huge screen", gifHeader(65535, 65535), Delivery::File, notEnoughMemory},
        {"jpeg wide rows", jpegDeclaring(JpegKind::Grey, 65500, 256), Delivery::File, notEnoughMemory},
        {"jpeg progressive", jpegDeclaring(JpegKind::Progressive, 4000, 4000), Delivery::File,
         notEnoughMemory},
        {"webp lossless", webpLossless(4000, 4000), Delivery::File, notEnoughMemory},
        {"webp lossy wide rows", webpLossy(16383, 1024), Delivery::File, notEnoughMemory},
        {"tiff one huge row", tiffRow(dir, 6'400'000), Delivery::File, notEnoughMemory},
        {"avif huge picture", avifDeclaring(dir, 4000, 4000), Delivery::File, notEnoughMemory},
    };
    writeFile(dir / "file.script", "read a input\n");
    writeFile(dir / "pipe.script", "read a /dev/stdin\n");
    for (const ReaderCase& c : cases) {
        RunOptions options;
        options.workDir = dir.path();
        options.environment = {{"CHROMALOOM_MEMORY_LIMIT", "64MiB"}};
        if (c.delivery == Delivery::Pipe) {
            options.args = {"pipe.script"};
            options.stdinData = c.bytes;
        } else {
            writeFile(dir / "input", c.bytes);
            options.args = {"file.script"};
        }
        const RunResult run = runChromaloom(options);
        EXPECT_EQ(afterStartUp(run.output), c.expected) << c.name;
        // The address sanitizer's shadow memory and quarantine make the peak meaningless there.
        if (!CHROMALOOM_ADDRESS_SANITIZER) {
            EXPECT_LT(run.maxRssKb, 100'000) << c.name;
        }
    }
}

struct WriterCase {
    const char* target; // the name the write gives
    const char* size;   // the image, "width height"
};

// A 65535 x 256 image is 1 KiB short of the cap (65500 x 256, the largest a JPEG file holds, 36 KiB short;
// 16384 x 1024 fills it): every writer has more to take than that, and refuses without touching the file
// it would replace.
TEST(ReaderBudget, AWriterWhoseBuffersDoNotFitLeavesTheFileAsItWas) {
    const WriterCase cases[] = {
        {"jpg:out", "65500 256"}, {"tga:out", "65535 256"}, {"ppm:out", "65535 256"},
        {"pam:out", "65535 256"}, {"tif:out", "65535 256"}, {"avif:out", "16384 1024"},
    };
    for (const WriterCase& c : cases) {
        TempDir dir;
        writeFile(dir / "out", "what was there");
        writeFile(dir / "s.script", std::string("blank a ") + c.size + "\nwrite a " + c.target + "\n");
        RunOptions options;
        options.args = {"s.script"};
        options.workDir = dir.path();
        options.environment = {{"CHROMALOOM_MEMORY_LIMIT", "64MiB"}};
        const RunResult run = runChromaloom(options);
        EXPECT_EQ(afterStartUp(run.output), "Error (line 2): not enough memory\n") << c.target;
        EXPECT_TRUE(readFile(dir / "out") == "what was there") << c.target;
        EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"out", "s.script"})) << c.target;
    }
}

} // namespace

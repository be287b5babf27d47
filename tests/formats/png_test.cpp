// The PNG reader and writer: the row filters against their definitions, every variant of file against the
// PNG library's own reading, the same straight pixels as TGA, and damaged files.

#include "formats/codecs.h"
#include "formats/image_file.h"
#include "formats/png_chunks.h"
#include "formats/png_filters.h"
#include "image/straight_colour.h"
#include "system/memory_budget.h"
#include "tests/support/exec.h"
#include "tests/support/png_files.h"
#include "tests/support/process.h"
#include "tests/support/tga_file.h"

#include <gtest/gtest.h>
#include <new>
#include <random>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A random number below n.
std::uint32_t below(std::mt19937& random, std::uint32_t n) {
    return static_cast<std::uint32_t>(random() % n);
}

Bytes randomBytes(std::mt19937& random, std::size_t n, unsigned spread = 256) {
    Bytes bytes(n);
    for (std::uint8_t& b : bytes)
        b = static_cast<std::uint8_t>(random() % spread);
    return bytes;
}

// Premultiplied by the formula itself, pixel by pixel: what every reader must give for straight pixels.
Bytes premultiplied(const Bytes& straight) {
    Bytes out(straight.size());
    for (std::size_t i = 0; i < straight.size(); i += 4) {
        for (std::size_t c = 0; c < 3; ++c)
            out[i + c] = premultiplyFormula(straight[i + c], straight[i + 3]);
        out[i + 3] = straight[i + 3];
    }
    return out;
}

LoadResult decodeBytes(const Bytes& file) {
    return decodeImageFile(file.data(), file.size());
}

TEST(PngFilters, FastFormsGiveThePlainFormsBytes) {
    std::mt19937 random(7);
    for (unsigned bpp = 1; bpp <= 8; ++bpp) {
        for (std::size_t length :
             {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{8}, std::size_t{15},
              std::size_t{16}, std::size_t{17}, std::size_t{33}, std::size_t{64}, std::size_t{250}}) {
            const std::size_t rowBytes = length / bpp * bpp;
            for (int trial = 0; trial < 20; ++trial) {
                // Small spreads make neighbours alike, so that every filter gets chosen some of the time.
                const unsigned spread = trial % 3 == 0 ? 256u : 4u + static_cast<unsigned>(trial);
                const Bytes above = randomBytes(random, rowBytes, spread);
                Bytes row = randomBytes(random, rowBytes, spread);
                for (std::size_t i = bpp; trial % 2 == 1 && i < rowBytes; ++i)
                    row[i] = static_cast<std::uint8_t>(row[i - bpp] + row[i] % 3);
                Bytes fast(rowBytes + 1), plain(rowBytes + 1);
                png::filterRow(row.data(), above.data(), rowBytes, bpp, fast.data());
                png::filterRowPlain(row.data(), above.data(), rowBytes, bpp, plain.data());
                ASSERT_EQ(fast, plain) << bpp << " " << rowBytes;
                for (std::uint8_t filter = 0; filter < png::filterCount; ++filter) {
                    Bytes a = row, b = row;
                    ASSERT_TRUE(png::unfilterRow(filter, a.data(), above.data(), rowBytes, bpp));
                    ASSERT_TRUE(png::unfilterRowPlain(filter, b.data(), above.data(), rowBytes, bpp));
                    ASSERT_EQ(a, b) << int{filter} << " " << bpp << " " << rowBytes;
                }
                // Unfiltering gives back the row that was filtered.
                Bytes back(fast.begin() + 1, fast.end());
                ASSERT_TRUE(png::unfilterRow(fast[0], back.data(), above.data(), rowBytes, bpp));
                ASSERT_EQ(back, row);
            }
        }
    }
    Bytes row(4);
    EXPECT_FALSE(png::unfilterRow(5, row.data(), row.data(), 4, 4));
}

// A file of every colour type and sample depth, plain and interlaced, with and without transparency.
struct Variant {
    std::uint8_t colourType;
    std::uint8_t depth;
};
constexpr Variant variants[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                                {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};

PngLayout randomLayout(std::mt19937& random, Variant v, std::uint32_t w, std::uint32_t h, bool interlaced,
                       bool transparency) {
    PngLayout layout;
    layout.width = w;
    layout.height = h;
    layout.colourType = v.colourType;
    layout.depth = v.depth;
    layout.interlaced = interlaced;
    layout.samples = randomBytes(random, pngRowBytes(layout) * h, below(random, 2) == 0 ? 256 : 3);
    if (v.colourType == 3) {
        const std::size_t entries = std::size_t{1} << v.depth;
        layout.palette = randomBytes(random, 3 * entries);
        if (transparency)
            layout.paletteAlpha = randomBytes(random, entries / 2 + 1);
    } else if (transparency && (v.colourType == 0 || v.colourType == 2)) {
        // A key that some pixels match: the first pixel's samples.
        layout.hasKey = true;
        const unsigned channels = v.colourType == 2 ? 3 : 1;
        for (unsigned c = 0; c < channels; ++c)
            layout.key[c] = static_cast<std::uint16_t>(v.depth == 16 ? layout.samples[2 * c] << 8 |
                                                                           layout.samples[2 * c + 1]
                                                       : v.depth == 8 ? layout.samples[c]
                                                                      : layout.samples[0] >> (8 - v.depth));
        if (channels == 1)
            layout.key[1] = layout.key[2] = layout.key[0];
    }
    return layout;
}

TEST(PngReader, EveryVariantReadsAsThePngLibraryReadsIt) {
    std::mt19937 random(11);
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{1, 1}, {3, 2}, {9, 7}, {17, 33}, {40, 5}};
    for (const Variant v : variants) {
        for (const auto& [w, h] : sizes) {
            for (int flags = 0; flags < 4; ++flags) {
                const PngLayout layout = randomLayout(random, v, w, h, (flags & 1) != 0, (flags & 2) != 0);
                const Bytes file = encodeWithLibrary(layout);
                const Bytes expected = premultiplied(decodeWithLibrary(file));
                const LoadResult loaded = decodeBytes(file);
                ASSERT_NE(loaded.image, nullptr) << loaded.reason;
                ASSERT_EQ(loaded.image->width, w);
                ASSERT_EQ(loaded.image->height, h);
                ASSERT_EQ(bytesOf(*loaded.image), expected)
                    << "colour type " << int{v.colourType} << ", depth " << int{v.depth} << ", " << w << "x"
                    << h << ", flags " << flags;
            }
        }
    }
}

TEST(PngReader, NarrowSamplesSpreadAndWideOnesRound) {
    // One grey pixel per file: its sample, and the 8-bit value it must give.
    struct Case {
        std::uint8_t depth;
        std::vector<std::uint8_t> samples;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {1, {0x80}, 255},        {2, {0x40}, 85},         {4, {0x10}, 17},         {4, {0xF0}, 255},
        {16, {0, 128}, 0},       {16, {0, 129}, 1},       {16, {0x80, 0x80}, 128}, {16, {0xFF, 0x7E}, 254},
        {16, {0xFF, 0x7F}, 255}, {16, {0xFF, 0x80}, 255}, {16, {0xFF, 0xFF}, 255},
    };
    for (const Case& c : cases) {
        PngLayout layout;
        layout.colourType = 0;
        layout.depth = c.depth;
        layout.samples = c.samples;
        const LoadResult loaded = decodeBytes(encodeWithLibrary(layout));
        ASSERT_NE(loaded.image, nullptr) << loaded.reason;
        EXPECT_EQ(pixelAt(*loaded.image, 0, 0), (Rgba{c.expected, c.expected, c.expected, 255}))
            << int{c.depth};
    }
}

// Straight pixels as a 32-bit TGA file with 8 alpha bits, top row first.
Bytes tgaOf(std::uint32_t w, std::uint32_t h, const Bytes& rgba) {
    TgaFile file;
    file.width = static_cast<std::uint16_t>(w);
    file.height = static_cast<std::uint16_t>(h);
    file.pixelDepth = 32;
    file.descriptor = 8 | TgaDescriptor::topFirstBit;
    for (std::size_t i = 0; i < rgba.size(); i += 4)
        file.add({rgba[i + 2], rgba[i + 1], rgba[i], rgba[i + 3]});
    return file.bytes();
}

TEST(PngReader, TheSameStraightPixelsLoadAsFromTga) {
    std::mt19937 random(3);
    for (int trial = 0; trial < 300; ++trial) {
        const std::uint32_t w = 1 + below(random, 40), h = 1 + below(random, 12);
        PngLayout layout;
        layout.width = w;
        layout.height = h;
        layout.samples = randomBytes(random, std::size_t{w} * h * 4);
        for (std::size_t i = 3; trial % 3 == 0 && i < layout.samples.size(); i += 4)
            layout.samples[i] = static_cast<std::uint8_t>(layout.samples[i] < 128 ? 0 : 255);
        const LoadResult png = decodeBytes(encodeWithLibrary(layout));
        const LoadResult tga = decodeBytes(tgaOf(w, h, layout.samples));
        ASSERT_NE(png.image, nullptr) << png.reason;
        ASSERT_NE(tga.image, nullptr) << tga.reason;
        ASSERT_EQ(bytesOf(*png.image), bytesOf(*tga.image)) << trial;
    }
}

// Random premultiplied images: opaque or not, grey or not, and colours above their alpha (fill makes
// such pixels).
ImagePtr randomImage(std::mt19937& random, int kind) {
    const std::uint32_t w = 1 + below(random, 30), h = 1 + below(random, 10);
    return makeImage(w, h, [&](auto, auto) {
        const auto v = static_cast<std::uint8_t>(random());
        const auto a = static_cast<std::uint8_t>(kind & 1 ? below(random, 4) * 85 : 255);
        if (kind & 2)
            return Rgba{v, v, v, a};
        return Rgba{v, static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()), a};
    });
}

TEST(PngWriter, WriteThenReadGivesWhatTgaGivesInTheSmallestLayout) {
    TempDir dir;
    std::mt19937 random(5);
    // Colour type by kind: opaque colour, colour with alpha, opaque grey, grey with alpha.
    const std::uint8_t colourTypes[] = {2, 6, 0, 4};
    for (int trial = 0; trial < 200; ++trial) {
        const int kind = trial % 4;
        const ImagePtr image = randomImage(random, kind);
        const std::string png = (dir / "x.png").string(), tga = (dir / "x.tga").string();
        ASSERT_EQ(saveImageFile(("PNG:" + png).c_str(), *image), "");
        ASSERT_EQ(saveImageFile(tga.c_str(), *image), "");
        const std::string bytes = readFile(png);
        ASSERT_GT(bytes.size(), 26u);
        EXPECT_EQ(static_cast<std::uint8_t>(bytes[25]), colourTypes[kind]) << trial;
        const LoadResult fromPng = loadImageFile(png.c_str());
        const LoadResult fromTga = loadImageFile(tga.c_str());
        ASSERT_NE(fromPng.image, nullptr) << fromPng.reason;
        ASSERT_EQ(bytesOf(*fromPng.image), bytesOf(*fromTga.image)) << trial;
        // The library reads the file the same way.
        const Bytes file(bytes.begin(), bytes.end());
        EXPECT_EQ(premultiplied(decodeWithLibrary(file)), bytesOf(*fromPng.image)) << trial;
    }
}

// A small file of each way of reading: 8-bit (read here) and 16-bit interlaced (read by the library).
std::vector<Bytes> smallFiles() {
    std::mt19937 random(9);
    return {encodeWithLibrary(randomLayout(random, {6, 8}, 7, 5, false, false)),
            encodeWithLibrary(randomLayout(random, {3, 8}, 6, 4, false, true)),
            encodeWithLibrary(randomLayout(random, {2, 16}, 7, 5, true, true))};
}

TEST(PngReader, RefusesFilesCutShortOrDamaged) {
    for (const Bytes& file : smallFiles()) {
        ASSERT_NE(decodeBytes(file).image, nullptr);
        // Every cut, the end chunk's own checksum included.
        for (std::size_t size = 8; size < file.size(); ++size) {
            const LoadResult cut = decodeBytes(Bytes(file.begin(), file.begin() + static_cast<long>(size)));
            ASSERT_EQ(cut.image, nullptr) << size;
            ASSERT_EQ(cut.reason.rfind("PNG: ", 0), 0u) << cut.reason;
        }
        // A changed byte anywhere in a chunk breaks its checksum.
        for (std::size_t at = 16; at < file.size() - 4; at += 7) {
            Bytes damaged = file;
            damaged[at] ^= 0x10;
            const LoadResult result = decodeBytes(damaged);
            EXPECT_EQ(result.image, nullptr) << at;
        }
    }
    Bytes bad = smallFiles()[0];
    bad[33 + 8 + 2] ^= 1; // inside the image data: the checksum of its chunk
    EXPECT_EQ(decodeBytes(bad).reason, "PNG: checksum mismatch");
    const Bytes whole = smallFiles()[0];
    EXPECT_EQ(decodeBytes(Bytes(whole.begin(), whole.end() - 5)).reason, "PNG: file ends early");
}

// The file with one more chunk after the header.
Bytes withChunk(const Bytes& file, const char (&type)[5], const Bytes& data) {
    Bytes chunk(8);
    png::writeBigEndian32(chunk.data(), static_cast<std::uint32_t>(data.size()));
    png::writeBigEndian32(chunk.data() + 4, png::chunkType(type));
    chunk.insert(chunk.end(), data.begin(), data.end());
    chunk.resize(chunk.size() + 4);
    png::writeBigEndian32(chunk.data() + 8 + data.size(), png::crc32(0, chunk.data() + 4, 4 + data.size()));
    Bytes out = file;
    out.insert(out.begin() + 33, chunk.begin(), chunk.end());
    return out;
}

TEST(PngReader, RefusesWhatTheHeaderGetsWrongAndLargeSizesBeforeAllocating) {
    std::mt19937 random(1);
    const Bytes rgb = encodeWithLibrary(randomLayout(random, {2, 8}, 3, 2, false, false));
    EXPECT_EQ(decodeBytes(withChunk(rgb, "tRNS", {0, 1})).reason, "PNG: bad tRNS chunk");
    EXPECT_EQ(decodeBytes(withChunk(rgb, "abCD", {1, 2, 3})).image->width, 3u); // an unknown ancillary chunk
    EXPECT_EQ(decodeBytes(withChunk(rgb, "ABCD", {})).reason, "PNG: unknown critical chunk ABCD");
    PngLayout layout = randomLayout(random, {3, 8}, 4, 1, false, false);
    layout.palette.resize(3 * 2); // indices of up to 255 into two entries
    layout.samples = {0, 1, 2, 1};
    EXPECT_EQ(decodeBytes(encodeWithLibrary(layout)).reason, "PNG: palette index out of range");

    // A small file whose header declares 100000 x 100000 pixels (40 GB) is refused before any pixel is
    // allocated, whatever the machine.
    Bytes huge = encodeWithLibrary(randomLayout(random, {6, 8}, 1, 1, false, false));
    huge[16 + 1] = 0x01, huge[16 + 2] = 0x86, huge[16 + 3] = 0xA0; // width 100000
    huge[20 + 1] = 0x01, huge[20 + 2] = 0x86, huge[20 + 3] = 0xA0; // height 100000
    const std::uint32_t crc = png::crc32(0, huge.data() + 12, 17);
    huge[29] = static_cast<std::uint8_t>(crc >> 24), huge[30] = static_cast<std::uint8_t>(crc >> 16);
    huge[31] = static_cast<std::uint8_t>(crc >> 8), huge[32] = static_cast<std::uint8_t>(crc);
    setImageMemoryLimit(std::uint64_t{64} << 20);
    EXPECT_THROW(decodeBytes(huge), std::bad_alloc);
    setImageMemoryLimit(std::nullopt);
}

// The message is pinned by the script case tests/e2e/files/damaged_files.script.
TEST(ReadCommand, ADamagedPngIsReportedAndTheVariableKeepsItsImage) {
    TempDir dir;
    Bytes file = smallFiles()[0];
    writeFile(dir / "cut.png", std::string(file.begin(), file.begin() + 60));
    ScriptContext ctx;
    ctx.setImage(0, createImage(2, 3));
    const Image* before = ctx.imageAt(0);
    const Outcome o = execLine(ctx, "read a " + (dir / "cut.png").string());
    EXPECT_EQ(o.result, 2);
    EXPECT_EQ(lineCount(o.output), 1u);
    EXPECT_EQ(ctx.imageAt(0), before);
}

} // namespace

// Damaged and hostile PNG files: every way of reading (the program's own 8-bit reader and the library path
// for other depths and interlaced files) refuses the same faults in the same words, and the working rows
// of a reading count in the memory budget.

#include "formats/image_file.h"
#include "formats/png_chunks.h"
#include "system/memory_budget.h"
#include "tests/support/exec.h"
#include "tests/support/png_files.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <new>
#include <string>

namespace {

using Bytes = std::vector<std::uint8_t>;

LoadResult decodeBytes(const Bytes& file) {
    return decodeImageFile(file.data(), file.size());
}

Bytes chunk(const char (&type)[5], const Bytes& data) {
    Bytes out(8 + data.size() + 4);
    png::writeBigEndian32(out.data(), static_cast<std::uint32_t>(data.size()));
    png::writeBigEndian32(out.data() + 4, png::chunkType(type));
    for (std::size_t i = 0; i < data.size(); ++i)
        out[8 + i] = data[i];
    png::writeBigEndian32(out.data() + 8 + data.size(), png::crc32(0, out.data() + 4, 4 + data.size()));
    return out;
}

// A file made by the library, with `extra` inserted right after the header chunk (before = true) or right
// before the end chunk.
Bytes withChunks(const Bytes& file, const Bytes& extra, bool before) {
    Bytes out = file;
    const auto at = before ? out.begin() + 33 : out.end() - 12;
    out.insert(at, extra.begin(), extra.end());
    return out;
}

// The file with `extra` inserted before its first image data chunk.
Bytes beforeData(const Bytes& file, const Bytes& extra) {
    std::size_t at = 8;
    while (png::readBigEndian32(file.data() + at + 4) != png::IDAT)
        at += 12 + png::readBigEndian32(file.data() + at);
    Bytes out = file;
    out.insert(out.begin() + static_cast<long>(at), extra.begin(), extra.end());
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One grey or colour pixel row of every kind of reading: 8-bit plain is the program's own reader; the
// others go through the library.
struct Path {
    const char* name;
    std::uint8_t depth;
    bool interlaced;
};
constexpr Path paths[] = {{"8-bit", 8, false}, {"16-bit", 16, false}, {"8-bit interlaced", 8, true}};

PngLayout greyLayout(const Path& path, std::uint8_t colourType) {
    PngLayout layout;
    layout.width = 3;
    layout.height = 2;
    layout.colourType = colourType;
    layout.depth = path.depth;
    layout.interlaced = path.interlaced;
    layout.samples.assign(pngRowBytes(layout) * layout.height, 0x5A);
    return layout;
}

TEST(PngFaults, EveryWayOfReadingRefusesTheSameFaultsInTheSameWords) {
    const Bytes ihdr = chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0});
    struct Case {
        const char* what;
        std::uint8_t colourType;
        Bytes extra;
        bool before; // after the header chunk, else before the end chunk
        const char* reason;
    };
    const Case cases[] = {
        {"a transparency chunk of the wrong length on grey", 0, chunk("tRNS", {0, 1, 2, 3}), true,
         "PNG: bad tRNS chunk"},
        {"a transparency chunk of the wrong length on colour", 2, chunk("tRNS", {0, 1}), true,
         "PNG: bad tRNS chunk"},
        {"a second header", 0, ihdr, true, "PNG: bad chunk order"},
        {"a header after the image data", 0, ihdr, false, "PNG: bad chunk order"},
        {"a palette after the image data", 2, chunk("PLTE", {1, 2, 3}), false, "PNG: bad chunk order"},
        {"image data after another chunk that follows the image data", 0,
         chunk("tEXt", {'a', 0, 'b'}) + chunk("IDAT", {0x78, 0x9C, 3, 0, 0, 0, 0, 1}), false,
         "PNG: bad chunk order"},
        {"an unknown critical chunk before the image data", 0, chunk("ABCD", {}), true,
         "PNG: unknown critical chunk ABCD"},
        {"an unknown critical chunk after the image data", 0, chunk("ABCD", {}), false,
         "PNG: unknown critical chunk ABCD"},
        {"an ancillary chunk of any content", 0, chunk("gAMA", {0, 0}), true, nullptr},
        {"a transparency chunk in a file with alpha", 4, chunk("tRNS", {0, 1}), true, nullptr},
    };
    for (const Path& path : paths) {
        for (const Case& c : cases) {
            const Bytes file =
                withChunks(encodeWithLibrary(greyLayout(path, c.colourType)), c.extra, c.before);
            const LoadResult loaded = decodeBytes(file);
            if (c.reason == nullptr) {
                EXPECT_NE(loaded.image, nullptr) << path.name << ": " << c.what << ": " << loaded.reason;
                continue;
            }
            EXPECT_EQ(loaded.image, nullptr) << path.name << ": " << c.what;
            EXPECT_EQ(loaded.reason, c.reason) << path.name << ": " << c.what;
        }
    }
}

// Damaged image data: a bad filter type, too few rows, a broken stream, in every way of reading.
TEST(PngFaults, DamagedImageDataGivesTheSameReasonsOnEveryPath) {
    for (const Path& path : paths) {
        const PngLayout layout = greyLayout(path, 0);
        const Bytes good = encodeWithLibrary(layout);
        // The image data chunk of a file whose single IDAT is the one after the header.
        const std::uint32_t dataLength = png::readBigEndian32(good.data() + 33);
        const Bytes before(good.begin(), good.begin() + 33);
        const Bytes after(good.begin() + 33 + 12 + dataLength, good.end());
        const auto withData = [&](const Bytes& zlibStream) {
            return before + chunk("IDAT", zlibStream) + after;
        };
        // Stored (uncompressed) zlib streams of the given bytes: 0x78 0x01, one final stored block, and
        // an Adler-32 of the bytes.
        const auto stored = [](const Bytes& raw) {
            Bytes z = {0x78,
                       0x01,
                       0x01,
                       static_cast<std::uint8_t>(raw.size()),
                       static_cast<std::uint8_t>(raw.size() >> 8),
                       static_cast<std::uint8_t>(~raw.size()),
                       static_cast<std::uint8_t>(~raw.size() >> 8)};
            for (const std::uint8_t v : raw)
                z.push_back(v);
            std::uint32_t a = 1, b = 0;
            for (const std::uint8_t v : raw)
                a = (a + v) % 65521, b = (b + a) % 65521;
            const std::uint32_t adler = b << 16 | a;
            z.push_back(static_cast<std::uint8_t>(adler >> 24));
            z.push_back(static_cast<std::uint8_t>(adler >> 16));
            z.push_back(static_cast<std::uint8_t>(adler >> 8));
            z.push_back(static_cast<std::uint8_t>(adler));
            return z;
        };
        // The filtered rows the file holds, every row with filter 0.
        const std::size_t rowBytes = pngRowBytes(layout);
        Bytes rows;
        if (!path.interlaced) {
            for (std::uint32_t y = 0; y < layout.height; ++y) {
                rows.push_back(0);
                rows.insert(rows.end(), rowBytes, 0x5A);
            }
        } else {
            // 3 x 2 interlaced: pass 1 row 0 (x 0), pass 4 row 0 (x 2), pass 6 row 0 (x 1), pass 7 row 1
            // (x 0..2); passes 2, 3 and 5 are empty.
            const std::size_t sample = path.depth / 8;
            for (const std::size_t pixels : {1u, 1u, 1u, 3u}) {
                rows.push_back(0);
                rows.insert(rows.end(), pixels * sample, 0x5A);
            }
        }
        ASSERT_NE(decodeBytes(withData(stored(rows))).image, nullptr) << path.name;
        Bytes badFilter = rows;
        badFilter[0] = 9;
        EXPECT_EQ(decodeBytes(withData(stored(badFilter))).reason, "PNG: corrupt image data") << path.name;
        const Bytes fewer(rows.begin(), rows.end() - 2);
        EXPECT_EQ(decodeBytes(withData(stored(fewer))).reason, "PNG: image data ends early") << path.name;
        Bytes broken = stored(rows);
        broken[2] = 0x07; // a block of the reserved type
        EXPECT_EQ(decodeBytes(withData(broken)).reason, "PNG: corrupt image data") << path.name;
    }
}

// Palette files whose pixels name entries past the end of a two-entry palette: 1, 2 and 4 bits a pixel,
// and 8 bits interlaced, as well as the 8-bit plain files.
TEST(PngFaults, AnIndexBeyondThePaletteIsRefusedAtEveryDepth) {
    struct Case {
        std::uint8_t depth;
        bool interlaced;
        Bytes row; // one row of three pixels: 0, 1 and the index in the last place
    };
    const Case cases[] = {
        {2, false, {0b00011100}}, {4, false, {0x01, 0x30}}, {8, true, {0, 1, 3}},
        {8, false, {0, 1, 2}},    {2, true, {0b00011100}},
    };
    for (const Case& c : cases) {
        PngLayout layout;
        layout.width = 3;
        layout.colourType = 3;
        layout.depth = c.depth;
        layout.interlaced = c.interlaced;
        layout.samples = c.row;
        layout.palette = {255, 0, 0, 0, 0, 255};
        const LoadResult loaded = decodeBytes(encodeWithLibrary(layout));
        EXPECT_EQ(loaded.image, nullptr) << int{c.depth} << " " << c.interlaced;
        EXPECT_EQ(loaded.reason, "PNG: palette index out of range") << int{c.depth} << " " << c.interlaced;
        // Within the palette the same file reads, and as the library reads it.
        layout.samples = c.depth == 2 ? Bytes{0b00010000} : c.depth == 4 ? Bytes{0x01, 0x00} : Bytes{0, 1, 0};
        const Bytes good = encodeWithLibrary(layout);
        const LoadResult read = decodeBytes(good);
        ASSERT_NE(read.image, nullptr) << read.reason;
        EXPECT_EQ(bytesOf(*read.image), decodeWithLibrary(good)) << int{c.depth} << " " << c.interlaced;
    }
    // A 1-bit file has no index beyond a two-entry palette, but a one-entry palette has.
    PngLayout one;
    one.width = 3;
    one.colourType = 3;
    one.depth = 1;
    one.samples = {0b01000000};
    one.palette = {9, 9, 9};
    EXPECT_EQ(decodeBytes(encodeWithLibrary(one)).reason, "PNG: palette index out of range");
}

// A transparency chunk of exactly as many alphas as the palette has entries is whole, not too long.
TEST(PngFaults, ATransparencyChunkAsLongAsThePaletteReads) {
    for (const std::uint8_t depth : {std::uint8_t{8}, std::uint8_t{4}, std::uint8_t{1}}) {
        for (const bool interlaced : {false, true}) {
            PngLayout layout;
            layout.width = 2;
            layout.colourType = 3;
            layout.depth = depth;
            layout.interlaced = interlaced;
            layout.samples = depth == 8 ? Bytes{0, 1} : depth == 4 ? Bytes{0x01} : Bytes{0b01000000};
            layout.palette = {200, 100, 50, 10, 20, 30};
            layout.paletteAlpha = {0, 255};
            const LoadResult loaded = decodeBytes(encodeWithLibrary(layout));
            ASSERT_NE(loaded.image, nullptr) << int{depth} << " " << interlaced << ": " << loaded.reason;
            EXPECT_EQ(pixelAt(*loaded.image, 0, 0), (Rgba{0, 0, 0, 0}));
            EXPECT_EQ(pixelAt(*loaded.image, 1, 0), (Rgba{10, 20, 30, 255}));
            // One alpha more than the palette has entries is too long.
            layout.paletteAlpha.clear();
            const Bytes tooLong = beforeData(encodeWithLibrary(layout), chunk("tRNS", {0, 255, 255}));
            EXPECT_EQ(decodeBytes(tooLong).reason, "PNG: bad tRNS chunk");
        }
    }
}

// A file cut anywhere, the end chunk's checksum included, is refused; a damaged end checksum too.
TEST(PngFaults, AFileCutInsideItsEndChecksumIsRefused) {
    for (const Path& path : paths) {
        const Bytes file = encodeWithLibrary(greyLayout(path, 2));
        ASSERT_NE(decodeBytes(file).image, nullptr);
        for (std::size_t cut = 1; cut <= 4; ++cut) {
            const LoadResult loaded = decodeBytes(Bytes(file.begin(), file.end() - static_cast<long>(cut)));
            EXPECT_EQ(loaded.image, nullptr) << path.name << " " << cut;
            EXPECT_EQ(loaded.reason, "PNG: file ends early") << path.name << " " << cut;
        }
        Bytes damaged = file;
        damaged.back() ^= 1;
        EXPECT_EQ(decodeBytes(damaged).reason, "PNG: checksum mismatch") << path.name;
        // Bytes after the end chunk are not the file's.
        EXPECT_NE(decodeBytes(file + Bytes{1, 2, 3}).image, nullptr) << path.name;
    }
}

// A file whose signature lost its CR-LF (a text-mode transfer) is not taken for PNG at all: it is left
// to the fallback reader, which says what it says of any file it cannot read, not a PNG reason.
TEST(PngFaults, OnlyAWholeSignatureMakesAFilePng) {
    const Bytes good = encodeWithLibrary(greyLayout(paths[0], 0));
    for (std::size_t at = 4; at < 8; ++at) {
        Bytes damaged = good;
        damaged[at] = at == 4 ? '\n' : static_cast<std::uint8_t>(damaged[at] ^ 0x40);
        const LoadResult loaded = decodeBytes(damaged);
        EXPECT_EQ(loaded.image, nullptr) << at;
        EXPECT_EQ(loaded.reason.rfind("PNG: ", 0), std::string::npos) << at << ": " << loaded.reason;
    }
}

// A file of a few bytes may declare one row of many millions of pixels: the rows the reader works in
// (about 8 bytes a pixel beside the image's 4) count in the budget, so that the reading is refused as out
// of memory under a cap that the image alone would fit.
TEST(PngFaults, TheWorkingRowsOfAReadingCountInTheBudget) {
    for (const Path& path : paths) {
        PngLayout layout = greyLayout(path, 6);
        layout.width = 4'000'000; // 16 MB of pixels
        layout.height = 1;
        layout.samples.assign(pngRowBytes(layout), 0);
        const Bytes file = encodeWithLibrary(layout);
        setImageMemoryLimit(std::uint64_t{24} << 20);
        EXPECT_THROW(decodeBytes(file), std::bad_alloc) << path.name;
        setImageMemoryLimit(std::uint64_t{256} << 20);
        const LoadResult loaded = decodeBytes(file);
        EXPECT_NE(loaded.image, nullptr) << path.name << ": " << loaded.reason;
        setImageMemoryLimit(std::nullopt);
    }
}

// A pixel is grey only when red, green and blue all agree: two equal channels are not enough, whichever
// two they are.
TEST(PngWriter, GreyIsChosenOnlyWhenAllThreeChannelsAgree) {
    TempDir dir;
    const std::string path = (dir / "x.png").string(), tga = (dir / "x.tga").string();
    const Rgba cases[] = {{10, 10, 200, 255}, {10, 200, 200, 255}, {200, 10, 200, 255},
                          {40, 40, 100, 128}, {100, 40, 40, 128},  {40, 100, 40, 128}};
    for (const Rgba& colour : cases) {
        // A grey pixel first, so that the choice is made on the second.
        const ImagePtr image = makeImage(2, 1, [&](auto x, auto) {
            return x == 0 ? Rgba{7, 7, 7, colour[3]} : colour;
        });
        ASSERT_EQ(saveImageFile(("png:" + path).c_str(), *image), "");
        ASSERT_EQ(saveImageFile(tga.c_str(), *image), "");
        const LoadResult back = loadImageFile(path.c_str());
        const LoadResult fromTga = loadImageFile(tga.c_str());
        ASSERT_NE(back.image, nullptr) << back.reason;
        // What the straight colour of a TGA file gives: the colour itself when opaque.
        EXPECT_EQ(pixelAt(*back.image, 1, 0), pixelAt(*fromTga.image, 1, 0))
            << int{colour[0]} << "," << int{colour[1]} << "," << int{colour[2]};
    }
}

} // namespace

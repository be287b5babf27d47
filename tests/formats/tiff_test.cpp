#include "formats/tiff.h"
#include "image/straight_colour.h"
#include "system/byte_source.h"
#include "system/memory_budget.h"
#include "tests/support/exec.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <tiffio.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Pixels = std::vector<Rgba>;

// ---- TIFF files made with the library ----

// How a file is laid out. Sample values are given pixel by pixel, each pixel's samples side by side, in
// the file's own bit depth; the file is then made in the layout asked for.
struct TiffLayout {
    std::uint32_t width = 3;
    std::uint32_t height = 2;
    std::uint16_t bits = 8;
    std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    std::uint16_t samples = 1;
    int extra = -1; // the ExtraSamples value of the last sample; -1: no such tag
    bool planar = false;
    std::uint32_t tile = 0;         // the side of square tiles; 0: strips
    std::uint32_t rowsPerStrip = 0; // 0: the whole image in one strip
    std::uint16_t compression = COMPRESSION_NONE;
    std::uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    const char* mode = "w";              // "wb" big-endian, "w8" BigTIFF
    std::vector<std::uint16_t> colormap; // all reds, then all greens, then all blues
    Bytes icc;
    Bytes xmp;
};

// Packs n samples of `bits` bits from the high bit of each byte (16-bit ones in the machine's order, which
// the library turns into the file's). Other depths, which no reader takes, are left as zeros.
void packSamples(const std::uint32_t* values, std::size_t n, unsigned bits, std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i) {
        if (bits == 16) {
            const auto v = static_cast<std::uint16_t>(values[i]);
            std::memcpy(out + 2 * i, &v, 2);
        } else if (bits == 8) {
            out[i] = static_cast<std::uint8_t>(values[i]);
        } else if (bits < 8) {
            const std::size_t bit = i * bits;
            out[bit / 8] = static_cast<std::uint8_t>(
                out[bit / 8] | values[i] << (8 - bits - static_cast<unsigned>(bit % 8)));
        }
    }
}

Bytes readFile(const std::string& path) {
    Bytes out(fs::file_size(path));
    FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
    std::fclose(f);
    return out;
}

std::string tempPath(const char* name) {
    return (fs::temp_directory_path() / (std::string(name) + std::to_string(::getpid()))).string();
}

Bytes makeTiff(const TiffLayout& s, const std::vector<std::uint32_t>& values) {
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    const std::string path = tempPath("tiff_made_");
    TIFF* t = TIFFOpen(path.c_str(), s.mode);
    EXPECT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.samples);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, s.sampleFormat);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, s.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, s.compression);
    if (s.compression == COMPRESSION_JPEG) {
        TIFFSetField(t, TIFFTAG_JPEGQUALITY, 95);
        if (s.photometric == PHOTOMETRIC_YCBCR)
            TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    if (s.extra >= 0) {
        const std::uint16_t kind[] = {static_cast<std::uint16_t>(s.extra)};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, kind);
    }
    if (!s.colormap.empty()) {
        const std::size_t n = s.colormap.size() / 3;
        TIFFSetField(t, TIFFTAG_COLORMAP, s.colormap.data(), s.colormap.data() + n,
                     s.colormap.data() + 2 * n);
    }
    if (!s.icc.empty())
        TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(s.icc.size()), s.icc.data());
    if (!s.xmp.empty())
        TIFFSetField(t, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(s.xmp.size()), s.xmp.data());

    const unsigned planes = s.planar ? s.samples : 1;
    const unsigned perPixel = s.planar ? 1 : s.samples;
    // The samples of plane p (all of them when side by side) of the pixels x0.. x0+n-1 of row y, zero past
    // the image's right edge.
    auto run = [&](unsigned p, std::uint32_t x0, std::uint32_t y, std::uint32_t n) {
        std::vector<std::uint32_t> out;
        for (std::uint32_t x = x0; x < x0 + n; ++x)
            for (unsigned c = 0; c < perPixel; ++c)
                out.push_back(x < s.width && y < s.height
                                  ? values[(std::size_t{y} * s.width + x) * s.samples + (s.planar ? p : c)]
                                  : 0);
        return out;
    };
    if (s.tile != 0) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, s.tile);
        TIFFSetField(t, TIFFTAG_TILELENGTH, s.tile);
        const std::size_t rowBytes = (std::size_t{s.tile} * perPixel * s.bits + 7) / 8;
        for (unsigned p = 0; p < planes; ++p)
            for (std::uint32_t ty = 0; ty < s.height; ty += s.tile)
                for (std::uint32_t tx = 0; tx < s.width; tx += s.tile) {
                    Bytes tile(rowBytes * s.tile);
                    for (std::uint32_t r = 0; r < s.tile; ++r)
                        packSamples(run(p, tx, ty + r, s.tile).data(), std::size_t{s.tile} * perPixel, s.bits,
                                    tile.data() + r * rowBytes);
                    EXPECT_GT(TIFFWriteTile(t, tile.data(), tx, ty, 0, static_cast<std::uint16_t>(p)), 0);
                }
    } else {
        const std::uint32_t rows = s.rowsPerStrip == 0 ? s.height : s.rowsPerStrip;
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
        const std::size_t rowBytes = (std::size_t{s.width} * perPixel * s.bits + 7) / 8;
        std::uint32_t strip = 0;
        for (unsigned p = 0; p < planes; ++p)
            for (std::uint32_t top = 0; top < s.height; top += rows, ++strip) {
                const std::uint32_t n = std::min(rows, s.height - top);
                Bytes data(rowBytes * n);
                for (std::uint32_t r = 0; r < n; ++r)
                    packSamples(run(p, 0, top + r, s.width).data(), std::size_t{s.width} * perPixel, s.bits,
                                data.data() + r * rowBytes);
                EXPECT_GT(TIFFWriteEncodedStrip(t, strip, data.data(), static_cast<tmsize_t>(data.size())),
                          0);
            }
    }
    TIFFClose(t);
    Bytes out = readFile(path);
    fs::remove(path);
    return out;
}

struct Decoded {
    ImagePtr image;
    std::string reason;
    FoundMetadata found;
};

Decoded decode(const Bytes& file, std::size_t size) {
    Decoded d;
    ByteSource source(file.data(), size);
    d.image = decodeTiff(source, d.reason, d.found);
    EXPECT_TRUE(d.image != nullptr || !d.reason.empty());
    return d;
}
Decoded decode(const Bytes& file) {
    return decode(file, file.size());
}

Pixels pixelsOf(const Image& image) {
    Pixels out;
    for (std::uint32_t y = 0; y < image.height; ++y)
        for (std::uint32_t x = 0; x < image.width; ++x)
            out.push_back(pixelAt(image, x, y));
    return out;
}

Rgba premultiplied(int r, int g, int b, int a) {
    auto c = [a](int v) {
        return premultiplyFormula(static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(a));
    };
    return {c(r), c(g), c(b), static_cast<std::uint8_t>(a)};
}
Rgba grey(int v) {
    const auto g = static_cast<std::uint8_t>(v);
    return {g, g, g, 255};
}

// ---- Reading ----

TEST(TiffFormat, MatchesTheFourHeaders) {
    const struct {
        const char* head;
        std::size_t size;
        bool matches;
    } cases[] = {
        {"II*\0", 4, true},  {"MM\0*", 4, true},  {"II+\0", 4, true}, {"MM\0+", 4, true},
        {"II\0*", 4, false}, {"MM*\0", 4, false}, {"II*", 3, false},  {"IM*\0", 4, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(matchesTiff(reinterpret_cast<const std::uint8_t*>(c.head), c.size), c.matches) << c.head;
}

// Each colour model and depth, in its plainest layout, with the pixels worked out by hand.
TEST(TiffReader, SamplesBecomePixelsByTheirModelAndDepth) {
    TiffLayout palette2;
    palette2.bits = 2;
    palette2.photometric = PHOTOMETRIC_PALETTE;
    palette2.colormap = {0, 65535, 257 * 100, 32896, 0, 0, 128, 129, 65535, 65535, 0, 0};
    TiffLayout palette8 = palette2;
    palette8.bits = 8;
    palette8.colormap.assign(3 * 256, 0);
    palette8.colormap[200] = 65535;             // red of entry 200
    palette8.colormap[256 + 7] = 257 * 77;      // green of entry 7
    palette8.colormap[512 + 255] = 257 * 3 + 1; // blue of entry 255
    auto layoutOf = [](std::uint16_t bits, std::uint16_t photometric, std::uint16_t samples, int extra = -1) {
        TiffLayout s;
        s.bits = bits;
        s.photometric = photometric;
        s.samples = samples;
        s.extra = extra;
        return s;
    };
    const struct {
        const char* name;
        TiffLayout layoutOf;
        std::vector<std::uint32_t> values;
        Pixels expected;
    } cases[] = {
        {"1-bit black is zero",
         layoutOf(1, PHOTOMETRIC_MINISBLACK, 1),
         {0, 1, 1, 0, 0, 1},
         {grey(0), grey(255), grey(255), grey(0), grey(0), grey(255)}},
        {"1-bit white is zero",
         layoutOf(1, PHOTOMETRIC_MINISWHITE, 1),
         {0, 1, 1, 0, 0, 1},
         {grey(255), grey(0), grey(0), grey(255), grey(255), grey(0)}},
        {"2-bit grey",
         layoutOf(2, PHOTOMETRIC_MINISBLACK, 1),
         {0, 1, 2, 3, 2, 1},
         {grey(0), grey(85), grey(170), grey(255), grey(170), grey(85)}},
        {"4-bit grey",
         layoutOf(4, PHOTOMETRIC_MINISBLACK, 1),
         {0, 1, 7, 15, 8, 14},
         {grey(0), grey(17), grey(119), grey(255), grey(136), grey(238)}},
        {"4-bit white is zero",
         layoutOf(4, PHOTOMETRIC_MINISWHITE, 1),
         {0, 1, 7, 15, 8, 14},
         {grey(255), grey(238), grey(136), grey(0), grey(119), grey(17)}},
        {"16-bit grey rounds to nearest",
         layoutOf(16, PHOTOMETRIC_MINISBLACK, 1),
         {128, 129, 257, 32896, 65278, 65535},
         {grey(0), grey(1), grey(1), grey(128), grey(254), grey(255)}},
        {"16-bit white is zero",
         layoutOf(16, PHOTOMETRIC_MINISWHITE, 1),
         {128, 129, 257, 32896, 65278, 65535},
         {grey(255), grey(254), grey(254), grey(127), grey(1), grey(0)}},
        {"8-bit RGB",
         layoutOf(8, PHOTOMETRIC_RGB, 3),
         {10, 20, 30, 255, 0, 0, 0, 255, 0, 0, 0, 255, 1, 2, 3, 4, 5, 6},
         {{10, 20, 30, 255},
          {255, 0, 0, 255},
          {0, 255, 0, 255},
          {0, 0, 255, 255},
          {1, 2, 3, 255},
          {4, 5, 6, 255}}},
        {"16-bit RGB",
         layoutOf(16, PHOTOMETRIC_RGB, 3),
         {0, 128, 129, 65535, 257, 32896, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
         {{0, 0, 1, 255},
          {255, 1, 128, 255},
          {0, 0, 0, 255},
          {0, 0, 0, 255},
          {0, 0, 0, 255},
          {0, 0, 0, 255}}},
        {"RGB with straight alpha",
         layoutOf(8, PHOTOMETRIC_RGB, 4, EXTRASAMPLE_UNASSALPHA),
         {200, 100, 50, 128, 195, 0, 255, 17, 9, 9, 9, 0, 1, 2, 3, 255, 255, 255, 255, 254, 0, 0, 0, 0},
         {premultiplied(200, 100, 50, 128),
          premultiplied(195, 0, 255, 17),
          {0, 0, 0, 0},
          {1, 2, 3, 255},
          premultiplied(255, 255, 255, 254),
          {0, 0, 0, 0}}},
        {"an unspecified extra sample is straight alpha",
         layoutOf(8, PHOTOMETRIC_RGB, 4, EXTRASAMPLE_UNSPECIFIED),
         {200, 100, 50, 128, 195, 0, 255, 17, 9, 9, 9, 0, 1, 2, 3, 255, 255, 255, 255, 254, 0, 0, 0, 0},
         {premultiplied(200, 100, 50, 128),
          premultiplied(195, 0, 255, 17),
          {0, 0, 0, 0},
          {1, 2, 3, 255},
          premultiplied(255, 255, 255, 254),
          {0, 0, 0, 0}}},
        {"RGB with premultiplied alpha kept, colour above alpha lowered",
         layoutOf(8, PHOTOMETRIC_RGB, 4, EXTRASAMPLE_ASSOCALPHA),
         {100, 50, 128, 128, 17, 0, 200, 17, 9, 9, 9, 0, 1, 2, 3, 255, 0, 0, 0, 0, 60, 61, 62, 63},
         {{100, 50, 128, 128},
          {17, 0, 17, 17},
          {0, 0, 0, 0},
          {1, 2, 3, 255},
          {0, 0, 0, 0},
          {60, 61, 62, 63}}},
        {"16-bit RGB with straight alpha",
         layoutOf(16, PHOTOMETRIC_RGB, 4, EXTRASAMPLE_UNASSALPHA),
         {65535, 32896, 0, 32896, 0,     0, 0, 0,     257, 514, 771, 65535,
          0,     0,     0, 65535, 65535, 0, 0, 65535, 1,   1,   1,   1},
         {premultiplied(255, 128, 0, 128),
          {0, 0, 0, 0},
          {1, 2, 3, 255},
          {0, 0, 0, 255},
          {255, 0, 0, 255},
          {0, 0, 0, 0}}},
        {"grey with straight alpha",
         layoutOf(8, PHOTOMETRIC_MINISBLACK, 2, EXTRASAMPLE_UNASSALPHA),
         {200, 100, 0, 255, 255, 0, 7, 255, 195, 17, 90, 91},
         {premultiplied(200, 200, 200, 100),
          grey(0),
          {0, 0, 0, 0},
          grey(7),
          premultiplied(195, 195, 195, 17),
          premultiplied(90, 90, 90, 91)}},
        {"white-is-zero grey with premultiplied alpha",
         layoutOf(8, PHOTOMETRIC_MINISWHITE, 2, EXTRASAMPLE_ASSOCALPHA),
         {30, 100, 0, 255, 255, 255, 120, 100, 0, 0, 5, 9},
         {{70, 70, 70, 100}, grey(255), grey(0), {0, 0, 0, 100}, {0, 0, 0, 0}, {4, 4, 4, 9}}},
        {"2-bit palette, 16-bit entries to nearest",
         palette2,
         {0, 1, 2, 3, 3, 0},
         {{0, 0, 255, 255},
          {255, 0, 255, 255},
          {100, 0, 0, 255},
          {128, 1, 0, 255},
          {128, 1, 0, 255},
          {0, 0, 255, 255}}},
        {"8-bit palette",
         palette8,
         {200, 7, 255, 0, 7, 200},
         {{255, 0, 0, 255},
          {0, 77, 0, 255},
          {0, 0, 3, 255},
          {0, 0, 0, 255},
          {0, 77, 0, 255},
          {255, 0, 0, 255}}},
        {"CMYK, products rounded down",
         layoutOf(8, PHOTOMETRIC_SEPARATED, 4),
         {0, 255, 128, 0, 0, 255, 128, 51, 255, 255, 255, 255, 0, 0, 0, 0, 10, 20, 30, 40, 0, 0, 0, 255},
         {{255, 0, 127, 255}, {204, 0, 101, 255}, grey(0), grey(255), {206, 198, 189, 255}, grey(0)}},
        {"16-bit CMYK",
         layoutOf(16, PHOTOMETRIC_SEPARATED, 4),
         {0, 65535, 32896, 0, 0, 0, 0, 13107, 65535, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 65535},
         {{255, 0, 127, 255}, {204, 204, 204, 255}, {0, 255, 255, 255}, grey(255), grey(255), grey(0)}},
        {"CMYK with straight alpha",
         layoutOf(8, PHOTOMETRIC_SEPARATED, 5, EXTRASAMPLE_UNASSALPHA),
         {0,  255, 128, 51, 128, 0, 0, 0, 0, 0,   0, 0, 0, 0, 255,
          10, 20,  30,  40, 17,  0, 0, 0, 0, 255, 1, 1, 1, 1, 1},
         {premultiplied(204, 0, 101, 128),
          {0, 0, 0, 0},
          grey(255),
          premultiplied(206, 198, 189, 17),
          grey(255),
          {0, 0, 0, 1}}},
        {"CMYK with premultiplied alpha",
         layoutOf(8, PHOTOMETRIC_SEPARATED, 5, EXTRASAMPLE_ASSOCALPHA),
         {0,  128, 64, 0,  128, 0,   0, 0, 0, 0,   0, 0, 0, 0, 255,
          10, 0,   0,  20, 100, 200, 0, 0, 0, 100, 9, 9, 9, 9, 0},
         {{128, 0, 64, 128}, {0, 0, 0, 0}, grey(255), {72, 80, 80, 100}, {0, 100, 100, 100}, {0, 0, 0, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode(makeTiff(c.layoutOf, c.values));
        ASSERT_NE(d.image, nullptr) << d.reason;
        ASSERT_EQ(d.image->width, 3u);
        ASSERT_EQ(d.image->height, 2u);
        EXPECT_EQ(pixelsOf(*d.image), c.expected);
    }
}

// Random samples for a layoutOf: any value its depth holds (indices within the palette).
std::vector<std::uint32_t> randomSamples(const TiffLayout& s, std::mt19937& random) {
    std::vector<std::uint32_t> values(std::size_t{s.width} * s.height * s.samples);
    for (auto& v : values)
        v = static_cast<std::uint32_t>(random()) & ((1u << s.bits) - 1);
    return values;
}

// Strips of any height, tiles, separate planes, compression, byte order and BigTIFF change nothing: the
// same samples read as the same pixels as from one uncompressed strip.
TEST(TiffReader, EveryLayoutAndCompressionReadsAsThePlainFile) {
    struct Variant {
        const char* name;
        std::uint32_t tile;
        std::uint32_t rowsPerStrip;
        bool planar;
        std::uint16_t compression;
        const char* mode;
    };
    const Variant layouts[] = {
        {"strips of 1 row", 0, 1, false, COMPRESSION_NONE, "w"},
        {"strips of 7 rows, LZW", 0, 7, false, COMPRESSION_LZW, "w"},
        {"deflate, big-endian", 0, 5, false, COMPRESSION_ADOBE_DEFLATE, "wb"},
        {"PackBits, BigTIFF", 0, 4, false, COMPRESSION_PACKBITS, "w8"},
        {"separate planes in strips", 0, 3, true, COMPRESSION_NONE, "w"},
        {"separate planes, LZW, big-endian", 0, 6, true, COMPRESSION_LZW, "wb"},
        {"tiles", 16, 0, false, COMPRESSION_NONE, "w"},
        {"tiles, deflate, big-endian", 16, 0, false, COMPRESSION_ADOBE_DEFLATE, "wb"},
        {"tiles in separate planes, LZW", 16, 0, true, COMPRESSION_LZW, "w"},
    };
    struct Model {
        std::uint16_t bits;
        std::uint16_t photometric;
        std::uint16_t samples;
        int extra;
    };
    const Model models[] = {
        {1, PHOTOMETRIC_MINISWHITE, 1, -1},
        {2, PHOTOMETRIC_MINISBLACK, 1, -1},
        {4, PHOTOMETRIC_PALETTE, 1, -1},
        {8, PHOTOMETRIC_RGB, 3, -1},
        {8, PHOTOMETRIC_RGB, 4, EXTRASAMPLE_ASSOCALPHA},
        {16, PHOTOMETRIC_RGB, 4, EXTRASAMPLE_UNASSALPHA},
        {16, PHOTOMETRIC_MINISBLACK, 2, EXTRASAMPLE_UNASSALPHA},
        {4, PHOTOMETRIC_MINISBLACK, 2, EXTRASAMPLE_UNASSALPHA},
        {8, PHOTOMETRIC_SEPARATED, 4, -1},
    };
    std::mt19937 random(17);
    for (const Model& m : models) {
        TiffLayout plain;
        plain.width = 37; // tiles at the right and bottom edges hang over
        plain.height = 21;
        plain.bits = m.bits;
        plain.photometric = m.photometric;
        plain.samples = m.samples;
        plain.extra = m.extra;
        if (m.photometric == PHOTOMETRIC_PALETTE)
            for (std::size_t i = 0; i < 3 * (std::size_t{1} << m.bits); ++i)
                plain.colormap.push_back(static_cast<std::uint16_t>(random()));
        const std::vector<std::uint32_t> values = randomSamples(plain, random);
        const Decoded expected = decode(makeTiff(plain, values));
        ASSERT_NE(expected.image, nullptr) << expected.reason;
        for (const Variant& v : layouts) {
            SCOPED_TRACE(testing::Message() << v.name << ", " << m.bits << " bits, photometric "
                                            << m.photometric << ", " << m.samples << " samples");
            TiffLayout s = plain;
            s.tile = v.tile;
            s.rowsPerStrip = v.rowsPerStrip;
            s.planar = v.planar;
            s.compression = v.compression;
            s.mode = v.mode;
            const Decoded d = decode(makeTiff(s, values));
            ASSERT_NE(d.image, nullptr) << d.reason;
            ASSERT_EQ(pixelsOf(*d.image), pixelsOf(*expected.image));
        }
    }
}

// JPEG compression loses a little; YCbCr ones come back as RGB, and the pixels stay near what went in.
TEST(TiffReader, JpegCompressedFilesReadNearTheirSamples) {
    for (const int photometric : {PHOTOMETRIC_YCBCR, PHOTOMETRIC_RGB, PHOTOMETRIC_MINISBLACK}) {
        SCOPED_TRACE(photometric);
        TiffLayout s;
        s.width = 40;
        s.height = 32;
        s.photometric = static_cast<std::uint16_t>(photometric);
        s.samples = photometric == PHOTOMETRIC_MINISBLACK ? 1 : 3;
        s.compression = COMPRESSION_JPEG;
        s.rowsPerStrip = 16;
        std::vector<std::uint32_t> values;
        for (std::uint32_t y = 0; y < s.height; ++y)
            for (std::uint32_t x = 0; x < s.width; ++x)
                for (unsigned c = 0; c < s.samples; ++c)
                    values.push_back(c == 0 ? x * 6 : c == 1 ? y * 7 : 90);
        const Decoded d = decode(makeTiff(s, values));
        ASSERT_NE(d.image, nullptr) << d.reason;
        for (std::uint32_t y = 0; y < s.height; ++y)
            for (std::uint32_t x = 0; x < s.width; ++x) {
                const Rgba p = pixelAt(*d.image, x, y);
                const std::size_t at = (std::size_t{y} * s.width + x) * s.samples;
                for (unsigned c = 0; c < 3; ++c)
                    ASSERT_NEAR(p[c], values[at + (s.samples == 1 ? 0 : c)], 12) << x << "," << y;
                ASSERT_EQ(p[3], 255);
            }
    }
}

TEST(TiffReader, WhatItCannotShowIsRefusedWithTheReason) {
    auto layoutOf = [](std::uint16_t bits, std::uint16_t photometric, std::uint16_t samples) {
        TiffLayout s;
        s.bits = bits;
        s.photometric = photometric;
        s.samples = samples;
        return s;
    };
    TiffLayout floats = layoutOf(32, PHOTOMETRIC_MINISBLACK, 1);
    floats.sampleFormat = SAMPLEFORMAT_IEEEFP;
    TiffLayout signedSamples = layoutOf(8, PHOTOMETRIC_MINISBLACK, 1);
    signedSamples.sampleFormat = SAMPLEFORMAT_INT;
    TiffLayout twoExtra = layoutOf(8, PHOTOMETRIC_RGB, 5);
    twoExtra.extra = EXTRASAMPLE_ASSOCALPHA;
    TiffLayout wordPalette = layoutOf(16, PHOTOMETRIC_PALETTE, 1);
    wordPalette.colormap.assign(3 * 65536, 0);
    TiffLayout paletteAlpha = layoutOf(8, PHOTOMETRIC_PALETTE, 2);
    paletteAlpha.colormap.assign(3 * 256, 0);
    paletteAlpha.extra = EXTRASAMPLE_UNASSALPHA;
    const struct {
        const char* name;
        TiffLayout layoutOf;
        const char* reason;
    } cases[] = {
        {"floating point", floats, "TIFF: unsupported sample format"},
        {"signed", signedSamples, "TIFF: unsupported sample format"},
        {"32-bit", layoutOf(32, PHOTOMETRIC_MINISBLACK, 1), "TIFF: unsupported bits per sample"},
        {"12-bit", layoutOf(12, PHOTOMETRIC_MINISBLACK, 1), "TIFF: unsupported bits per sample"},
        {"16-bit palette", wordPalette, "TIFF: unsupported bits per sample"},
        {"Lab", layoutOf(8, PHOTOMETRIC_CIELAB, 3), "TIFF: unsupported photometric interpretation"},
        {"uncompressed YCbCr", layoutOf(8, PHOTOMETRIC_YCBCR, 3),
         "TIFF: unsupported photometric interpretation"},
        {"transparency mask", layoutOf(1, PHOTOMETRIC_MASK, 1),
         "TIFF: unsupported photometric interpretation"},
        {"two extra samples", twoExtra, "TIFF: unsupported extra samples"},
        {"palette with alpha", paletteAlpha, "TIFF: unsupported extra samples"},
        {"RGB of two samples", layoutOf(8, PHOTOMETRIC_RGB, 2), "TIFF: corrupt data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t samples = std::size_t{c.layoutOf.width} * c.layoutOf.height * c.layoutOf.samples;
        const Decoded d = decode(makeTiff(c.layoutOf, std::vector<std::uint32_t>(samples, 1)));
        EXPECT_EQ(d.image, nullptr);
        EXPECT_EQ(d.reason, c.reason);
    }
}

std::size_t readLittleEndian(const Bytes& file, std::size_t at, unsigned n) {
    std::size_t v = 0;
    for (unsigned i = 0; i < n; ++i)
        v |= std::size_t{file[at + i]} << (8 * i);
    return v;
}

// The entry for `tag` in the first directory of a little-endian classic file.
std::size_t entryOf(const Bytes& file, std::uint16_t tag) {
    const std::size_t directory = readLittleEndian(file, 4, 4);
    for (std::size_t i = 0; i < readLittleEndian(file, directory, 2); ++i) {
        const std::size_t entry = directory + 2 + 12 * i;
        if (readLittleEndian(file, entry, 2) == tag)
            return entry;
    }
    ADD_FAILURE() << "no tag " << tag;
    return 0;
}

// The offset of the value field of the entry for `tag`.
std::size_t entryValueAt(const Bytes& file, std::uint16_t tag) {
    return entryOf(file, tag) + 8;
}

// Where the value of the entry for `tag` is held: in the entry itself when it fits there (`inEntry` then
// set), otherwise where the entry points.
std::size_t valueAt(const Bytes& file, std::uint16_t tag, bool& inEntry) {
    const std::size_t entry = entryOf(file, tag);
    const std::size_t type = readLittleEndian(file, entry + 2, 2);
    const std::size_t typeBytes = type == TIFF_SHORT ? 2 : type == TIFF_LONG ? 4 : 1;
    inEntry = readLittleEndian(file, entry + 4, 4) * typeBytes <= 4;
    return inEntry ? entry + 8 : readLittleEndian(file, entry + 8, 4);
}

TEST(TiffReader, FilesCutShortAreRefusedAtEveryLength) {
    std::mt19937 random(5);
    TiffLayout strips;
    strips.width = 9;
    strips.height = 7;
    strips.photometric = PHOTOMETRIC_RGB;
    strips.samples = 3;
    strips.rowsPerStrip = 2;
    strips.compression = COMPRESSION_LZW;
    strips.icc = Bytes(40, 7);
    TiffLayout tiles = strips;
    tiles.tile = 16;
    tiles.compression = COMPRESSION_ADOBE_DEFLATE;
    tiles.mode = "wb";
    TiffLayout big = strips;
    big.mode = "w8";
    big.compression = COMPRESSION_NONE;
    for (const TiffLayout& s : {strips, tiles, big}) {
        SCOPED_TRACE(s.mode);
        const Bytes file = makeTiff(s, randomSamples(s, random));
        ASSERT_NE(decode(file).image, nullptr);
        for (std::size_t size = 0; size < file.size(); ++size) {
            const Decoded d = decode(file, size);
            ASSERT_EQ(d.image, nullptr) << "cut at " << size;
            ASSERT_EQ(d.reason, "TIFF: file ends early") << "cut at " << size;
        }
    }
}

// With the directory whole, strips that end beyond the data are what a cut file looks like too, even when
// the library would fill in what is missing.
TEST(TiffReader, StripsAndTagValuesBeyondTheDataAreRefused) {
    TiffLayout s;
    s.width = 8;
    s.height = 8;
    s.rowsPerStrip = 4;
    s.xmp = Bytes(30, 'x');
    const Bytes file = makeTiff(s, std::vector<std::uint32_t>(64, 9));
    auto moved = [&](std::uint16_t tag, std::uint32_t to) {
        Bytes b = file;
        const std::size_t at = entryValueAt(b, tag);
        for (unsigned i = 0; i < 4; ++i)
            b[at + i] = static_cast<std::uint8_t>(to >> (8 * i));
        return b;
    };
    const auto size = static_cast<std::uint32_t>(file.size());
    // A single byte count is held in the entry, after one of the directory's own values.
    EXPECT_EQ(decode(moved(TIFFTAG_XMLPACKET, size - 10)).reason, "TIFF: file ends early");
    EXPECT_EQ(decode(moved(TIFFTAG_XMLPACKET, 0xFFFFFFF0u)).reason, "TIFF: file ends early");
    // The second strip's byte count, a short or a long.
    Bytes longStrips = file;
    bool held = false;
    const std::size_t counts = valueAt(longStrips, TIFFTAG_STRIPBYTECOUNTS, held);
    const std::size_t second = counts + (held ? 2 : 4);
    longStrips[second] = 0x60; // 60000
    longStrips[second + 1] = 0xEA;
    EXPECT_EQ(decode(longStrips).reason, "TIFF: file ends early");
}

TEST(TiffReader, DamagedFilesAreRefusedWithoutHarm) {
    std::mt19937 random(9);
    TiffLayout s;
    s.width = 30;
    s.height = 20;
    s.photometric = PHOTOMETRIC_RGB;
    s.samples = 3;
    s.rowsPerStrip = 4;
    s.compression = COMPRESSION_ADOBE_DEFLATE;
    const Bytes file = makeTiff(s, randomSamples(s, random));

    Bytes badMagic = file;
    badMagic[2] = 41;
    EXPECT_EQ(decode(badMagic).reason, "TIFF: corrupt data");
    Bytes noDirectory = file;
    std::fill(noDirectory.begin() + 4, noDirectory.begin() + 8, 0);
    EXPECT_EQ(decode(noDirectory).reason, "TIFF: corrupt data");
    Bytes badOrder = file;
    badOrder[0] = 'X';
    EXPECT_EQ(decode(badOrder).reason, "TIFF: corrupt data");
    // The compressed data of every strip overwritten: deflate finds it bad.
    Bytes scrambled = file;
    for (std::size_t i = 8; i < 8 + 200; ++i)
        scrambled[i] = static_cast<std::uint8_t>(i * 37);
    EXPECT_EQ(decode(scrambled).reason, "TIFF: corrupt data");
    Bytes noWidth = file;
    const std::size_t width = entryValueAt(noWidth, TIFFTAG_IMAGEWIDTH);
    noWidth[width] = noWidth[width + 1] = 0;
    EXPECT_EQ(decode(noWidth).reason, "TIFF: corrupt data");

    // Any single byte changed anywhere: an image or a reason, never a crash.
    for (std::size_t at = 0; at < file.size(); ++at)
        for (const int value : {0x00, 0xFF, 0x7F}) {
            Bytes damaged = file;
            damaged[at] = static_cast<std::uint8_t>(value);
            const Decoded d = decode(damaged);
            if (d.image == nullptr) {
                ASSERT_EQ(d.reason.rfind("TIFF: ", 0), 0u) << d.reason;
            }
        }
}

TEST(TiffReader, ALargeDeclaredSizeIsRefusedBeforeAllocating) {
    TiffLayout s;
    s.width = 1;
    s.height = 1;
    s.compression = COMPRESSION_ADOBE_DEFLATE;
    Bytes file = makeTiff(s, {5});
    for (const int tag : {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH}) {
        const std::size_t at = entryValueAt(file, static_cast<std::uint16_t>(tag));
        file[at] = 0x60; // 60000
        file[at + 1] = 0xEA;
    }
    setImageMemoryLimit(imageBytesHeld() + (std::uint64_t{64} << 20));
    EXPECT_THROW(decode(file), std::bad_alloc);
    setImageMemoryLimit(std::nullopt);
}

TEST(TiffReader, AFileIsReadWholeWithinTheBudgetFromAFileOrAPipe) {
    std::mt19937 random(3);
    TiffLayout s;
    s.width = 600;
    s.height = 500;
    s.photometric = PHOTOMETRIC_RGB;
    s.samples = 3;
    s.rowsPerStrip = 50;
    const Bytes file = makeTiff(s, randomSamples(s, random)); // 900 KB, uncompressed
    const Decoded inMemory = decode(file);
    ASSERT_NE(inMemory.image, nullptr);

    const std::string path = tempPath("tiff_whole_");
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    {
        ByteSource source(fd, true);
        std::string reason;
        FoundMetadata found;
        const ImagePtr image = decodeTiff(source, reason, found);
        ASSERT_NE(image, nullptr) << reason;
        EXPECT_EQ(bytesOf(*image), bytesOf(*inMemory.image));
    }
    // The file alone is more than the budget allows: refused before it is read.
    ::lseek(fd, 0, SEEK_SET);
    setImageMemoryLimit(imageBytesHeld() + file.size() / 2);
    {
        ByteSource source(fd, true);
        std::string reason;
        FoundMetadata found;
        EXPECT_THROW(decodeTiff(source, reason, found), std::bad_alloc);
    }
    setImageMemoryLimit(std::nullopt);
    ::close(fd);
    fs::remove(path);

    // From a pipe the storage grows as the bytes come.
    TiffLayout small;
    small.width = 50;
    small.height = 40;
    small.photometric = PHOTOMETRIC_RGB;
    small.samples = 3;
    const Bytes smallFile = makeTiff(small, randomSamples(small, random));
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], smallFile.data(), smallFile.size()), static_cast<ssize_t>(smallFile.size()));
    ::close(ends[1]);
    {
        ByteSource source(ends[0], false);
        std::string reason;
        FoundMetadata found;
        const ImagePtr image = decodeTiff(source, reason, found);
        ASSERT_NE(image, nullptr) << reason;
        EXPECT_EQ(bytesOf(*image), bytesOf(*decode(smallFile).image));
    }
    ::close(ends[0]);
}

TEST(TiffReader, TheProfileAndXmpAreFoundAndOversizedOnesNoted) {
    TiffLayout s;
    s.icc = Bytes(300, 0);
    std::memcpy(s.icc.data() + 16, "GRAY", 4);
    s.icc[299] = 0xAB;
    const std::string packet = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    s.xmp.assign(packet.begin(), packet.end());
    const Decoded d = decode(makeTiff(s, {1, 2, 3, 4, 5, 6}));
    ASSERT_NE(d.image, nullptr) << d.reason;
    EXPECT_EQ(d.found.icc, s.icc);
    EXPECT_EQ(d.found.xmp, s.xmp);
    EXPECT_TRUE(d.found.exif.empty());
    EXPECT_TRUE(d.found.notes.empty());

    TiffLayout huge;
    huge.xmp = Bytes(metadataBlockCap + 1, ' ');
    const Decoded big = decode(makeTiff(huge, {1, 2, 3, 4, 5, 6}));
    ASSERT_NE(big.image, nullptr) << big.reason;
    EXPECT_TRUE(big.found.xmp.empty());
    ASSERT_EQ(big.found.notes.size(), 1u);
    EXPECT_NE(big.found.notes[0].find("XMP packet"), std::string::npos);
}

// ---- Writing ----

Bytes encodeToBytes(const Image& image) {
    char name[] = "/tmp/tiff_write_XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_TRUE(encodeTiff(image, fd));
    Bytes out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(::pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    ::close(fd);
    ::unlink(name);
    return out;
}

// Random premultiplied pixels: opaque, translucent and transparent, colour under alpha 0 included; grey
// ones when asked.
ImagePtr randomImage(std::mt19937& random, std::uint32_t width, std::uint32_t height, bool alpha,
                     bool colour) {
    std::uniform_int_distribution<int> byte(0, 255);
    return makeImage(width, height, [&](std::uint32_t, std::uint32_t) -> Rgba {
        const int kind = alpha ? byte(random) % 4 : 0;
        const auto a = static_cast<std::uint8_t>(kind == 0 ? 255 : kind == 1 ? 0 : byte(random));
        const auto& t = straightColourTables().premultiply;
        Rgba p{};
        const auto g = static_cast<unsigned>(byte(random));
        for (std::size_t c = 0; c < 3; ++c)
            p[c] = t[a * 256u + (colour ? static_cast<unsigned>(byte(random)) : g)];
        p[3] = a;
        return p;
    });
}

// What any writer of straight colour and reader give back for an image.
Bytes throughStraightColour(const Image& image) {
    Bytes straight(image.byteCount());
    Bytes out(image.byteCount());
    straightenPixels(image.pixels.get(), std::size_t{image.width} * image.height, straight.data(),
                     ChannelOrder::Rgba);
    premultiplyPixels(straight.data(), std::size_t{image.width} * image.height, out.data(),
                      ChannelOrder::Rgba);
    return out;
}

struct Tags {
    std::uint16_t samples = 0;
    std::uint16_t photometric = 0;
    std::uint16_t compression = 0;
    std::uint16_t predictor = 0;
    int extra = -1;
    Bytes icc;
    Bytes xmp;
};

Tags tagsOf(const Bytes& file) {
    const std::string path = tempPath("tiff_tags_");
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    Tags tags;
    EXPECT_NE(t, nullptr);
    TIFFGetField(t, TIFFTAG_SAMPLESPERPIXEL, &tags.samples);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &tags.photometric);
    TIFFGetField(t, TIFFTAG_COMPRESSION, &tags.compression);
    TIFFGetField(t, TIFFTAG_PREDICTOR, &tags.predictor);
    std::uint16_t count = 0;
    std::uint16_t* kinds = nullptr;
    if (TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &count, &kinds) == 1 && count == 1)
        tags.extra = kinds[0];
    std::uint32_t size = 0;
    const std::uint8_t* data = nullptr;
    if (TIFFGetField(t, TIFFTAG_ICCPROFILE, &size, &data) == 1)
        tags.icc.assign(data, data + size);
    if (TIFFGetField(t, TIFFTAG_XMLPACKET, &size, &data) == 1)
        tags.xmp.assign(data, data + size);
    EXPECT_EQ(TIFFReadDirectory(t), 0); // one image only
    TIFFClose(t);
    fs::remove(path);
    return tags;
}

TEST(TiffWriter, WritesReadBackExactlyInTheSmallestLayout) {
    const struct {
        bool alpha;
        bool colour;
        std::uint16_t samples;
        std::uint16_t photometric;
    } cases[] = {
        {false, false, 1, PHOTOMETRIC_MINISBLACK},
        {true, false, 2, PHOTOMETRIC_MINISBLACK},
        {false, true, 3, PHOTOMETRIC_RGB},
        {true, true, 4, PHOTOMETRIC_RGB},
    };
    std::mt19937 random(7);
    for (const auto& c : cases)
        for (int round = 0; round < 12; ++round) {
            SCOPED_TRACE(testing::Message() << c.samples << " samples, round " << round);
            const auto width = static_cast<std::uint32_t>(1 + random() % 90);
            const auto height = static_cast<std::uint32_t>(1 + random() % (round == 0 ? 3000 : 60));
            const ImagePtr image = randomImage(random, width, height, c.alpha, c.colour);
            const Bytes file = encodeToBytes(*image);
            const Tags tags = tagsOf(file);
            EXPECT_EQ(tags.samples, c.samples);
            EXPECT_EQ(tags.photometric, c.photometric);
            EXPECT_EQ(tags.compression, COMPRESSION_ADOBE_DEFLATE);
            EXPECT_EQ(tags.predictor, PREDICTOR_HORIZONTAL);
            EXPECT_EQ(tags.extra, c.alpha ? EXTRASAMPLE_UNASSALPHA : -1);
            const Decoded d = decode(file);
            ASSERT_NE(d.image, nullptr) << d.reason;
            ASSERT_EQ(d.image->width, width);
            ASSERT_EQ(d.image->height, height);
            ASSERT_EQ(bytesOf(*d.image), c.alpha ? throughStraightColour(*image) : bytesOf(*image));
        }
}

TEST(TiffWriter, TheSameImageGivesTheSameBytes) {
    std::mt19937 random(21);
    const ImagePtr image = randomImage(random, 300, 200, true, true);
    image->metadata = makeMetadata({}, {}, Bytes{'<', 'x', '/', '>'});
    const Bytes first = encodeToBytes(*image);
    EXPECT_EQ(encodeToBytes(*image), first);
    EXPECT_EQ(encodeToBytes(*cloneImage(*image)), first);
}

Bytes profileOf(const char* space) {
    Bytes icc(200);
    for (std::size_t i = 0; i < icc.size(); ++i)
        icc[i] = static_cast<std::uint8_t>(i * 7);
    std::memcpy(icc.data() + 16, space, 4);
    return icc;
}

TEST(TiffWriter, TheProfileGoesAlongOnlyWhereItDescribesThePixels) {
    const ImagePtr greyImage = makeImage(5, 4, [](std::uint32_t x, std::uint32_t y) -> Rgba {
        const auto v = static_cast<std::uint8_t>(x * 40 + y);
        return {v, v, v, 255};
    });
    const ImagePtr colourImage = makeImage(5, 4, [](std::uint32_t x, std::uint32_t y) -> Rgba {
        return {static_cast<std::uint8_t>(x * 40), static_cast<std::uint8_t>(y * 50), 9, 255};
    });
    const Bytes xmp{'<', 'x', 'm', 'p', '/', '>'};
    const struct {
        const char* name;
        const Image& image;
        const char* space;
        std::uint16_t samples;
        bool kept;
    } cases[] = {
        {"grey profile, grey pixels", *greyImage, "GRAY", 1, true},
        {"grey profile, colour pixels", *colourImage, "GRAY", 3, false},
        {"RGB profile, colour pixels", *colourImage, "RGB ", 3, true},
        {"RGB profile keeps grey pixels in RGB", *greyImage, "RGB ", 3, true},
        {"CMYK profile", *colourImage, "CMYK", 3, false},
        {"CMYK profile, grey pixels", *greyImage, "CMYK", 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ImagePtr image = cloneImage(c.image);
        image->metadata = makeMetadata(profileOf(c.space), {}, xmp);
        const Bytes file = encodeToBytes(*image);
        const Tags tags = tagsOf(file);
        EXPECT_EQ(tags.samples, c.samples);
        EXPECT_EQ(tags.icc, c.kept ? profileOf(c.space) : Bytes{});
        EXPECT_EQ(tags.xmp, xmp);
        const Decoded d = decode(file);
        ASSERT_NE(d.image, nullptr) << d.reason;
        EXPECT_EQ(bytesOf(*d.image), bytesOf(c.image));
        EXPECT_EQ(d.found.icc, tags.icc);
        EXPECT_EQ(d.found.xmp, xmp);
    }
    const Tags bare = tagsOf(encodeToBytes(*greyImage));
    EXPECT_TRUE(bare.icc.empty());
    EXPECT_TRUE(bare.xmp.empty());
}

TEST(TiffWriter, FailuresAreReported) {
    std::mt19937 random(3);
    const ImagePtr image = randomImage(random, 300, 200, true, true);
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    EXPECT_FALSE(encodeTiff(*image, full));
    ::close(full);

    // The file is laid out in memory the budget counts: under any limit the encoder either finishes or
    // runs out of memory, and never takes the budget's refusal for a failed write.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    int finished = 0;
    int refused = 0;
    for (std::uint64_t room = 0; room <= (std::uint64_t{2} << 20); room += std::uint64_t{16} << 10) {
        setImageMemoryLimit(imageBytesHeld() + room);
        try {
            ASSERT_TRUE(encodeTiff(*image, null)) << room;
            ++finished;
        } catch (const std::bad_alloc&) {
            ++refused;
        }
    }
    setImageMemoryLimit(std::nullopt);
    EXPECT_GT(finished, 0);
    EXPECT_GT(refused, 0);
    EXPECT_FALSE(encodeTiff(*createImage(0, 5), null));
    ::close(null);
}

} // namespace

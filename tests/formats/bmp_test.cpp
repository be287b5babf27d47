#include "formats/bmp.h"

#include "image/straight_colour.h"
#include "system/memory_budget.h"

#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Rgba = std::array<std::uint8_t, 4>;

// ---- Building files byte by byte ----

void put16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Bytes& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

struct BmpSpec {
    std::uint32_t headerSize = 40;
    std::int32_t width = 1;
    std::int32_t height = 1; // negative: top row first
    std::uint32_t bits = 24;
    std::uint32_t compression = 0;
    std::uint32_t coloursUsed = 0;
    std::vector<Rgba> palette; // red, green, blue
    std::array<std::uint32_t, 4> masks{};
    Bytes pixels;                 // as stored
    std::int64_t dataOffset = -1; // where the headers and palette end when -1
};

Bytes makeBmp(const BmpSpec& s) {
    Bytes info;
    put32(info, s.headerSize);
    if (s.headerSize == 12) {
        put16(info, static_cast<std::uint32_t>(s.width));
        put16(info, static_cast<std::uint32_t>(s.height));
        put16(info, 1);
        put16(info, s.bits);
    } else {
        put32(info, static_cast<std::uint32_t>(s.width));
        put32(info, static_cast<std::uint32_t>(s.height));
        put16(info, 1);
        put16(info, s.bits);
        put32(info, s.compression);
        put32(info, static_cast<std::uint32_t>(s.pixels.size()));
        put32(info, 2835);
        put32(info, 2835);
        put32(info, s.coloursUsed);
        put32(info, 0);
        if (s.headerSize >= 52 && s.headerSize != 64)
            for (std::size_t c = 0; c < (s.headerSize >= 56 ? 4u : 3u); ++c)
                put32(info, s.masks[c]);
        info.resize(s.headerSize);
        if (s.headerSize == 40 && (s.compression == 3 || s.compression == 6))
            for (std::size_t c = 0; c < (s.compression == 3 ? 3u : 4u); ++c)
                put32(info, s.masks[c]);
    }
    for (const Rgba& c : s.palette) {
        info.push_back(c[2]);
        info.push_back(c[1]);
        info.push_back(c[0]);
        if (s.headerSize != 12)
            info.push_back(0);
    }
    const auto offset = static_cast<std::uint32_t>(
        s.dataOffset >= 0 ? s.dataOffset : static_cast<std::int64_t>(14 + info.size()));
    Bytes out = {'B', 'M'};
    put32(out, static_cast<std::uint32_t>(14 + info.size() + s.pixels.size()));
    put32(out, 0);
    put32(out, offset);
    out.insert(out.end(), info.begin(), info.end());
    out.insert(out.end(), s.pixels.begin(), s.pixels.end());
    return out;
}

using PixelValue = std::function<std::uint32_t(std::uint32_t x, std::uint32_t y)>;

// Rows in the order the file stores them, each padded to 4 bytes. 24-bit values are 0xRRGGBB.
Bytes packRows(std::uint32_t width, std::uint32_t height, std::uint32_t bits, bool topDown,
               const PixelValue& value) {
    const std::size_t stride = (width * bits + 31) / 32 * 4;
    Bytes out;
    for (std::uint32_t n = 0; n < height; ++n) {
        const std::uint32_t y = topDown ? n : height - 1 - n;
        Bytes row(stride);
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t v = value(x, y);
            const std::size_t at = x * bits / 8;
            if (bits < 8)
                row[at] = static_cast<std::uint8_t>(row[at] | v << (8 - bits - x * bits % 8));
            for (std::size_t b = 0; bits >= 8 && b < bits / 8; ++b)
                row[at + b] = static_cast<std::uint8_t>(v >> (8 * b));
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

std::vector<Rgba> palette(std::size_t n) {
    std::vector<Rgba> out;
    for (std::size_t i = 0; i < n; ++i)
        out.push_back({static_cast<std::uint8_t>(13 + 41 * i), static_cast<std::uint8_t>(250 - 7 * i),
                       static_cast<std::uint8_t>(3 * i + 1), 255});
    return out;
}

struct Decoded {
    ImagePtr image;
    std::string reason;
};

Decoded decodeBytes(const Bytes& file, std::size_t size) {
    ByteSource source(file.data(), size);
    Decoded d;
    d.image = decodeBmp(source, d.reason);
    return d;
}
Decoded decodeBytes(const Bytes& file) {
    return decodeBytes(file, file.size());
}

Rgba pixelAt(const Image& image, std::uint32_t x, std::uint32_t y) {
    const std::uint8_t* p = image.pixel(x, y);
    return {p[0], p[1], p[2], p[3]};
}

Rgba premultiplied(Rgba straight) {
    for (std::size_t c = 0; c < 3; ++c)
        straight[c] = premultiplyFormula(straight[c], straight[3]);
    return straight;
}

using Expected = std::function<Rgba(std::uint32_t x, std::uint32_t y)>;

struct Case {
    std::string name;
    Bytes file;
    std::uint32_t width;
    std::uint32_t height;
    Expected want;
};

void expectImage(const Case& c) {
    SCOPED_TRACE(c.name);
    const Decoded d = decodeBytes(c.file);
    ASSERT_NE(d.image, nullptr) << d.reason;
    ASSERT_EQ(d.image->width, c.width);
    ASSERT_EQ(d.image->height, c.height);
    for (std::uint32_t y = 0; y < c.height; ++y)
        for (std::uint32_t x = 0; x < c.width; ++x)
            ASSERT_EQ(pixelAt(*d.image, x, y), c.want(x, y)) << x << "," << y;
}

// Indices that differ along both axes, within n colours.
std::uint32_t indexAt(std::uint32_t x, std::uint32_t y, std::size_t n) {
    return static_cast<std::uint32_t>((x * 5 + y * 3 + x * y) % n);
}

TEST(BmpReader, IndexedImagesOfEveryDepthAndHeader) {
    for (const std::uint32_t header : {12u, 40u, 56u, 64u, 124u})
        for (const std::uint32_t bits : {1u, 2u, 4u, 8u})
            for (const bool topDown : {false, true}) {
                if (header == 12 && topDown)
                    continue;
                const std::uint32_t w = 11; // crosses byte boundaries at every depth
                const std::uint32_t h = 3;
                const std::size_t n = std::size_t{1} << bits;
                const std::vector<Rgba> colours = palette(n);
                BmpSpec s;
                s.headerSize = header;
                s.width = w;
                s.height = topDown ? -3 : 3;
                s.bits = bits;
                s.palette = colours;
                s.pixels = packRows(w, h, bits, topDown, [&](auto x, auto y) { return indexAt(x, y, n); });
                expectImage({"header " + std::to_string(header) + ", " + std::to_string(bits) + " bits" +
                                 (topDown ? ", top-down" : ""),
                             makeBmp(s), w, h, [&](auto x, auto y) { return colours[indexAt(x, y, n)]; }});
            }
}

// A colour table shorter than the depth allows, as the header counts it; a table that ends at the pixel
// data is cut there.
TEST(BmpReader, TheColourTableIsAsLongAsItsCountAndRoom) {
    const std::vector<Rgba> colours = palette(3);
    BmpSpec s;
    s.width = 4;
    s.height = 2;
    s.bits = 8;
    s.coloursUsed = 3;
    s.palette = colours;
    s.pixels = packRows(4, 2, 8, false, [](auto x, auto y) { return (x + y) % 3; });
    expectImage({"three colours", makeBmp(s), 4, 2, [&](auto x, auto y) { return colours[(x + y) % 3]; }});

    s.pixels = packRows(4, 2, 8, false, [](auto x, auto) { return x; }); // index 3 at x = 3
    EXPECT_EQ(decodeBytes(makeBmp(s)).reason, "BMP: bad colour index");
    s.coloursUsed = 0;      // 256 declared...
    s.palette = palette(4); // ...but room for 4 before the pixels
    EXPECT_NE(decodeBytes(makeBmp(s)).image, nullptr);
    s.pixels = packRows(4, 2, 8, false, [](auto x, auto) { return x + 1; });
    EXPECT_EQ(decodeBytes(makeBmp(s)).reason, "BMP: bad colour index");
}

TEST(BmpReader, TrueColourImages) {
    // 5 pixels of 3 bytes: each row is padded by one byte.
    const auto colour = [](std::uint32_t x, std::uint32_t y) {
        return (x * 40 + 3) << 16 | (y * 90 + 5) << 8 | (x + y * 7);
    };
    const auto colourOf = [&](std::uint32_t x, std::uint32_t y) -> Rgba {
        const std::uint32_t v = colour(x, y);
        return {static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
                static_cast<std::uint8_t>(v), 255};
    };
    for (const std::uint32_t header : {12u, 40u, 108u})
        for (const bool topDown : {false, true}) {
            if (header == 12 && topDown)
                continue;
            BmpSpec s;
            s.headerSize = header;
            s.width = 5;
            s.height = topDown ? -3 : 3;
            s.pixels = packRows(5, 3, 24, topDown, colour);
            expectImage({"24 bits, header " + std::to_string(header) + (topDown ? ", top-down" : ""),
                         makeBmp(s), 5, 3, colourOf});
        }

    // 32 bits without masks: the fourth byte is padding, whatever it holds.
    BmpSpec s;
    s.width = 3;
    s.height = 2;
    s.bits = 32;
    s.pixels =
        packRows(3, 2, 32, false, [&](auto x, auto y) { return colour(x, y) | (x == 1 ? 0u : 0x7Fu << 24); });
    expectImage({"32 bits", makeBmp(s), 3, 2, colourOf});

    // 16 bits without masks: 5-5-5, each sample spread to the nearest 8-bit value.
    s.bits = 16;
    s.pixels = packRows(3, 2, 16, false, [](auto x, auto y) {
        return x == 0 ? 0x7FFFu : x == 1 ? (1u << 10 | 16u << 5 | y) : 0x8000u;
    });
    expectImage({"16 bits", makeBmp(s), 3, 2, [](auto x, auto y) -> Rgba {
                     return x == 0   ? Rgba{255, 255, 255, 255}
                            : x == 1 ? Rgba{8, 132, static_cast<std::uint8_t>(y * 8), 255}
                                     : Rgba{0, 0, 0, 255};
                 }});
}

// One pixel per case through masks of its own, each channel scaled to the nearest 8-bit value.
TEST(BmpReader, MasksOfAnyWidthScaleToTheNearestValue) {
    struct MaskCase {
        const char* name;
        std::uint32_t headerSize;
        std::uint32_t bits;
        std::uint32_t compression;
        std::array<std::uint32_t, 4> masks;
        std::vector<std::uint32_t> pixels;
        std::vector<Rgba> want; // straight colour
    };
    const MaskCase cases[] = {
        {"5-6-5 after a 40-byte header",
         40,
         16,
         3,
         {0xF800, 0x07E0, 0x001F, 0},
         {0xFFFF, 1u << 11 | 1u << 5 | 16},
         {{255, 255, 255, 255}, {8, 4, 132, 255}}},
        {"4-4-4-4 with alpha after a 40-byte header",
         40,
         16,
         6,
         {0x0F00, 0x00F0, 0x000F, 0xF000},
         {0xF123, 0x5FFF},
         {{17, 34, 51, 255}, {255, 255, 255, 85}}},
        {"1-5-5-5 in a 108-byte header",
         108,
         16,
         3,
         {0x7C00, 0x03E0, 0x001F, 0x8000},
         {0x8000 | 31u << 10, 31},
         {{255, 0, 0, 255}, {0, 0, 255, 0}}},
        {"10-10-10-2",
         124,
         32,
         3,
         {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000},
         {512u << 20 | 1023u << 10 | 3u | 1u << 30, 0xC0000000 | 2},
         {{128, 255, 1, 85}, {0, 0, 0, 255}}},
        {"a 32-bit and a 17-bit mask",
         56,
         32,
         3,
         {0xFFFFFFFF, 0, 0x0001FFFF, 0},
         {0x7FFFFFFF, 100000},
         {{127, 0, 255, 255}, {0, 0, 195, 255}}},
        {"8-8-8-8 in a 56-byte header",
         56,
         32,
         3,
         {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000},
         {0x80C86432, 0x00FFFFFF},
         {{200, 100, 50, 128}, {255, 255, 255, 0}}},
    };
    for (const MaskCase& c : cases) {
        BmpSpec s;
        s.headerSize = c.headerSize;
        s.width = static_cast<std::int32_t>(c.pixels.size());
        s.height = 1;
        s.bits = c.bits;
        s.compression = c.compression;
        s.masks = c.masks;
        s.pixels = packRows(static_cast<std::uint32_t>(c.pixels.size()), 1, c.bits, false,
                            [&](auto x, auto) { return c.pixels[x]; });
        expectImage({c.name, makeBmp(s), static_cast<std::uint32_t>(c.pixels.size()), 1,
                     [&](auto x, auto) { return premultiplied(c.want[x]); }});
    }
}

// Writers that declare an alpha mask and leave every alpha 0 mean an opaque image; one pixel with alpha
// makes the alpha real.
TEST(BmpReader, AnAlphaMaskThatIsNeverSetMeansOpaque) {
    BmpSpec s;
    s.headerSize = 124;
    s.width = 2;
    s.height = 2;
    s.bits = 32;
    s.compression = 3;
    s.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    s.pixels = packRows(2, 2, 32, false, [](auto x, auto y) { return 0x00C86432u + x + 16 * y; });
    expectImage({"all alpha 0", makeBmp(s), 2, 2, [](auto x, auto y) -> Rgba {
                     return {200, 100, static_cast<std::uint8_t>(50 + x + 16 * y), 255};
                 }});
    s.pixels = packRows(2, 2, 32, false,
                        [](auto x, auto y) { return 0x00C86432u | (x == 1 && y == 1 ? 1u << 24 : 0); });
    expectImage({"one pixel with alpha", makeBmp(s), 2, 2, [](auto x, auto y) -> Rgba {
                     return x == 1 && y == 1 ? Rgba{0, 0, 0, 1} : Rgba{0, 0, 0, 0};
                 }});
}

// Run-length data: a run, a literal of odd length (padded), a move, an end of line and an end of bitmap.
// The file's first row is the image's bottom row; what the data never reaches stays transparent.
Bytes runLength8() {
    return {3, 1,             // row 0: three of index 1
            0, 3, 2, 3, 0, 0, // a literal of three: 2 3 0, then a padding byte
            0, 0,             // end of line
            0, 2, 1, 1,       // move right 1, down 1: row 2, x 1
            2, 2,             // two of index 2
            0, 1};            // end of bitmap
}

TEST(BmpReader, RunLengthImages) {
    const std::vector<Rgba> colours = palette(16);
    BmpSpec s;
    s.width = 7;
    s.height = 4;
    s.bits = 8;
    s.compression = 1;
    s.palette = colours;
    s.pixels = runLength8();
    // Bottom row (y 3): 1 1 1 2 3 0 _; row y 1 (file row 2): _ 2 2 _ _ _ _.
    const auto rle8 = [&](std::uint32_t x, std::uint32_t y) -> Rgba {
        const int row3[] = {1, 1, 1, 2, 3, 0, -1};
        const int index = y == 3 ? row3[x] : y == 1 && (x == 1 || x == 2) ? 2 : -1;
        return index < 0 ? Rgba{} : colours[static_cast<std::size_t>(index)];
    };
    expectImage({"8 bits", makeBmp(s), 7, 4, rle8});
    s.height = -4;
    expectImage({"8 bits, top-down", makeBmp(s), 7, 4, [&](auto x, auto y) { return rle8(x, 3 - y); }});

    s.width = 9;
    s.height = 2;
    s.bits = 4;
    s.compression = 2;
    s.pixels = {5, 0x12,                      // 1 2 1 2 1
                0, 3,    0x34, 0x50,          // literal 3 4 5 (two bytes, no padding needed)
                0, 0,                         // end of line
                0, 5,    0x67, 0x89, 0xA0, 0, // literal 6 7 8 9 10 (three bytes, padded)
                9, 0xBC,                      // a run past the right edge: cut at it
                0, 1};
    expectImage({"4 bits", makeBmp(s), 9, 2, [&](std::uint32_t x, std::uint32_t y) -> Rgba {
                     const int bottom[] = {1, 2, 1, 2, 1, 3, 4, 5, -1};
                     const int top[] = {6, 7, 8, 9, 10, 11, 12, 11, 12};
                     const int index = y == 1 ? bottom[x] : top[x];
                     return index < 0 ? Rgba{} : colours[static_cast<std::size_t>(index)];
                 }});
}

TEST(BmpReader, RunLengthIndicesBeyondTheTableAreRefused) {
    BmpSpec s;
    s.width = 4;
    s.height = 1;
    s.bits = 8;
    s.compression = 1;
    s.coloursUsed = 2;
    s.palette = palette(2);
    for (const Bytes& data : {Bytes{2, 2, 0, 1}, Bytes{0, 3, 0, 1, 2, 0, 0, 1}}) {
        s.pixels = data;
        EXPECT_EQ(decodeBytes(makeBmp(s)).reason, "BMP: bad colour index");
    }
}

TEST(BmpReader, UnsupportedAndInconsistentFilesAreRefused) {
    struct Refusal {
        const char* name;
        std::function<void(BmpSpec&)> change;
        const char* reason;
    };
    const Refusal cases[] = {
        {"JPEG inside",
         [](BmpSpec& s) {
             s.compression = 4;
             s.bits = 0;
         },
         "BMP: unsupported compression"},
        {"PNG inside",
         [](BmpSpec& s) {
             s.compression = 5;
             s.bits = 0;
         },
         "BMP: unsupported compression"},
        {"unknown compression", [](BmpSpec& s) { s.compression = 11; }, "BMP: unsupported compression"},
        {"OS/2 with masks",
         [](BmpSpec& s) {
             s.headerSize = 64;
             s.compression = 6;
             s.bits = 32;
         },
         "BMP: unsupported compression"},
        {"OS/2 Huffman",
         [](BmpSpec& s) {
             s.headerSize = 64;
             s.compression = 3;
             s.bits = 1;
         },
         "BMP: unsupported compression"},
        {"width 0", [](BmpSpec& s) { s.width = 0; }, "BMP: bad size"},
        {"negative width", [](BmpSpec& s) { s.width = -2; }, "BMP: bad size"},
        {"height 0", [](BmpSpec& s) { s.height = 0; }, "BMP: bad size"},
        {"height INT32_MIN", [](BmpSpec& s) { s.height = INT32_MIN; }, "BMP: bad size"},
        {"core width 0",
         [](BmpSpec& s) {
             s.headerSize = 12;
             s.width = 0;
         },
         "BMP: bad size"},
        {"3 bits", [](BmpSpec& s) { s.bits = 3; }, "BMP: unsupported bit depth"},
        {"RLE8 at 4 bits",
         [](BmpSpec& s) {
             s.compression = 1;
             s.bits = 4;
         },
         "BMP: bad header"},
        {"masks at 24 bits", [](BmpSpec& s) { s.compression = 3; }, "BMP: bad header"},
        {"pixels inside the header", [](BmpSpec& s) { s.dataOffset = 30; }, "BMP: bad header"},
        {"split mask",
         [](BmpSpec& s) {
             s.bits = 16;
             s.compression = 3;
             s.masks = {0x7C00, 0x0360, 0x1F, 0};
         },
         "BMP: bad bitfields"},
        {"mask beyond 16 bits",
         [](BmpSpec& s) {
             s.bits = 16;
             s.compression = 3;
             s.masks = {0x1F0000, 0x3E0, 0x1F, 0};
         },
         "BMP: bad bitfields"},
    };
    for (const Refusal& c : cases) {
        BmpSpec s;
        s.width = 2;
        s.height = 2;
        s.pixels = Bytes(16, 0);
        c.change(s);
        const Decoded d = decodeBytes(makeBmp(s));
        EXPECT_EQ(d.image, nullptr) << c.name;
        EXPECT_EQ(d.reason, c.reason) << c.name;
    }
    Bytes unknownHeader = makeBmp({});
    unknownHeader[14] = 16;
    EXPECT_EQ(decodeBytes(unknownHeader).reason, "BMP: bad header");
}

// Files whose every byte is needed: no padding after the last row, an end of bitmap before the last row.
std::vector<std::pair<const char*, Bytes>> completeFiles() {
    std::vector<std::pair<const char*, Bytes>> out;
    BmpSpec indexed;
    indexed.width = 8;
    indexed.height = 3;
    indexed.bits = 4;
    indexed.palette = palette(16);
    indexed.pixels = packRows(8, 3, 4, false, [](auto x, auto y) { return indexAt(x, y, 16); });
    out.emplace_back("4 bits", makeBmp(indexed));
    BmpSpec masked;
    masked.headerSize = 124;
    masked.width = 3;
    masked.height = -2;
    masked.bits = 32;
    masked.compression = 3;
    masked.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
    masked.pixels = packRows(3, 2, 32, true, [](auto x, auto y) { return 0x80102030u + x * 7 + y; });
    out.emplace_back("32 bits with masks", makeBmp(masked));
    BmpSpec runs;
    runs.width = 7;
    runs.height = 4;
    runs.bits = 8;
    runs.compression = 1;
    runs.palette = palette(16);
    runs.pixels = runLength8();
    out.emplace_back("RLE8", makeBmp(runs));
    return out;
}

TEST(BmpReader, TruncatedFilesAreRefusedAtEveryLength) {
    for (const auto& [name, file] : completeFiles()) {
        ASSERT_NE(decodeBytes(file).image, nullptr) << name;
        for (std::size_t size = 0; size < file.size(); ++size) {
            const Decoded d = decodeBytes(file, size);
            ASSERT_EQ(d.image, nullptr) << name << " cut at " << size;
            ASSERT_EQ(d.reason, "BMP: file ends early") << name << " cut at " << size;
        }
    }
    // The padding after the last row is not needed.
    BmpSpec s;
    s.width = 5;
    s.height = 2;
    s.pixels = packRows(5, 2, 24, false, [](auto x, auto) { return x; });
    const Bytes file = makeBmp(s);
    EXPECT_NE(decodeBytes(file, file.size() - 1).image, nullptr);
    EXPECT_EQ(decodeBytes(file, file.size() - 2).reason, "BMP: file ends early");
}

TEST(BmpReader, DamagedFilesGiveAnImageOrAReason) {
    const std::set<std::string> reasons = {"BMP: file ends early",
                                           "BMP: bad header",
                                           "BMP: bad size",
                                           "BMP: unsupported bit depth",
                                           "BMP: unsupported compression",
                                           "BMP: bad bitfields",
                                           "BMP: bad colour index"};
    std::mt19937 random(23);
    // A damaged size can ask for gigabytes, which the budget would grant here; the cap keeps each quick.
    setImageMemoryLimit(imageBytesHeld() + (std::uint64_t{16} << 20));
    for (const auto& [name, file] : completeFiles())
        for (std::size_t at = 0; at < file.size(); ++at)
            for (int round = 0; round < 8; ++round) {
                Bytes damaged = file;
                damaged[at] = static_cast<std::uint8_t>(random());
                Decoded d;
                try {
                    d = decodeBytes(damaged);
                } catch (const std::bad_alloc&) {
                    continue; // a size grown past the budget
                }
                if (d.image == nullptr) {
                    EXPECT_TRUE(reasons.count(d.reason)) << name << " at " << at << ": " << d.reason;
                }
            }
    setImageMemoryLimit(std::nullopt);
}

TEST(BmpReader, LargeDeclaredSizesAreRefusedBeforeTheirPixels) {
    setImageMemoryLimit(imageBytesHeld() + (std::uint64_t{16} << 20));
    // Uncompressed pixels the file cannot hold: refused without allocating.
    BmpSpec s;
    s.width = 40000;
    s.height = -40000;
    s.pixels = Bytes(64, 0);
    EXPECT_EQ(decodeBytes(makeBmp(s)).reason, "BMP: file ends early");
    s.width = INT32_MAX;
    s.height = INT32_MAX;
    s.bits = 32;
    EXPECT_EQ(decodeBytes(makeBmp(s)).reason, "BMP: file ends early");
    // Run-length data can be short for any size: the budget refuses the image.
    s.bits = 8;
    s.compression = 1;
    s.palette = palette(2);
    s.pixels = {0, 1};
    EXPECT_THROW(decodeBytes(makeBmp(s)), std::bad_alloc);
    setImageMemoryLimit(std::nullopt);
}

TEST(BmpReader, TheSignatureNeedsAKnownHeaderSize) {
    for (const std::uint32_t size : {12u, 40u, 52u, 56u, 64u, 108u, 124u, 16u, 0u, 41u, 0x28000000u}) {
        Bytes head = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        put32(head, size);
        const bool known =
            size == 12 || size == 40 || size == 52 || size == 56 || size == 64 || size == 108 || size == 124;
        EXPECT_EQ(matchesBmp(head.data(), head.size()), known) << size;
        EXPECT_FALSE(matchesBmp(head.data(), head.size() - 1)) << size;
        head[1] = 'A';
        EXPECT_FALSE(matchesBmp(head.data(), head.size())) << size;
    }
}

} // namespace

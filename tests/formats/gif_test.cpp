#include "formats/gif.h"

#include "system/memory_budget.h"

#include <array>
#include <cstring>
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Rgba = std::array<std::uint8_t, 4>;
using Rgb = std::array<std::uint8_t, 3>;

// ---- Building files with giflib's encoder ----

struct Frame {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool interlaced = false;
    std::vector<Rgb> table;            // the frame's own colour table; none when empty
    std::vector<std::uint8_t> indices; // row by row, top row first
    int transparent = -1;              // a control block before the frame with this index; none when -1
};

struct GifLayout {
    int width = 0;
    int height = 0;
    std::vector<Rgb> table; // the file's colour table; none when empty
    std::vector<Frame> frames;
};

int writeToBytes(GifFileType* gif, const GifByteType* data, int n) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + n);
    return n;
}

ColorMapObject* makeTable(const std::vector<Rgb>& colours) {
    if (colours.empty())
        return nullptr;
    std::vector<GifColorType> entries;
    for (const Rgb& c : colours)
        entries.push_back({c[0], c[1], c[2]});
    return GifMakeMapObject(static_cast<int>(entries.size()), entries.data());
}

Bytes makeGif(const GifLayout& layout) {
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, writeToBytes, &error);
    EXPECT_NE(gif, nullptr);
    EGifSetGifVersion(gif, true);
    ColorMapObject* global = makeTable(layout.table);
    EXPECT_EQ(EGifPutScreenDesc(gif, layout.width, layout.height, 8, 0, global), GIF_OK);
    GifFreeMapObject(global);
    for (const Frame& f : layout.frames) {
        if (f.transparent >= 0) {
            const GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, f.transparent};
            GifByteType block[4];
            EGifGCBToExtension(&control, block);
            EXPECT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, block), GIF_OK);
        }
        ColorMapObject* local = makeTable(f.table);
        EXPECT_EQ(EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlaced, local), GIF_OK);
        GifFreeMapObject(local);
        std::vector<int> order;
        if (f.interlaced) {
            for (const auto& [first, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
                for (int y = first; y < f.height; y += step)
                    order.push_back(y);
        } else {
            for (int y = 0; y < f.height; ++y)
                order.push_back(y);
        }
        for (const int y : order) {
            std::vector<GifPixelType> row(f.indices.begin() + y * f.width,
                                          f.indices.begin() + (y + 1) * f.width);
            EXPECT_EQ(EGifPutLine(gif, row.data(), f.width), GIF_OK);
        }
    }
    EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
    return out;
}

// Distinct colours for a table of n entries.
std::vector<Rgb> colours(int n, int seed) {
    std::vector<Rgb> out;
    for (int i = 0; i < n; ++i)
        out.push_back({static_cast<std::uint8_t>(seed + 37 * i), static_cast<std::uint8_t>(200 - 11 * i),
                       static_cast<std::uint8_t>(i * 5 + seed / 2)});
    return out;
}

// A frame of w x h pixels whose indices run through the table in an order that differs along both axes.
Frame patternFrame(int w, int h, int tableSize) {
    Frame f;
    f.width = w;
    f.height = h;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            f.indices.push_back(static_cast<std::uint8_t>((x * 3 + y * 7 + x * y) % tableSize));
    return f;
}

struct Decoded {
    ImagePtr image;
    std::string reason;
};

Decoded decodeBytes(const Bytes& file, std::size_t size) {
    ByteSource source(file.data(), size);
    Decoded d;
    d.image = decodeGif(source, d.reason);
    return d;
}
Decoded decodeBytes(const Bytes& file) {
    return decodeBytes(file, file.size());
}

Rgba pixelAt(const Image& image, std::uint32_t x, std::uint32_t y) {
    const std::uint8_t* p = image.pixel(x, y);
    return {p[0], p[1], p[2], p[3]};
}

// What the first frame of a file looks like, pixel by pixel, straight from its description.
std::vector<Rgba> expectedPixels(const GifLayout& layout, std::uint32_t& width, std::uint32_t& height) {
    const Frame& f = layout.frames.front();
    const bool screen = layout.width > 0 && layout.height > 0;
    width = static_cast<std::uint32_t>(screen ? layout.width : f.width);
    height = static_cast<std::uint32_t>(screen ? layout.height : f.height);
    std::vector<Rgba> out(std::size_t{width} * height, Rgba{});
    const std::vector<Rgb>& table = f.table.empty() ? layout.table : f.table;
    for (int fy = 0; fy < f.height; ++fy)
        for (int fx = 0; fx < f.width; ++fx) {
            const int x = fx + (screen ? f.left : 0);
            const int y = fy + (screen ? f.top : 0);
            if (x >= static_cast<int>(width) || y >= static_cast<int>(height))
                continue;
            const std::uint8_t index = f.indices[static_cast<std::size_t>(fy * f.width + fx)];
            const Rgb& c = table[index];
            out[static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)] =
                index == f.transparent ? Rgba{} : Rgba{c[0], c[1], c[2], 255};
        }
    return out;
}

struct Variant {
    const char* name;
    GifLayout layout;
};

std::vector<Variant> variants() {
    std::vector<Variant> out;
    Frame plain = patternFrame(3, 2, 4);
    out.push_back({"3x2 global table", {3, 2, colours(4, 10), {plain}}});

    Frame interlaced = patternFrame(5, 11, 16); // eleven rows: every pass has rows
    interlaced.interlaced = true;
    out.push_back({"interlaced", {5, 11, colours(16, 3), {interlaced}}});

    Frame local = patternFrame(4, 3, 8);
    local.table = colours(8, 90);
    out.push_back({"local table wins", {4, 3, colours(8, 20), {local}}});

    Frame transparent = patternFrame(4, 3, 4);
    transparent.transparent = 2;
    out.push_back({"transparent index", {4, 3, colours(4, 40), {transparent}}});

    Frame offset = patternFrame(3, 2, 4);
    offset.left = 2;
    offset.top = 1;
    offset.transparent = 0;
    out.push_back({"offset on a larger screen", {7, 5, colours(4, 50), {offset}}});

    Frame clipped = patternFrame(5, 4, 4);
    clipped.left = 3;
    clipped.top = 2;
    out.push_back({"cut at the right and bottom", {6, 4, colours(4, 60), {clipped}}});

    Frame outside = patternFrame(2, 2, 4);
    outside.left = 10;
    outside.top = 1;
    out.push_back({"wholly outside the screen", {4, 3, colours(4, 70), {outside}}});

    Frame unplaced = patternFrame(3, 4, 4);
    unplaced.left = 5;
    unplaced.top = 7;
    out.push_back({"screen of no area", {0, 0, colours(4, 80), {unplaced}}});

    Frame first = patternFrame(3, 3, 4);
    first.transparent = 1;
    Frame second = patternFrame(3, 3, 4);
    second.indices.assign(9, 3);
    second.table = colours(4, 200);
    out.push_back({"only the first frame", {3, 3, colours(4, 30), {first, second}}});
    return out;
}

TEST(GifReader, EveryVariantReadsAsItsFirstFrameOnTheScreen) {
    for (const Variant& v : variants()) {
        SCOPED_TRACE(v.name);
        const Decoded d = decodeBytes(makeGif(v.layout));
        ASSERT_NE(d.image, nullptr) << d.reason;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        const std::vector<Rgba> want = expectedPixels(v.layout, width, height);
        ASSERT_EQ(d.image->width, width);
        ASSERT_EQ(d.image->height, height);
        for (std::uint32_t y = 0; y < height; ++y)
            for (std::uint32_t x = 0; x < width; ++x)
                ASSERT_EQ(pixelAt(*d.image, x, y), want[y * width + x]) << x << "," << y;
    }
}

// A few pixels spelled out, so that the comparison above does not rest on its own reading of a frame.
TEST(GifReader, PixelsLandWhereTheFrameSaysWithTheirColours) {
    GifLayout layout{4, 3, {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}, {1, 2, 3}}, {}};
    Frame f;
    f.left = 1;
    f.top = 1;
    f.width = 3;
    f.height = 2;
    f.indices = {0, 1, 2, 3, 2, 1};
    f.transparent = 3;
    layout.frames = {f};
    const Decoded d = decodeBytes(makeGif(layout));
    ASSERT_NE(d.image, nullptr) << d.reason;
    EXPECT_EQ(pixelAt(*d.image, 0, 0), (Rgba{0, 0, 0, 0}));
    EXPECT_EQ(pixelAt(*d.image, 1, 1), (Rgba{10, 20, 30, 255}));
    EXPECT_EQ(pixelAt(*d.image, 3, 1), (Rgba{70, 80, 90, 255}));
    EXPECT_EQ(pixelAt(*d.image, 1, 2), (Rgba{0, 0, 0, 0})); // the transparent index
    EXPECT_EQ(pixelAt(*d.image, 3, 2), (Rgba{40, 50, 60, 255}));
    EXPECT_EQ(pixelAt(*d.image, 0, 2), (Rgba{0, 0, 0, 0}));

    // Interlaced: the rows arrive 0, 8, 4, 2, 6, 1, 3, 5, 7, 9 and go back in order.
    GifLayout tall{1, 10, colours(16, 0), {}};
    Frame column = patternFrame(1, 10, 16);
    column.interlaced = true;
    for (int y = 0; y < 10; ++y)
        column.indices[static_cast<std::size_t>(y)] = static_cast<std::uint8_t>(y);
    tall.frames = {column};
    const Decoded t = decodeBytes(makeGif(tall));
    ASSERT_NE(t.image, nullptr) << t.reason;
    for (std::uint32_t y = 0; y < 10; ++y)
        EXPECT_EQ(pixelAt(*t.image, 0, y)[0], tall.table[y][0]) << y;
}

// The file a 4-colour global table writes, with the table cut to `entries` (0: no table at all).
Bytes withShorterTable(const Bytes& file, int entries) {
    constexpr std::size_t flags = 10;
    constexpr std::size_t table = 13;
    EXPECT_EQ(file[flags] & 0x87, 0x81); // a global table of 4 entries
    Bytes out(file.begin(), file.begin() + table);
    if (entries == 0)
        out[flags] = static_cast<std::uint8_t>(out[flags] & ~0x87);
    else
        out[flags] = static_cast<std::uint8_t>((out[flags] & ~0x07) | (entries == 2 ? 0 : 1));
    for (std::size_t i = table; i < table + 3 * static_cast<std::size_t>(entries); ++i)
        out.push_back(file[i]);
    for (std::size_t i = table + 12; i < file.size(); ++i)
        out.push_back(file[i]);
    return out;
}

TEST(GifReader, IndicesBeyondTheTableAreRefused) {
    GifLayout layout{3, 2, colours(4, 10), {patternFrame(3, 2, 4)}};
    layout.frames[0].indices = {0, 1, 0, 1, 1, 0};
    EXPECT_NE(decodeBytes(withShorterTable(makeGif(layout), 2)).image, nullptr);
    layout.frames[0].indices[4] = 3;
    EXPECT_EQ(decodeBytes(withShorterTable(makeGif(layout), 2)).reason, "GIF: bad colour index");
    // Beyond the screen, where the pixel is not shown, too.
    layout.frames[0].left = 1;
    EXPECT_EQ(decodeBytes(withShorterTable(makeGif(layout), 2)).reason, "GIF: bad colour index");

    // Without any table only the transparent index can be drawn.
    layout.frames[0].left = 0;
    layout.frames[0].indices.assign(6, 2);
    layout.frames[0].transparent = 2;
    const Decoded clear = decodeBytes(withShorterTable(makeGif(layout), 0));
    ASSERT_NE(clear.image, nullptr) << clear.reason;
    EXPECT_EQ(pixelAt(*clear.image, 2, 1), (Rgba{0, 0, 0, 0}));
    layout.frames[0].indices[0] = 1;
    EXPECT_EQ(decodeBytes(withShorterTable(makeGif(layout), 0)).reason, "GIF: bad colour index");
}

TEST(GifReader, TruncatedFilesAreRefusedAtEveryLength) {
    Frame f = patternFrame(9, 7, 16);
    f.interlaced = true;
    f.transparent = 5;
    const Bytes file = makeGif({9, 7, colours(16, 1), {f}});
    // Every byte up to the frame's data terminator is needed; the trailer after it is not read.
    for (std::size_t size = 0; size + 1 < file.size(); ++size) {
        const Decoded d = decodeBytes(file, size);
        ASSERT_EQ(d.image, nullptr) << "cut at " << size;
        ASSERT_EQ(d.reason, "GIF: file ends early") << "cut at " << size;
    }
    EXPECT_NE(decodeBytes(file, file.size() - 1).image, nullptr);
}

TEST(GifReader, DamagedFilesAreRefusedWithAReason) {
    const Bytes file = makeGif({4, 3, colours(4, 1), {patternFrame(4, 3, 4)}});
    // Signature 6, screen 7, table 12: the frame's descriptor starts at 25 and its LZW code size is at 35.
    ASSERT_EQ(file[25], ',');
    struct Case {
        const char* name;
        std::size_t at;
        std::uint8_t value;
        const char* reason;
    };
    const Case cases[] = {
        {"unknown record", 25, 'x', "GIF: corrupt data"},
        {"code size beyond 8 bits", 35, 12, "GIF: corrupt data"},
        {"trailer before any frame", 25, ';', "GIF: no image"},
    };
    for (const Case& c : cases) {
        Bytes damaged = file;
        damaged[c.at] = c.value;
        EXPECT_EQ(decodeBytes(damaged).reason, c.reason) << c.name;
    }

    // Frame of 0 x 0 on a screen of 0 x 0: nothing to show.
    Bytes empty = file;
    for (const std::size_t at : {6u, 7u, 8u, 9u, 30u, 31u, 32u, 33u})
        empty[at] = 0;
    EXPECT_EQ(decodeBytes(empty).reason, "GIF: bad size");

    // Random damage anywhere: an image or one of the reasons, never a crash.
    const std::set<std::string> reasons = {"GIF: file ends early", "GIF: corrupt data", "GIF: no image",
                                           "GIF: bad size", "GIF: bad colour index"};
    std::mt19937 random(17);
    for (std::size_t at = 0; at < file.size(); ++at)
        for (int round = 0; round < 8; ++round) {
            Bytes damaged = file;
            damaged[at] = static_cast<std::uint8_t>(random());
            const Decoded d = decodeBytes(damaged);
            if (d.image == nullptr) {
                ASSERT_TRUE(reasons.count(d.reason)) << "at " << at << ": " << d.reason;
            }
        }
}

TEST(GifReader, AScreenBeyondTheBudgetIsRefusedBeforeItsPixels) {
    Bytes file = makeGif({4, 3, colours(4, 1), {patternFrame(4, 3, 4)}});
    file[6] = file[7] = file[8] = file[9] = 0xFF; // 65535 x 65535, 16 GiB
    setImageMemoryLimit(imageBytesHeld() + (std::uint64_t{64} << 20));
    EXPECT_THROW(decodeBytes(file), std::bad_alloc);
    setImageMemoryLimit(std::nullopt);
}

TEST(GifReader, TheSignatureIsBothVersionsOnly) {
    const struct {
        const char* head;
        bool matches;
    } cases[] = {{"GIF87a", true}, {"GIF89a", true}, {"GIF88a", false}, {"gif89a", false}, {"GIF89", false}};
    for (const auto& c : cases) {
        const auto* head = reinterpret_cast<const std::uint8_t*>(c.head);
        EXPECT_EQ(matchesGif(head, std::strlen(c.head)), c.matches) << c.head;
    }
    // A file without extensions is read the same under either version.
    Bytes older = makeGif({3, 2, colours(4, 10), {patternFrame(3, 2, 4)}});
    older[4] = '7';
    const Decoded d = decodeBytes(older);
    ASSERT_NE(d.image, nullptr) << d.reason;
    EXPECT_EQ(pixelAt(*d.image, 2, 1), (Rgba{121, 167, 20, 255})); // index (2 * 3 + 7 + 2) % 4 = 3
}

} // namespace

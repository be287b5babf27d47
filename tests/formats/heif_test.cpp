#include "formats/heif.h"
#include "image/straight_colour.h"
#include "system/memory_budget.h"
#include "tests/support/exec.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <libheif/heif.h>
#include <random>
#include <set>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Decoded {
    ImagePtr image;
    std::string reason;
    FoundMetadata found;
};

Decoded decodeBytes(const Bytes& file, std::size_t size) {
    Decoded out;
    ByteSource source(file.data(), size);
    out.image = decodeHeif(source, out.reason, out.found);
    return out;
}
Decoded decodeBytes(const Bytes& file) {
    return decodeBytes(file, file.size());
}

// A file of tests/data/heif, made once with the library's HEVC encoder (whose own memory is not all given
// back, so the tests do not run it).
Bytes dataFile(const std::string& name) {
    std::ifstream in(std::string(CHROMALOOM_SOURCE_DIR) + "/tests/data/heif/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// ---- Files made with the library itself ----

heif_error appendBytes(heif_context*, const void* data, std::size_t size, void* userdata) {
    auto& out = *static_cast<Bytes*>(userdata);
    const auto* p = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), p, p + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
}

// A picture as a file holds it: straight samples, 3 or 4 a pixel, of `bits` bits each.
struct LibraryFile {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool alpha = false;
    int bits = 8;
    std::vector<std::uint16_t> samples;
    bool lossless = true; // exact RGB: 4:4:4 with the identity matrix
    bool premultiplied = false;
    heif_orientation orientation = heif_orientation_normal;
    std::vector<int> thumbnailBoxes; // a thumbnail scaled to fit each square
};

// An AVIF file made by the library's AV1 encoder.
Bytes makeHeif(const LibraryFile& described) {
    const bool deep = described.bits > 8;
    const heif_chroma chroma =
        deep ? (described.alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE)
             : (described.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* picture = nullptr;
    EXPECT_EQ(
        heif_image_create(int(described.width), int(described.height), heif_colorspace_RGB, chroma, &picture)
            .code,
        heif_error_Ok);
    EXPECT_EQ(heif_image_add_plane(picture, heif_channel_interleaved, int(described.width),
                                   int(described.height), described.bits)
                  .code,
              heif_error_Ok);
    heif_image_set_premultiplied_alpha(picture, described.premultiplied ? 1 : 0);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(picture, heif_channel_interleaved, &stride);
    const std::size_t channels = described.alpha ? 4 : 3;
    for (std::uint32_t y = 0; y < described.height; ++y)
        for (std::uint32_t x = 0; x < described.width; ++x)
            for (std::size_t c = 0; c < channels; ++c) {
                const std::uint16_t v =
                    described.samples[(std::size_t{y} * described.width + x) * channels + c];
                std::uint8_t* at = plane + std::size_t(y) * std::size_t(stride);
                if (deep) {
                    at[(x * channels + c) * 2] = static_cast<std::uint8_t>(v >> 8);
                    at[(x * channels + c) * 2 + 1] = static_cast<std::uint8_t>(v);
                } else {
                    at[x * channels + c] = static_cast<std::uint8_t>(v);
                }
            }

    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    EXPECT_EQ(heif_context_get_encoder_for_format(context, heif_compression_AV1, &encoder).code,
              heif_error_Ok);
    heif_encoding_options* options = heif_encoding_options_alloc();
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    if (described.lossless) {
        heif_encoder_set_lossless(encoder, 1);
        heif_encoder_set_parameter(encoder, "chroma", "444");
        nclx->matrix_coefficients = heif_matrix_coefficients_RGB_GBR;
        nclx->color_primaries = heif_color_primaries_ITU_R_BT_709_5;
        nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
        nclx->full_range_flag = 1;
        heif_image_set_nclx_color_profile(picture, nclx);
        options->output_nclx_profile = nclx;
    } else {
        heif_encoder_set_lossy_quality(encoder, 90);
    }
    options->image_orientation = described.orientation;
    heif_image_handle* handle = nullptr;
    const heif_error encoded = heif_context_encode_image(context, picture, encoder, options, &handle);
    EXPECT_EQ(encoded.code, heif_error_Ok) << encoded.message;
    for (const int box : described.thumbnailBoxes) {
        heif_image_handle* thumbnail = nullptr;
        EXPECT_EQ(
            heif_context_encode_thumbnail(context, picture, handle, encoder, options, box, &thumbnail).code,
            heif_error_Ok);
        heif_image_handle_release(thumbnail);
    }
    heif_image_handle_release(handle);
    Bytes out;
    heif_writer writer{1, appendBytes};
    EXPECT_EQ(heif_context_write(context, &writer, &out).code, heif_error_Ok);
    heif_nclx_color_profile_free(nclx);
    heif_encoding_options_free(options);
    heif_encoder_release(encoder);
    heif_context_free(context);
    heif_image_release(picture);
    return out;
}

// Six pixels of distinct colours, some translucent, one transparent: catches flips, turns and channel swaps.
const std::vector<std::uint16_t> sixPixels = {
    255, 0,   0,  255, /**/ 0,  255, 0,  200, /**/ 0,   0,  255, 120, //
    250, 240, 10, 255, /**/ 90, 20,  70, 0,   /**/ 195, 60, 30,  17,
};

// The image the six pixels make: straight colour premultiplied the house way.
Rgba expectedPixel(const std::vector<std::uint16_t>& samples, std::size_t i) {
    Rgba p{};
    for (std::size_t c = 0; c < 3; ++c)
        p[c] = premultiplyFormula(static_cast<std::uint8_t>(samples[i * 4 + c]),
                                  static_cast<std::uint8_t>(samples[i * 4 + 3]));
    p[3] = static_cast<std::uint8_t>(samples[i * 4 + 3]);
    return p;
}

// ---- Reading ----

TEST(HeifMatch, TellsStillImageFilesByTheirBrands) {
    const auto ftyp = [](std::uint32_t size, const char* major, std::vector<const char*> compatible) {
        Bytes b = {std::uint8_t(size >> 24),
                   std::uint8_t(size >> 16),
                   std::uint8_t(size >> 8),
                   std::uint8_t(size),
                   'f',
                   't',
                   'y',
                   'p'};
        const auto append = [&b](const char* brand) {
            for (int i = 0; i < 4; ++i)
                b.push_back(static_cast<std::uint8_t>(brand[i]));
        };
        append(major);
        append("\0\0\0\0");
        for (const char* brand : compatible)
            append(brand);
        return b;
    };
    const struct {
        const char* name;
        Bytes head;
        bool matches;
    } cases[] = {
        {"heic major", ftyp(16, "heic", {}), true},
        {"avif major", ftyp(24, "avif", {"mif1", "miaf"}), true},
        {"mif1 compatible", ftyp(28, "xyzw", {"miaf", "MiHE", "mif1"}), true},
        {"avif compatible of an image sequence", ftyp(28, "avis", {"msf1", "avif"}), true},
        {"sequence brands only", ftyp(24, "msf1", {"hevc", "avis"}), false},
        {"other brand", ftyp(20, "isom", {"mp41"}), false},
        {"brand beyond the box", ftyp(16, "isom", {"heic"}), false},
        {"box smaller than its header", ftyp(12, "heic", {"mif1"}), false},
        {"box size not a multiple of 4", ftyp(18, "heic", {"mif1"}), false},
        {"box of size 0", ftyp(0, "heic", {}), false},
        {"box of huge size, brands within what is there", ftyp(0x10000000, "isom", {"avif"}), true},
        {"short", Bytes{0, 0, 0, 16, 'f', 't', 'y', 'p', 'h', 'e', 'i'}, false},
        {"not ftyp",
         [&] {
             Bytes b = ftyp(16, "heic", {});
             b[4] = 'F';
             return b;
         }(),
         false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(matchesHeif(c.head.data(), c.head.size()), c.matches) << c.name;
}

TEST(HeifReader, LosslessFilesDecodeExactlyAndPremultipliedOnce) {
    for (bool premultipliedInFile : {false, true}) {
        SCOPED_TRACE(premultipliedInFile ? "premultiplied in the file" : "straight in the file");
        LibraryFile described;
        described.width = 3;
        described.height = 2;
        described.alpha = true;
        described.samples = sixPixels;
        described.premultiplied = premultipliedInFile;
        if (premultipliedInFile) // the same pixels as the file stores them premultiplied
            for (std::size_t i = 0; i < 6; ++i) {
                const Rgba p = expectedPixel(sixPixels, i);
                std::copy(p.begin(), p.end(), described.samples.begin() + std::ptrdiff_t(i * 4));
            }
        const Decoded d = decodeBytes(makeHeif(described));
        ASSERT_NE(d.image, nullptr) << d.reason;
        ASSERT_EQ(d.image->width, 3u);
        ASSERT_EQ(d.image->height, 2u);
        EXPECT_TRUE(d.found.upright);
        for (std::uint32_t i = 0; i < 6; ++i) {
            // Premultiplied colour taken straight and premultiplied again may not return exactly to itself;
            // it returns to what the house conversions make of it, never above alpha.
            Rgba want = expectedPixel(sixPixels, i);
            if (premultipliedInFile) {
                std::uint8_t straight[4];
                straightenPixels(want.data(), 1, straight, ChannelOrder::Rgba);
                premultiplyPixels(straight, 1, want.data(), ChannelOrder::Rgba);
            }
            EXPECT_EQ(pixelAt(*d.image, i % 3, i / 3), want) << "pixel " << i;
        }
    }
}

TEST(HeifReader, OpaqueFilesReadWithAlpha255) {
    LibraryFile described;
    described.width = 3;
    described.height = 2;
    for (std::size_t i = 0; i < 6; ++i)
        described.samples.insert(described.samples.end(), sixPixels.begin() + std::ptrdiff_t(i * 4),
                                 sixPixels.begin() + std::ptrdiff_t(i * 4 + 3));
    const Decoded d = decodeBytes(makeHeif(described));
    ASSERT_NE(d.image, nullptr) << d.reason;
    for (std::uint32_t i = 0; i < 6; ++i) {
        const Rgba want = {std::uint8_t(sixPixels[i * 4]), std::uint8_t(sixPixels[i * 4 + 1]),
                           std::uint8_t(sixPixels[i * 4 + 2]), 255};
        EXPECT_EQ(pixelAt(*d.image, i % 3, i / 3), want) << "pixel " << i;
    }
}

// Samples above 8 bits become the nearest byte: (v * 255 + M / 2) / M. The files hold one row of lossless
// 4:4:4 RGBA, the pixels (v, M - v, v, M) for v = 0, 1, 2, 3, 5, M / 2, M / 2 + 1, M - 2 and M, with M the
// largest sample.
TEST(HeifReader, DeepSamplesRoundToTheNearestByte) {
    for (int bits : {10, 12}) {
        SCOPED_TRACE(testing::Message() << bits << " bits");
        const std::uint32_t m = (1u << bits) - 1;
        const Decoded d = decodeBytes(dataFile("heic-" + std::to_string(bits) + "bit-levels.heic"));
        ASSERT_NE(d.image, nullptr) << d.reason;
        // 3 of 1023 rounds up to 1 where a truncating division gives 0; M / 2 and M / 2 + 1 part at 127/128.
        const std::uint32_t values[] = {0, 1, 2, 3, 5, m / 2, m / 2 + 1, m - 2, m};
        ASSERT_EQ(d.image->width, std::size(values));
        for (std::uint32_t x = 0; x < std::size(values); ++x) {
            const auto near = [m](std::uint32_t v) { return std::uint8_t((v * 255 + m / 2) / m); };
            const Rgba want = {near(values[x]), near(m - values[x]), near(values[x]), 255};
            EXPECT_EQ(pixelAt(*d.image, x, 0), want) << "value " << values[x];
        }
    }
}

// The file's own rotation and mirror are applied: every orientation of a 3 x 2 picture, checked against
// where each pixel must land.
TEST(HeifReader, TheFilesRotationAndMirrorAreApplied) {
    const struct {
        heif_orientation orientation;
        std::uint32_t width;
        // The source pixel (x + 3 y) shown at each place, row by row.
        std::vector<std::uint32_t> layout;
    } cases[] = {
        {heif_orientation_normal, 3, {0, 1, 2, 3, 4, 5}},
        {heif_orientation_flip_horizontally, 3, {2, 1, 0, 5, 4, 3}},
        {heif_orientation_rotate_180, 3, {5, 4, 3, 2, 1, 0}},
        {heif_orientation_flip_vertically, 3, {3, 4, 5, 0, 1, 2}},
        {heif_orientation_rotate_90_cw_then_flip_horizontally, 2, {0, 3, 1, 4, 2, 5}},
        {heif_orientation_rotate_90_cw, 2, {3, 0, 4, 1, 5, 2}},
        {heif_orientation_rotate_90_cw_then_flip_vertically, 2, {5, 2, 4, 1, 3, 0}},
        {heif_orientation_rotate_270_cw, 2, {2, 5, 1, 4, 0, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "orientation " << int(c.orientation));
        LibraryFile described;
        described.width = 3;
        described.height = 2;
        described.alpha = true;
        described.samples = sixPixels;
        described.orientation = c.orientation;
        const Decoded d = decodeBytes(makeHeif(described));
        ASSERT_NE(d.image, nullptr) << d.reason;
        ASSERT_EQ(d.image->width, c.width);
        ASSERT_EQ(d.image->height, 6 / c.width);
        EXPECT_TRUE(d.found.upright);
        for (std::uint32_t i = 0; i < 6; ++i)
            EXPECT_EQ(pixelAt(*d.image, i % c.width, i / c.width), expectedPixel(sixPixels, c.layout[i]))
                << "place " << i;
    }
}

// A smooth picture with alpha, straight colour, 4 samples a pixel.
std::vector<std::uint16_t> gradient(std::uint32_t width, std::uint32_t height) {
    std::vector<std::uint16_t> s;
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            s.insert(s.end(), {std::uint16_t(x * 255 / width), std::uint16_t(y * 255 / height), 100,
                               std::uint16_t(255 - (x + y) * 2)});
    return s;
}

// HEVC-coded files of tests/data/heif: straight colour (x * 255 / width, y * 255 / height, 90), alpha
// 255 - 4 (x + y) where there is alpha, stored lossy at quality 50 or lossless; the mirrored one is shown
// flipped left to right; the lossy one carries a profile, EXIF and XMP. The lossy ones come back within 20
// and 24 levels on these tiny pictures (more than large ones: the chroma of 4:2:0 spans a quarter of them),
// far closer than a flip or a swap of channels would.
TEST(HeifReader, HevcFilesDecodeWithTheirMetadata) {
    const struct {
        const char* name;
        std::uint32_t width, height;
        bool alpha, mirrored;
        int tolerance;
    } cases[] = {
        {"heic-lossy.heic", 16, 12, false, false, 32},
        {"heic-10bit-alpha.heic", 12, 8, true, false, 32},
        {"heic-mirrored.heic", 8, 8, false, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = dataFile(c.name);
        ASSERT_TRUE(matchesHeif(file.data(), file.size()));
        const Decoded d = decodeBytes(file);
        ASSERT_NE(d.image, nullptr) << d.reason;
        ASSERT_EQ(d.image->width, c.width);
        ASSERT_EQ(d.image->height, c.height);
        EXPECT_TRUE(d.found.upright);
        for (std::uint32_t y = 0; y < c.height; ++y)
            for (std::uint32_t x = 0; x < c.width; ++x) {
                const std::uint32_t sx = c.mirrored ? c.width - 1 - x : x;
                const std::vector<std::uint16_t> straight = {
                    std::uint16_t(sx * 255 / c.width), std::uint16_t(y * 255 / c.height), 90,
                    std::uint16_t(c.alpha ? 255 - (sx + y) * 4 : 255)};
                const Rgba want = expectedPixel(straight, 0);
                const Rgba got = pixelAt(*d.image, x, y);
                for (std::size_t ch = 0; ch < 4; ++ch)
                    ASSERT_LE(std::abs(int(got[ch]) - int(want[ch])), c.tolerance)
                        << x << "," << y << " channel " << ch;
            }
    }
    const Decoded withMetadata = decodeBytes(dataFile("heic-lossy.heic"));
    ASSERT_NE(withMetadata.image, nullptr);
    ASSERT_EQ(withMetadata.found.icc.size(), 132u);
    EXPECT_EQ(std::string(withMetadata.found.icc.begin() + 16, withMetadata.found.icc.begin() + 20), "RGB ");
    EXPECT_EQ(withMetadata.found.exif, (Bytes{'I', 'I', '*', 0, 8, 0, 0, 0, 0, 0}));
    const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    EXPECT_EQ(withMetadata.found.xmp, Bytes(xmp.begin(), xmp.end()));
}

Bytes sampleAvif() {
    LibraryFile described;
    described.width = 20;
    described.height = 12;
    described.alpha = true;
    described.samples = gradient(20, 12);
    return makeHeif(described);
}

TEST(HeifReader, CutFilesAreRefusedAtEveryLength) {
    const std::vector<Bytes> files = {sampleAvif(), dataFile("heic-lossy.heic"),
                                      dataFile("heic-10bit-alpha.heic")};
    for (const Bytes& file : files) {
        ASSERT_NE(decodeBytes(file).image, nullptr);
        // A file cut between two boxes may not be told from one that lacks the boxes after the cut.
        std::set<std::size_t> boundaries = {0};
        for (std::size_t at = 0; at + 4 <= file.size();)
            boundaries.insert(at += std::size_t{file[at]} << 24 | std::size_t{file[at + 1]} << 16 |
                                    std::size_t{file[at + 2]} << 8 | file[at + 3]);
        for (std::size_t size = 0; size < file.size(); ++size) {
            const Decoded d = decodeBytes(file, size);
            ASSERT_EQ(d.image, nullptr) << "cut at " << size;
            if (boundaries.count(size) == 0 || d.reason != "HEIF: corrupt data") {
                ASSERT_EQ(d.reason, "HEIF: file ends early") << "cut at " << size;
            }
        }
    }
}

TEST(HeifReader, DamagedFilesAreRefusedOrDecodedWithoutHarm) {
    const Bytes file = sampleAvif();
    // Every byte in turn replaced: whatever the library makes of it, the reader returns an image that is not
    // empty, one of its reasons, or runs out of memory (a size byte made huge).
    for (std::size_t at = 0; at < file.size(); ++at) {
        for (const std::uint8_t value :
             {std::uint8_t(0), std::uint8_t(0xFF), std::uint8_t(file[at] ^ 0x10)}) {
            Bytes damaged = file;
            damaged[at] = value;
            try {
                const Decoded d = decodeBytes(damaged);
                if (d.image == nullptr) {
                    ASSERT_TRUE(d.reason == "HEIF: corrupt data" || d.reason == "HEIF: file ends early" ||
                                d.reason == "HEIF: unsupported feature")
                        << d.reason << " at " << at;
                } else {
                    ASSERT_TRUE(d.image->width > 0 && d.image->height > 0) << at;
                }
            } catch (const std::bad_alloc&) {
            }
        }
    }
    // The meta box renamed: no image items at all.
    Bytes noMeta = file;
    const auto meta = std::search(noMeta.begin(), noMeta.end(), std::begin("meta"), std::end("meta") - 1);
    ASSERT_NE(meta, noMeta.end());
    *meta = 'x';
    EXPECT_EQ(decodeBytes(noMeta).reason, "HEIF: corrupt data");
    // The coded picture overwritten inside its box.
    Bytes noise = file;
    const auto mdat = std::search(noise.begin(), noise.end(), std::begin("mdat"), std::end("mdat") - 1);
    ASSERT_NE(mdat, noise.end());
    for (auto p = mdat + 4; p != noise.end(); ++p)
        *p = static_cast<std::uint8_t>((p - noise.begin()) * 37);
    EXPECT_EQ(decodeBytes(noise).reason, "HEIF: corrupt data");
}

// The size every "ispe" box declares (the picture's and its alpha's), set to width x height.
void setDeclaredSize(Bytes& file, std::uint32_t width, std::uint32_t height) {
    int found = 0;
    for (auto ispe = file.begin();
         (ispe = std::search(ispe, file.end(), std::begin("ispe"), std::end("ispe") - 1)) != file.end();
         ++found) {
        ispe += 8; // after the version and flags
        for (const std::uint32_t v : {width, height})
            for (int shift = 24; shift >= 0; shift -= 8)
                *ispe++ = static_cast<std::uint8_t>(v >> shift);
    }
    ASSERT_GT(found, 0);
}

TEST(HeifReader, ImagesBeyondTheBudgetAreRefusedBeforeDecoding) {
    setImageMemoryLimit(imageBytesHeld() + (std::uint64_t{64} << 20));
    // Declared sizes beyond the budget, or beyond the library's own side limit.
    for (const auto& size : {std::pair{20000u, 20000u}, std::pair{40000u, 16u}}) {
        Bytes large = sampleAvif();
        setDeclaredSize(large, size.first, size.second);
        EXPECT_THROW(decodeBytes(large), std::bad_alloc) << size.first << " x " << size.second;
    }
    // 1000 x 1000: the image (3.8 MiB) fits under the cap, but not with the decoder's planes beside it.
    LibraryFile described;
    described.width = 1000;
    described.height = 1000;
    described.lossless = false;
    described.samples.assign(1000 * 1000 * 3, 128);
    const Bytes file = makeHeif(described);
    setImageMemoryLimit(imageBytesHeld() + (std::uint64_t{12} << 20));
    EXPECT_THROW(decodeBytes(file), std::bad_alloc);
    setImageMemoryLimit(imageBytesHeld() + (std::uint64_t{24} << 20));
    EXPECT_NE(decodeBytes(file).image, nullptr);
    setImageMemoryLimit(std::nullopt);
}

std::string temporaryPath(const char* name) {
    return "/tmp/heif_test_" + std::to_string(::getpid()) + "_" + name;
}

TEST(HeifReader, FilesAndPipesReadAsBytesInMemoryDo) {
    // A "free" box of 3 MiB after the image makes the file longer than one block of the source.
    Bytes file = sampleAvif();
    const std::uint32_t padding = 3u << 20;
    for (int shift = 24; shift >= 0; shift -= 8)
        file.push_back(static_cast<std::uint8_t>(padding >> shift));
    file.insert(file.end(), {'f', 'r', 'e', 'e'});
    file.resize(file.size() + padding - 8, 0);
    const Decoded fromMemory = decodeBytes(file);
    ASSERT_NE(fromMemory.image, nullptr) << fromMemory.reason;

    const std::string path = temporaryPath("long.avif");
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_EQ(::write(fd, file.data(), file.size()), ssize_t(file.size()));
        ::close(fd);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ByteSource fromFile(fd, true);
    Decoded d;
    d.image = decodeHeif(fromFile, d.reason, d.found);
    ::close(fd);
    ASSERT_NE(d.image, nullptr) << d.reason;
    EXPECT_EQ(bytesOf(*d.image), bytesOf(*fromMemory.image));

    // The same file through a pipe, fed from another process as the reader takes it.
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        std::size_t done = 0;
        while (done < file.size()) {
            const ssize_t n = ::write(pipeEnds[1], file.data() + done, file.size() - done);
            if (n <= 0)
                ::_exit(1);
            done += std::size_t(n);
        }
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    ByteSource fromPipe(pipeEnds[0], false);
    Decoded p;
    p.image = decodeHeif(fromPipe, p.reason, p.found);
    ::close(pipeEnds[0]);
    ASSERT_NE(p.image, nullptr) << p.reason;
    EXPECT_EQ(bytesOf(*p.image), bytesOf(*fromMemory.image));

    // A file larger than the budget is refused before it is read.
    setImageMemoryLimit(imageBytesHeld() + (std::uint64_t{2} << 20));
    const int again = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ByteSource refused(again, true);
    EXPECT_THROW(decodeHeif(refused, d.reason, d.found), std::bad_alloc);
    setImageMemoryLimit(std::nullopt);
    ::close(again);
    ::unlink(path.c_str());
}

TEST(HeifReader, AThumbnailIsTheSmallestThatIsLargeEnough) {
    LibraryFile described;
    described.width = 40;
    described.height = 24;
    described.alpha = true;
    described.samples = gradient(40, 24);
    const Bytes plain = makeHeif(described);
    // Thumbnails of 20 x 12 and 10 x 6, stored in either order.
    described.thumbnailBoxes = {20, 10};
    const Bytes largeFirst = makeHeif(described);
    described.thumbnailBoxes = {10, 20};
    const Bytes smallFirst = makeHeif(described);
    const struct {
        std::uint32_t minWidth, minHeight;
        std::uint32_t width;
    } cases[] = {
        {0, 0, 10}, {10, 6, 10}, {11, 6, 20}, {10, 7, 20}, {20, 12, 20}, {21, 12, 40}, {20, 13, 40},
    };
    for (const Bytes* file : {&largeFirst, &smallFirst, &plain})
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "at least " << c.minWidth << " x " << c.minHeight << ", "
                                            << (file == &plain        ? "no thumbnails"
                                                : file == &largeFirst ? "large first"
                                                                      : "small first"));
            ByteSource source(file->data(), file->size());
            Decoded d;
            d.image = decodeHeifThumbnail(source, d.reason, d.found, c.minWidth, c.minHeight);
            ASSERT_NE(d.image, nullptr) << d.reason;
            EXPECT_EQ(d.image->width, file == &plain ? 40 : c.width);
            EXPECT_EQ(d.image->height, d.image->width * 3 / 5);
            EXPECT_TRUE(d.found.upright);
            // Scaled down, the picture keeps its gradient: red grows to the right, green downwards.
            const std::uint32_t right = d.image->width - 1;
            const std::uint32_t bottom = d.image->height - 1;
            EXPECT_LT(pixelAt(*d.image, 0, 0)[0] + 100, pixelAt(*d.image, right, 0)[0]);
            EXPECT_LT(pixelAt(*d.image, 0, 0)[1] + 100, pixelAt(*d.image, 0, bottom)[1]);
        }
    // Reading the image itself ignores the thumbnails.
    const Decoded whole = decodeBytes(largeFirst);
    ASSERT_NE(whole.image, nullptr);
    EXPECT_EQ(whole.image->width, 40u);
}

// ---- Writing ----

Bytes encodeToBytes(const Image& image, int quality) {
    char name[] = "/tmp/avif_write_XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_TRUE(encodeAvif(image, quality, fd));
    Bytes out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(::pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    ::close(fd);
    ::unlink(name);
    return out;
}

// A smooth premultiplied picture with a little noise; translucent or opaque.
ImagePtr smoothImage(std::uint32_t width, std::uint32_t height, bool translucent) {
    std::uint32_t noise = 1;
    return makeImage(width, height, [&](std::uint32_t x, std::uint32_t y) -> Rgba {
        noise = noise * 1103515245u + 12345u;
        const auto a = static_cast<std::uint8_t>(translucent ? 255 - (x + y) % 128 : 255);
        const auto& t = straightColourTables().premultiply;
        return {t[a * 256 + ((x * 3 + (noise >> 29)) & 255)], t[a * 256 + ((y * 3) & 255)], t[a * 256 + 90],
                a};
    });
}

bool fileHasAlpha(const Bytes& file) {
    heif_context* context = heif_context_alloc();
    EXPECT_EQ(heif_context_read_from_memory_without_copy(context, file.data(), file.size(), nullptr).code,
              heif_error_Ok);
    heif_image_handle* handle = nullptr;
    EXPECT_EQ(heif_context_get_primary_image_handle(context, &handle).code, heif_error_Ok);
    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    heif_image_handle_release(handle);
    heif_context_free(context);
    return alpha;
}

// Lossy writes come back close: the mean error of each channel and the largest single error, measured on
// these pictures at quality 80 as at most 2.5 and 8 (red, which carries the noise, the worst), with room.
TEST(AvifWriter, WritesReadBackCloseWithTheirSizeAndAlpha) {
    const struct {
        std::uint32_t width, height;
        bool translucent;
    } cases[] = {{1, 1, false}, {3, 2, true}, {37, 23, true}, {64, 48, false}, {1, 40, true}, {41, 1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.width << " x " << c.height << (c.translucent ? " translucent" : ""));
        const ImagePtr image = smoothImage(c.width, c.height, c.translucent);
        const Bytes file = encodeToBytes(*image, 80);
        ASSERT_TRUE(matchesHeif(file.data(), file.size()));
        EXPECT_EQ(fileHasAlpha(file), c.translucent);
        const Decoded d = decodeBytes(file);
        ASSERT_NE(d.image, nullptr) << d.reason;
        ASSERT_EQ(d.image->width, c.width);
        ASSERT_EQ(d.image->height, c.height);
        double total[4] = {};
        int largest = 0;
        for (std::uint32_t y = 0; y < c.height; ++y)
            for (std::uint32_t x = 0; x < c.width; ++x)
                for (std::size_t ch = 0; ch < 4; ++ch) {
                    const int error = std::abs(pixelAt(*d.image, x, y)[ch] - pixelAt(*image, x, y)[ch]);
                    total[ch] += error;
                    largest = std::max(largest, error);
                }
        for (std::size_t ch = 0; ch < 4; ++ch)
            EXPECT_LT(total[ch] / (c.width * c.height), 3.5) << "channel " << ch;
        EXPECT_LE(largest, 16);
        for (std::uint32_t i = 0; !c.translucent && i < c.width * c.height; ++i)
            ASSERT_EQ(pixelAt(*d.image, i % c.width, i / c.width)[3], 255);
    }
}

TEST(AvifWriter, TheSameImageGivesTheSameBytes) {
    const ImagePtr image = smoothImage(256, 192, true); // large enough for the encoder's threads
    const Bytes first = encodeToBytes(*image, 70);
    EXPECT_EQ(encodeToBytes(*image, 70), first);
    EXPECT_NE(encodeToBytes(*image, 30), first);
    // A higher quality keeps more.
    EXPECT_LT(encodeToBytes(*image, 20).size() * 2, encodeToBytes(*image, 95).size());
}

Bytes iccProfile(const char* space) {
    Bytes icc(132, 0);
    icc[3] = 132;
    std::memcpy(&icc[12], "mntr", 4);
    std::memcpy(&icc[16], space, 4);
    std::memcpy(&icc[36], "acsp", 4);
    for (std::size_t i = 128; i < 132; ++i)
        icc[i] = static_cast<std::uint8_t>(i);
    return icc;
}

TEST(AvifWriter, MetadataTravelsWithTheImage) {
    const Bytes exif = {'M', 'M', 0, '*', 0, 0, 0, 8, 0, 0, 0, 0, 0, 0};
    const std::string xmpText = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF/></x:xmpmeta>";
    const Bytes xmp(xmpText.begin(), xmpText.end());
    const struct {
        const char* space;
        bool kept;
    } cases[] = {{"RGB ", true}, {"GRAY", false}, {"CMYK", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.space);
        ImagePtr image = smoothImage(8, 8, false);
        image->metadata = makeMetadata(iccProfile(c.space), exif, xmp);
        const Decoded d = decodeBytes(encodeToBytes(*image, 60));
        ASSERT_NE(d.image, nullptr) << d.reason;
        EXPECT_EQ(d.found.icc, c.kept ? iccProfile(c.space) : Bytes{});
        EXPECT_EQ(d.found.exif, exif);
        EXPECT_EQ(d.found.xmp, xmp);
        EXPECT_TRUE(d.found.notes.empty());
    }
    const Decoded bare = decodeBytes(encodeToBytes(*smoothImage(8, 8, false), 60));
    ASSERT_NE(bare.image, nullptr);
    EXPECT_TRUE(bare.found.icc.empty() && bare.found.exif.empty() && bare.found.xmp.empty());
}

TEST(AvifWriter, FailuresAreReported) {
    const ImagePtr image = smoothImage(300, 200, true);
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    EXPECT_FALSE(encodeAvif(*image, 50, full));
    ::close(full);

    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    Image empty;
    EXPECT_FALSE(encodeAvif(empty, 50, null));
    // The encoder's planes and buffers (about 24 bytes a pixel) come from the budget.
    setImageMemoryLimit(imageBytesHeld() + 300 * 200 * 8);
    EXPECT_THROW(encodeAvif(*image, 50, null), std::bad_alloc);
    setImageMemoryLimit(std::nullopt);
    ::close(null);
}

} // namespace

namespace {

// A 1.2 KB file (found by fuzzing, and a seed of the HEIF fuzz target, which would exceed its memory limit
// with it) whose 9 x 1 picture has an alpha picture coded as a grid far larger: the
// decoder is held to the picture's own size and refuses it (not enough memory), instead of taking gigabytes
// the budget never saw.
TEST(HeifReader, APartLargerThanItsPictureIsRefusedNotAllocated) {
    std::ifstream in(std::string(CHROMALOOM_SOURCE_DIR) + "/tests/data/heif/huge-alpha-grid.heic",
                     std::ios::binary);
    const Bytes file(std::istreambuf_iterator<char>(in), {});
    ASSERT_GT(file.size(), 1000u);
    const std::uint64_t before = imageBytesHeld();
    // The library's refusal of a picture beyond its limit is the reader's out of memory, as for a picture
    // beyond the budget.
    EXPECT_THROW(decodeBytes(file), std::bad_alloc);
    EXPECT_EQ(imageBytesHeld(), before);
}

} // namespace

// The TGA reader: each check that refuses a file and its order, each pixel layout, colour maps, origins,
// run-length packets, files cut short, and random and damaged files against the plain algorithm.

#include "tests/support/exec.h"
#include "tests/support/process.h"
#include "tests/support/tga_file.h"
#include "tests/support/tga_reference.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

// The single pixel of a 1x1 file with the given header fields and pixel bytes.
Rgba onePixel(TgaFile f) {
    int code = 0;
    ImagePtr image = decode(f.bytes(), &code);
    EXPECT_NE(image, nullptr) << "code " << code;
    return image ? pixelAt(*image, 0, 0) : Rgba{};
}

int errorOf(const TgaFile& f) {
    int code = -1;
    EXPECT_EQ(decode(f.bytes(), &code), nullptr);
    return code;
}

// Every code from 0 to 11 has a text of its own, and every other code the same one. The texts a script can
// bring about are pinned by the script case tests/e2e/files/read_errors.script; these three cannot be.
TEST(TgaReader, MessagesCoverEveryCodeAndNothingElse) {
    std::set<std::string> texts;
    for (std::uint32_t code = 0; code < 12; ++code)
        EXPECT_TRUE(texts.insert(tgaErrorMessage(code)).second) << code;
    EXPECT_STREQ(tgaErrorMessage(0), "no error");
    EXPECT_STREQ(tgaErrorMessage(4), "unexpected end-of-file");
    EXPECT_STREQ(tgaErrorMessage(12), "unknown error");
    EXPECT_STREQ(tgaErrorMessage(static_cast<std::uint32_t>(-1)), "unknown error");
    EXPECT_EQ(texts.count("unknown error"), 0u);
}

TEST(TgaReader, RejectsFilesWithTheFirstFailingCheck) {
    TgaFile seventeen;
    Bytes shortHeader = seventeen.bytes();
    shortHeader.pop_back();
    int code = 0;
    EXPECT_EQ(decode(shortHeader, &code), nullptr);
    EXPECT_EQ(code, TgaCode::BadImageHeader);

    TgaFile zeroWide;
    zeroWide.width = 0;
    zeroWide.imageType = 0; // size is checked first
    EXPECT_EQ(errorOf(zeroWide), TgaCode::ZeroSizeImage);
    TgaFile zeroHigh;
    zeroHigh.height = 0;
    EXPECT_EQ(errorOf(zeroHigh), TgaCode::ZeroSizeImage);

    TgaFile noData;
    noData.imageType = 0;
    noData.colorMapType = 1; // no-data is checked before the colour map
    EXPECT_EQ(errorOf(noData), TgaCode::NoImageData);

    for (std::uint8_t greyType : std::initializer_list<std::uint8_t>{3, 11}) {
        TgaFile greyWithMap;
        greyWithMap.imageType = greyType;
        greyWithMap.colorMapType = 1;
        greyWithMap.colorMapEntrySize = 8;
        EXPECT_EQ(errorOf(greyWithMap), TgaCode::ColormapForGrayscale);
    }
    for (std::uint8_t type :
         std::initializer_list<std::uint8_t>{1, 5}) { // entry size is checked before the image type
        TgaFile badEntry;
        badEntry.imageType = type;
        badEntry.colorMapType = 1;
        badEntry.colorMapEntrySize = 8;
        EXPECT_EQ(errorOf(badEntry), TgaCode::UnsupportedColormapEntrySize);
    }

    TgaFile shortMap;
    shortMap.imageType = 1;
    shortMap.colorMapType = 1;
    shortMap.colorMapLength = 2;
    shortMap.colorMapEntrySize = 24;
    shortMap.add({1, 2, 3, 4, 5});
    EXPECT_EQ(errorOf(shortMap), TgaCode::BadColormap);

    for (std::uint8_t type : std::initializer_list<std::uint8_t>{4, 5, 8, 12, 255}) {
        TgaFile unknown;
        unknown.imageType = type;
        EXPECT_EQ(errorOf(unknown), TgaCode::UnknownImageType);
    }
    // The colour map is read before the type is rejected.
    TgaFile unknownWithShortMap = shortMap;
    unknownWithShortMap.imageType = 7;
    EXPECT_EQ(errorOf(unknownWithShortMap), TgaCode::BadColormap);
}

TEST(TgaReader, SuccessLeavesTheLastErrorCode) {
    TgaError = TgaCode::BadColormap;
    TgaFile ok;
    ok.add({1, 2, 3});
    EXPECT_NE(decodeTga(ok.bytes().data(), ok.bytes().size()), nullptr);
    EXPECT_EQ(TgaError, TgaCode::BadColormap);
}

TEST(TgaReader, MissingFileAndPipeWithImageId) {
    TempDir dir;
    TgaError = 0;
    EXPECT_EQ(loadImage((dir / "missing.tga").c_str()), nullptr);
    EXPECT_EQ(TgaError, TgaCode::CannotOpenFile);

    // A pipe skips the image-ID field by reading it, and reads like a file; ending inside the field, it is
    // an unexpected end of the file (a seekable file is skipped past its end, as a seek past the end is).
    for (std::uint8_t idLength : std::initializer_list<std::uint8_t>{0, 3, 200}) {
        TgaFile f;
        f.idLength = idLength;
        f.add({9, 9, 9, 10, 20, 30});
        const Bytes bytes = f.bytes();
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fds[1]);
        TgaError = 0;
        ImagePtr image = loadImage(("/dev/fd/" + std::to_string(fds[0])).c_str());
        close(fds[0]);
        if (idLength < 200) {
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(pixelAt(*image, 0, 0), idLength == 0 ? (Rgba{9, 9, 9, 255}) : (Rgba{30, 20, 10, 255}));
        } else {
            EXPECT_EQ(image, nullptr);
            EXPECT_EQ(TgaError, TgaCode::UnexpectedEndOfFile);
        }
    }
}

TEST(TgaReader, ConvertsEachValueWidth) {
    TgaFile f;
    f.add({10, 20, 30});
    EXPECT_EQ(onePixel(f), (Rgba{30, 20, 10, 255}));

    TgaFile f32;
    f32.pixelDepth = 32;
    f32.descriptor = 8;
    f32.add({0, 0, 255, 128});
    EXPECT_EQ(onePixel(f32), (Rgba{128, 0, 0, 128}));
    f32.descriptor = 0;
    EXPECT_EQ(onePixel(f32), (Rgba{255, 0, 0, 255}));
    f32.descriptor = 8;
    f32.body = {200, 100, 195, 17}; // the float premultiplication: 195 at alpha 17 gives 12
    EXPECT_EQ(onePixel(f32), (Rgba{12, 6, 13, 17}));

    struct Case {
        std::uint8_t depth, alphaBits;
        std::uint16_t value;
        Rgba expected;
    };
    for (const Case& c : {Case{16, 0, 0x07E0, {0, 254, 0, 255}}, Case{16, 1, 0x07E0, {8, 254, 0, 255}},
                          Case{16, 1, 0x8000, {0, 0, 0, 255}}, Case{16, 0, 0xFFFF, {254, 254, 254, 255}},
                          Case{15, 0, 0x7C00, {254, 0, 0, 255}}, Case{16, 8, 0x0821, {8, 4, 8, 255}}}) {
        TgaFile f16;
        f16.pixelDepth = c.depth;
        f16.descriptor = c.alphaBits;
        f16.add({c.value & 0xFF, c.value >> 8});
        EXPECT_EQ(onePixel(f16), c.expected) << std::hex << c.value << " alpha bits " << int(c.alphaBits);
    }

    // Widths outside 15/16/24/32 keep the value as a word: an 8-bit value has alpha 0, and a 2-byte
    // value is sign-extended, so bit 15 fills the alpha and red bytes.
    TgaFile f8;
    f8.pixelDepth = 8;
    f8.add({200});
    EXPECT_EQ(onePixel(f8), (Rgba{0, 0, 0, 0}));
    TgaFile f12;
    f12.pixelDepth = 12;
    f12.add({0x23, 0x81});
    EXPECT_EQ(onePixel(f12), (Rgba{0xFF, 0x81, 0x23, 0xFF}));
    // Values wider than 4 bytes keep their first 4 bytes; the rest are skipped.
    TgaFile f40;
    f40.width = 2;
    f40.pixelDepth = 40;
    f40.add({1, 2, 3, 255, 99, 4, 5, 6, 255, 99});
    ImagePtr wide = decode(f40.bytes());
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(pixelAt(*wide, 0, 0), (Rgba{3, 2, 1, 255}));
    EXPECT_EQ(pixelAt(*wide, 1, 0), (Rgba{6, 5, 4, 255}));
}

TEST(TgaReader, GreyScaleLoadsAsGrey) {
    for (std::uint8_t type : std::initializer_list<std::uint8_t>{3, 11}) {
        TgaFile g8;
        g8.imageType = type;
        g8.pixelDepth = 8;
        g8.width = 3;
        g8.add(type == 3 ? std::initializer_list<int>{0, 128, 255}
                         : std::initializer_list<int>{2, 0, 128, 255});
        ImagePtr image = decode(g8.bytes());
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(bytesOf(*image), (Bytes{0, 0, 0, 255, 128, 128, 128, 255, 255, 255, 255, 255}));

        TgaFile g16;
        g16.imageType = type;
        g16.pixelDepth = 16;
        g16.descriptor = 8;
        g16.add(type == 3 ? std::initializer_list<int>{195, 17} : std::initializer_list<int>{0, 195, 17});
        EXPECT_EQ(onePixel(g16), (Rgba{12, 12, 12, 17}));
        g16.descriptor = 0; // without alpha bits the high byte is not alpha
        EXPECT_EQ(onePixel(g16), (Rgba{195, 195, 195, 255}));
    }
    // A grey value cut short is 0: opaque black at 8 bits, transparent with an alpha byte.
    TgaFile cut8;
    cut8.imageType = 3;
    cut8.pixelDepth = 8;
    EXPECT_EQ(onePixel(cut8), (Rgba{0, 0, 0, 255}));
    TgaFile cut16 = cut8;
    cut16.pixelDepth = 16;
    cut16.descriptor = 8;
    cut16.add({77});
    EXPECT_EQ(onePixel(cut16), (Rgba{0, 0, 0, 0}));
}

TEST(TgaReader, ColourMaps) {
    TgaFile f;
    f.imageType = 1;
    f.colorMapType = 1;
    f.colorMapLength = 2;
    f.colorMapEntrySize = 24;
    f.pixelDepth = 8;
    f.width = 3;
    f.add({1, 2, 3, 10, 20, 30, 1, 0, 1});
    ImagePtr image = decode(f.bytes());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(bytesOf(*image), (Bytes{30, 20, 10, 255, 3, 2, 1, 255, 30, 20, 10, 255}));

    // A nonzero first entry index does not shift the lookup.
    f.firstEntryIndex = 1;
    ImagePtr shifted = decode(f.bytes());
    ASSERT_NE(shifted, nullptr);
    EXPECT_EQ(bytesOf(*shifted), bytesOf(*image));

    // True-colour data with a map is looked up too; entries follow the map's own width and alpha bits.
    TgaFile mapped32;
    mapped32.imageType = 2;
    mapped32.colorMapType = 1;
    mapped32.colorMapLength = 1;
    mapped32.colorMapEntrySize = 32;
    mapped32.descriptor = 8;
    mapped32.pixelDepth = 8;
    mapped32.add({0, 0, 255, 128, 0});
    EXPECT_EQ(onePixel(mapped32), (Rgba{128, 0, 0, 128}));
    TgaFile mapped16 = mapped32;
    mapped16.colorMapEntrySize = 16;
    mapped16.descriptor = 1;
    mapped16.body = {0xE0, 0x07, 0};
    EXPECT_EQ(onePixel(mapped16), (Rgba{8, 254, 0, 255}));

    // Colour-mapped types without a map decode their raw values: 8-bit values come out transparent.
    TgaFile noMap;
    noMap.imageType = 1;
    noMap.pixelDepth = 8;
    noMap.add({5});
    EXPECT_EQ(onePixel(noMap), (Rgba{0, 0, 0, 0}));
}

TEST(TgaReader, IndexOutsideTheMapIsABadColourMap) {
    TgaFile f;
    f.imageType = 1;
    f.colorMapType = 1;
    f.colorMapLength = 2;
    f.colorMapEntrySize = 24;
    f.pixelDepth = 8;
    f.add({1, 2, 3, 4, 5, 6, 2});
    EXPECT_EQ(errorOf(f), TgaCode::BadColormap);

    TgaFile empty = f; // a map of length 0 has no valid index at all
    empty.colorMapLength = 0;
    empty.body = {0};
    EXPECT_EQ(errorOf(empty), TgaCode::BadColormap);

    // 2-byte indices are sign-extended: 0x8000 is far outside even the largest map.
    TgaFile wide;
    wide.imageType = 9;
    wide.colorMapType = 1;
    wide.colorMapLength = 3;
    wide.colorMapEntrySize = 16;
    wide.pixelDepth = 16;
    wide.add({0, 0, 0, 0, 0, 0, 0x80, 0x00, 0x80});
    EXPECT_EQ(errorOf(wide), TgaCode::BadColormap);
}

// A 3x2 picture with distinct pixels, as it should load (top row first).
const Bytes threeByTwo{30, 20, 10, 255, 31, 21, 11, 255, 32, 22, 12, 255,
                       33, 23, 13, 255, 34, 24, 14, 255, 35, 25, 15, 255};

TEST(TgaReader, AllFourOriginsGiveTheSameImage) {
    // Pixels in file order for each origin: bottom-left, bottom-right, top-left, top-right.
    const int bottomLeft[] = {3, 4, 5, 0, 1, 2}, bottomRight[] = {5, 4, 3, 2, 1, 0};
    const int topLeft[] = {0, 1, 2, 3, 4, 5}, topRight[] = {2, 1, 0, 5, 4, 3};
    const int* orders[] = {bottomLeft, bottomRight, topLeft, topRight};
    for (std::uint8_t origin = 0; origin < 4; ++origin) {
        for (std::uint8_t type : std::initializer_list<std::uint8_t>{2, 10}) {
            TgaFile f;
            f.imageType = type;
            f.width = 3;
            f.height = 2;
            f.descriptor = static_cast<std::uint8_t>(origin << 4);
            if (type == 10)
                f.add({5}); // one raw packet of all six pixels, across the row end
            for (int i = 0; i < 6; ++i) {
                const std::size_t p = static_cast<std::size_t>(orders[origin][i]) * 4;
                f.add({threeByTwo[p + 2], threeByTwo[p + 1], threeByTwo[p]});
            }
            ImagePtr image = decode(f.bytes());
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(bytesOf(*image), threeByTwo) << "origin " << int(origin) << " type " << int(type);
        }
    }
}

TEST(TgaReader, RunLengthPackets) {
    TgaFile f;
    f.imageType = 10;
    f.width = 5;
    f.height = 1;
    f.add({0x82, 1, 2, 3, 0x01, 4, 5, 6, 7, 8, 9});
    ImagePtr image = decode(f.bytes());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(bytesOf(*image), (Bytes{3, 2, 1, 255, 3, 2, 1, 255, 3, 2, 1, 255, 6, 5, 4, 255, 9, 8, 7, 255}));

    // A run across rows, and a packet that runs past the last pixel: cut there, the read succeeds.
    TgaFile across;
    across.imageType = 10;
    across.width = 2;
    across.height = 2;
    across.add({0x81, 1, 1, 1, 0xFF, 2, 2, 2});
    ImagePtr cut = decode(across.bytes());
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(bytesOf(*cut), (Bytes{2, 2, 2, 255, 2, 2, 2, 255, 1, 1, 1, 255, 1, 1, 1, 255}));
    TgaFile rawPast = across;
    rawPast.body = {0x7F, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4};
    EXPECT_NE(decode(rawPast.bytes()), nullptr);
}

TEST(TgaReader, FilesCutShortInEachSection) {
    // Only the header: opaque black for widths 15, 16, 24, and 32 without alpha bits.
    TgaFile headerOnly;
    headerOnly.width = 4;
    headerOnly.height = 2;
    ImagePtr black = decode(headerOnly.bytes());
    ASSERT_NE(black, nullptr);
    for (std::uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(pixelAt(*black, i % 4, i / 4), (Rgba{0, 0, 0, 255}));
    for (std::uint8_t depth : std::initializer_list<std::uint8_t>{15, 16, 32}) {
        TgaFile f = headerOnly;
        f.pixelDepth = depth;
        EXPECT_EQ(pixelAt(*decode(f.bytes()), 3, 1), (Rgba{0, 0, 0, 255})) << int(depth);
    }
    TgaFile alpha32 = headerOnly;
    alpha32.pixelDepth = 32;
    alpha32.descriptor = 8;
    EXPECT_EQ(pixelAt(*decode(alpha32.bytes()), 0, 0), (Rgba{0, 0, 0, 0}));

    // The image-ID field runs past the end: the read goes on with nothing left.
    TgaFile shortId = headerOnly;
    shortId.idLength = 200;
    shortId.add({1, 2, 3});
    EXPECT_EQ(bytesOf(*decode(shortId.bytes())), bytesOf(*black));

    // A value cut short is 0 even when some of its bytes were there.
    TgaFile partial;
    partial.width = 2;
    partial.add({10, 20, 30, 40, 50});
    EXPECT_EQ(pixelAt(*decode(partial.bytes()), 1, 0), (Rgba{0, 0, 0, 255}));

    // Colour-mapped data: a missing index is 0 and takes entry 0.
    TgaFile mapped;
    mapped.imageType = 9;
    mapped.colorMapType = 1;
    mapped.colorMapLength = 1;
    mapped.colorMapEntrySize = 24;
    mapped.pixelDepth = 8;
    mapped.width = 3;
    mapped.add({7, 8, 9, 0x80});
    ImagePtr fromMap = decode(mapped.bytes());
    ASSERT_NE(fromMap, nullptr);
    EXPECT_EQ(pixelAt(*fromMap, 2, 0), (Rgba{9, 8, 7, 255}));

    // Missing packet headers count as raw packets of two missing values.
    TgaFile rle;
    rle.imageType = 10;
    rle.width = 3;
    rle.add({0x80, 1, 2, 3});
    ImagePtr runs = decode(rle.bytes());
    ASSERT_NE(runs, nullptr);
    EXPECT_EQ(bytesOf(*runs), (Bytes{3, 2, 1, 255, 0, 0, 0, 255, 0, 0, 0, 255}));
}

// Random files of every type, depth, map and origin, whole and cut short anywhere, decode exactly as the
// plain algorithm does.
TEST(TgaReader, MatchesThePlainAlgorithmOnRandomFiles) {
    std::mt19937 rng(12345);
    auto pick = [&](std::initializer_list<int> values) {
        return *(values.begin() + std::uniform_int_distribution<std::size_t>(0, values.size() - 1)(rng));
    };
    auto any = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int decoded = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        TgaFile f;
        f.imageType = static_cast<std::uint8_t>(pick({1, 2, 3, 9, 10, 11, 1, 2, 9, 10, 0, 6}));
        f.colorMapType = static_cast<std::uint8_t>(any(0, 2) == 0 ? 0 : pick({0, 1}));
        f.colorMapEntrySize = static_cast<std::uint8_t>(pick({15, 16, 24, 32, 15, 16, 24, 32, 8}));
        f.colorMapLength = static_cast<std::uint16_t>(any(0, 6));
        f.pixelDepth = static_cast<std::uint8_t>(pick({8, 15, 16, 24, 32, 8, 16, 0, 5, 12, 40}));
        f.descriptor = static_cast<std::uint8_t>(any(0, 255));
        f.idLength = static_cast<std::uint8_t>(pick({0, 0, 3}));
        f.width = static_cast<std::uint16_t>(any(1, 9));
        f.height = static_cast<std::uint16_t>(any(1, 5));
        const int size = any(0, 200);
        for (int i = 0; i < size; ++i) // small bytes make in-range indices and short packets likely
            f.body.push_back(static_cast<std::uint8_t>(any(0, 3) == 0 ? any(0, 255) : any(0, 3)));
        Bytes file = f.bytes();
        file.resize(std::min<std::size_t>(file.size(), static_cast<std::size_t>(any(17, 260))));
        int expectedCode = 0, code = 0;
        ImagePtr expected = referenceDecode(file, expectedCode);
        ImagePtr actual = decode(file, &code);
        ASSERT_EQ(actual == nullptr, expected == nullptr) << "trial " << trial;
        if (expected == nullptr) {
            EXPECT_EQ(code, expectedCode) << "trial " << trial;
            continue;
        }
        ASSERT_EQ(actual->width, expected->width);
        ASSERT_EQ(actual->height, expected->height);
        ASSERT_EQ(bytesOf(*actual), bytesOf(*expected)) << "trial " << trial;
        ++decoded;
    }
    EXPECT_GT(decoded, 1500); // most trials must get as far as the pixels
}

// Every 16-bit value under each 16-bit reading, against the plain algorithm.
// Every 2-byte value, in an image large enough for the reader to convert each value once into a table: at
// depth 16 and at depth 12, where a value from 0x8000 up is sign-extended and so keeps bits 24-31 set.
TEST(TgaReader, EveryTwoByteValueMatchesThePlainAlgorithm) {
    struct Case {
        int type, alphaBits, depth;
    };
    for (auto [type, alphaBits, depth] :
         {Case{2, 0, 16}, {2, 1, 16}, {2, 8, 16}, {3, 0, 16}, {3, 8, 16}, {2, 0, 12}, {2, 8, 12}}) {
        TgaFile f;
        f.imageType = static_cast<std::uint8_t>(type);
        f.width = 256;
        f.height = 256;
        f.pixelDepth = static_cast<std::uint8_t>(depth);
        f.descriptor = static_cast<std::uint8_t>(alphaBits);
        for (int v = 0; v < 65536; ++v)
            f.add({v & 0xFF, v >> 8});
        int code = 0;
        ImagePtr expected = referenceDecode(f.bytes(), code);
        ImagePtr actual = decode(f.bytes());
        ASSERT_NE(actual, nullptr);
        EXPECT_TRUE(bytesOf(*actual) == bytesOf(*expected)) << type << " " << alphaBits << " " << depth;
    }
}

// The 32-bit reading converts whole rows at a time with its own arithmetic: every colour at every alpha in
// each channel, then random rows of many widths (opaque runs beside translucent pixels, colour equal to
// alpha), in every origin, plain and run-length, cut short anywhere, all against the plain algorithm.
TEST(TgaReader, WholeRowConversionsMatchThePlainAlgorithm) {
    TgaFile every;
    every.width = 256;
    every.height = 256;
    every.pixelDepth = 32;
    every.descriptor = 8;
    for (int a = 0; a < 256; ++a)
        for (int c = 0; c < 256; ++c)
            every.add({c, 255 - c, (c * 7) & 255, a});
    int code = 0;
    ImagePtr expected = referenceDecode(every.bytes(), code);
    ImagePtr actual = decode(every.bytes());
    ASSERT_NE(actual, nullptr);
    ASSERT_TRUE(bytesOf(*actual) == bytesOf(*expected));

    std::mt19937 rng(99);
    auto any = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int trial = 0; trial < 600; ++trial) {
        TgaFile f;
        f.imageType = static_cast<std::uint8_t>(any(0, 2) == 0 ? 10 : 2);
        f.pixelDepth = static_cast<std::uint8_t>(any(0, 3) == 0 ? 24 : 32);
        f.descriptor = static_cast<std::uint8_t>((any(0, 4) == 0 ? 0 : 8) | any(0, 3) << 4);
        f.width = static_cast<std::uint16_t>(any(0, 3) == 0 ? any(100, 300) : any(1, 40));
        f.height = static_cast<std::uint16_t>(any(1, 6));
        const int bytes = f.pixelDepth / 8;
        const std::uint32_t pixels = std::uint32_t{f.width} * f.height;
        int alpha = 255;
        auto addPixel = [&] {
            if (any(0, 7) == 0) // alpha comes in stretches: opaque, clear, or varied
                alpha = std::initializer_list<int>{255, 255, 0, -1}.begin()[any(0, 3)];
            const int a = alpha >= 0 ? alpha : any(1, 254);
            for (int i = 0; i < 3; ++i)
                f.add({any(0, 3) == 0 ? a : any(0, 255)});
            if (bytes == 4)
                f.add({a});
        };
        for (std::uint32_t n = 0; n < pixels; n += f.imageType == 10 ? 4 : 1) {
            if (f.imageType != 10) {
                addPixel();
                continue;
            }
            const bool run = any(0, 1) == 0; // packets of 4 pixels, crossing row ends
            f.add({run ? 0x83 : 0x03});
            for (int i = 0; i < (run ? 1 : 4); ++i)
                addPixel();
        }
        Bytes file = f.bytes();
        if (any(0, 2) == 0)
            file.resize(static_cast<std::size_t>(any(18, static_cast<int>(file.size()))));
        int expectedCode = 0;
        ImagePtr plain = referenceDecode(file, expectedCode);
        ImagePtr bulk = decode(file);
        ASSERT_NE(bulk, nullptr) << "trial " << trial;
        ASSERT_TRUE(bytesOf(*bulk) == bytesOf(*plain)) << "trial " << trial;
    }
}

// Reading from a file goes through blocks of the file; values and packets that straddle a block
// boundary, and a file cut short in a later block, must read as they do from memory.
TEST(TgaReader, FileReadsMatchMemoryAcrossBlocks) {
    std::mt19937 rng(7);
    TempDir dir;
    for (auto [type, depth] : {std::pair{2, 24}, {2, 32}, {10, 24}}) {
        TgaFile f;
        f.imageType = static_cast<std::uint8_t>(type);
        f.pixelDepth = static_cast<std::uint8_t>(depth);
        f.width = 700;
        f.height = 600;
        f.descriptor = depth == 32 ? 0x28 : 0x20;
        const std::size_t size =
            type == 2 ? 700u * 600u * static_cast<std::size_t>(depth / 8) : 700u * 600u * 2u;
        for (std::size_t i = 0; i < size; ++i)
            f.body.push_back(static_cast<std::uint8_t>(rng()));
        Bytes file = f.bytes();
        file.resize(file.size() - 1001);
        const auto path = dir / "big.tga";
        writeFile(path, std::string(file.begin(), file.end()));
        ImagePtr fromFile = loadImage(path.c_str());
        ImagePtr fromMemory = decode(file);
        ASSERT_NE(fromFile, nullptr);
        ASSERT_NE(fromMemory, nullptr);
        EXPECT_TRUE(bytesOf(*fromFile) == bytesOf(*fromMemory)) << type << " " << depth;
    }
}

// Third-party files: each must load to its expected straight colour, premultiplied by the reader's
// formula, grey as grey.
TEST(TgaReader, CorpusFilesLoadToTheirExpectedPixels) {
    const auto corpus = sourceDir() / "tests" / "data" / "corpus";
    int files = 0;
    for (const char* mode : {"l", "la", "p", "rgb", "rgba"}) {
        for (const char* size : {"1x1", "200x32"}) {
            const std::string stem = std::string(size) + "_" + mode;
            if (!std::filesystem::exists(corpus / (stem + ".rgba")))
                continue;
            const std::string straight = readFile(corpus / (stem + ".rgba"));
            Bytes expected(straight.begin(), straight.end());
            for (std::size_t i = 0; i < expected.size(); i += 4)
                for (std::size_t c = 0; c < 3; ++c)
                    expected[i + c] = referencePremultiply(expected[i + c], expected[i + 3]);
            for (const char* variant : {"_bl_raw", "_bl_rle", "_tl_raw", "_tl_rle"}) {
                const auto path = corpus / (stem + variant + ".tga");
                ImagePtr image = loadImage(path.c_str());
                ASSERT_NE(image, nullptr)
                    << path << ": " << tgaErrorMessage(static_cast<std::uint32_t>(TgaError));
                EXPECT_EQ(image->width * image->height * 4, expected.size()) << path;
                EXPECT_TRUE(bytesOf(*image) == expected) << path;
                ++files;
            }
        }
    }
    EXPECT_EQ(files, 24);
}

// A sweep of damaged copies of a real file: every truncation and many byte changes must load or fail
// cleanly (the sanitizer build checks the "cleanly").
TEST(TgaReader, DamagedFilesLoadOrFailCleanly) {
    const std::string original = readFile(sourceDir() / "tests" / "data" / "corpus" / "1x1_l_bl_rle.tga");
    const std::string mapped = readFile(sourceDir() / "tests" / "data" / "corpus" / "200x32_p_bl_rle.tga");
    for (const std::string& source : {original, mapped.substr(0, 1000)}) {
        const Bytes bytes(source.begin(), source.end());
        for (std::size_t length = 0; length <= bytes.size(); ++length) {
            int code = 0, expectedCode = 0;
            const Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
            ImagePtr a = decode(cut, &code);
            ImagePtr b = referenceDecode(cut, expectedCode);
            ASSERT_EQ(a == nullptr, b == nullptr) << length;
        }
        for (std::size_t at = 0; at < std::min<std::size_t>(bytes.size(), 40); ++at)
            for (int value : {0, 1, 0x7F, 0x80, 0xFF}) {
                Bytes damaged = bytes;
                damaged[at] = static_cast<std::uint8_t>(value);
                int code = 0, expectedCode = 0;
                ImagePtr a = decode(damaged, &code);
                ImagePtr b = referenceDecode(damaged, expectedCode);
                ASSERT_EQ(a == nullptr, b == nullptr) << at << " " << value;
                if (a != nullptr) {
                    ASSERT_TRUE(bytesOf(*a) == bytesOf(*b)) << at << " " << value;
                }
            }
    }
}

} // namespace

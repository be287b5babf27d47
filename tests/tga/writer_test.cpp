// The TGA writer: the fixed layout, the conversion back to straight colour (row by row against the plain
// formula), round trips through the reader, what it refuses, and links.

#include "image/straight_colour.h"
#include "tests/support/exec.h"
#include "tests/support/process.h"
#include "tests/support/tga_file.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fileBytes(const fs::path& path) {
    const std::string s = readFile(path);
    return {s.begin(), s.end()};
}

TEST(TgaWriter, WritesTheFixedLayoutBottomRowFirst) {
    TempDir dir;
    const auto path = dir / "one.tga";
    ImagePtr one = makeImage(1, 1, [](auto, auto) { return Rgba{30, 20, 10, 255}; });
    ASSERT_EQ(writeImage(path.c_str(), *one), WriteResult::Ok);
    Bytes expected{21, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 32, 8};
    const std::string id = "written with pixelkit";
    expected.insert(expected.end(), id.begin(), id.end());
    expected.insert(expected.end(), {10, 20, 30, 255});
    EXPECT_EQ(fileBytes(path), expected);

    ImagePtr empty = createImage(0, 0);
    ASSERT_EQ(writeImage(path.c_str(), *empty), WriteResult::Ok);
    Bytes header(expected.begin(), expected.begin() + 39);
    header[12] = header[14] = 0;
    EXPECT_EQ(fileBytes(path), header);

    // 300 x 2: the first pixel in the file is the bottom-left one; the size is little-endian.
    ImagePtr tall = makeImage(300, 2, [](std::uint32_t x, std::uint32_t y) {
        return Rgba{static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(x), 0, 255};
    });
    ASSERT_EQ(writeImage(path.c_str(), *tall), WriteResult::Ok);
    const Bytes bytes = fileBytes(path);
    ASSERT_EQ(bytes.size(), 39u + 300 * 2 * 4);
    EXPECT_EQ(bytes[12] | (bytes[13] << 8), 300);
    EXPECT_EQ(bytes[14] | (bytes[15] << 8), 2);
    EXPECT_EQ(Bytes(bytes.begin() + 39, bytes.begin() + 47), (Bytes{0, 0, 1, 255, 0, 1, 1, 255}));
}

TEST(TgaWriter, ConvertsBackToStraightColour) {
    struct Case {
        Rgba stored;
        Bytes written; // blue, green, red, alpha
    };
    for (const Case& c :
         {Case{{7, 8, 9, 255}, {9, 8, 7, 255}}, Case{{7, 8, 9, 0}, {9, 8, 7, 0}},
          Case{{100, 100, 0, 100}, {0, 255, 255, 100}}, Case{{200, 0, 0, 100}, {0, 0, 255, 100}},
          Case{{100, 0, 0, 128}, {0, 0, 199, 128}}}) {
        TempDir dir;
        ImagePtr image = makeImage(1, 1, [&](auto, auto) { return c.stored; });
        ASSERT_EQ(writeImage((dir / "p.tga").c_str(), *image), WriteResult::Ok);
        const Bytes bytes = fileBytes(dir / "p.tga");
        EXPECT_EQ(Bytes(bytes.begin() + 39, bytes.end()), c.written);
    }
}

// Rows are converted two opaque pixels at a time where they can be: random images of odd and even widths,
// with opaque stretches beside translucent and clear pixels, must be written pixel by pixel by the formula.
TEST(TgaWriter, WholeRowsMatchTheFormulaPixelByPixel) {
    std::mt19937 rng(5);
    auto any = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    TempDir dir;
    for (int trial = 0; trial < 40; ++trial) {
        const auto w = static_cast<std::uint32_t>(any(1, 70)), h = static_cast<std::uint32_t>(any(1, 4));
        ImagePtr image = makeImage(w, h, [&](std::uint32_t, std::uint32_t) {
            const int a = any(0, 2) != 0 ? 255 : any(0, 3) == 0 ? 0 : any(1, 254);
            auto c = [&] { return static_cast<std::uint8_t>(any(0, a)); };
            return Rgba{c(), c(), c(), static_cast<std::uint8_t>(a)};
        });
        Bytes expected;
        for (std::uint32_t y = h; y-- > 0;)
            for (std::uint32_t x = 0; x < w; ++x) {
                const Rgba p = pixelAt(*image, x, y);
                for (int i : {2, 1, 0})
                    expected.push_back(straightColourFormula(p[static_cast<std::size_t>(i)], p[3]));
                expected.push_back(p[3]);
            }
        ASSERT_EQ(writeImage((dir / "r.tga").c_str(), *image), WriteResult::Ok);
        const Bytes bytes = fileBytes(dir / "r.tga");
        ASSERT_EQ(Bytes(bytes.begin() + 39, bytes.end()), expected) << w << "x" << h;
    }
}

TEST(TgaWriter, RoundTripKeepsSizeOrientationAndOpaquePixels) {
    TempDir dir;
    for (auto [w, h] : {std::pair{1u, 1u}, {6u, 5u}, {5u, 6u}, {1u, 7u}, {513u, 3u}}) {
        ImagePtr image = makeImage(w, h, [](std::uint32_t x, std::uint32_t y) {
            return Rgba{static_cast<std::uint8_t>(x * 40 + y), static_cast<std::uint8_t>(y * 50),
                        static_cast<std::uint8_t>(x ^ y), 255};
        });
        const auto path = dir / "rt.tga";
        ASSERT_EQ(writeImage(path.c_str(), *image), WriteResult::Ok);
        ImagePtr back = loadImage(path.c_str());
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->width, w);
        EXPECT_EQ(back->height, h);
        EXPECT_TRUE(bytesOf(*back) == bytesOf(*image)) << w << "x" << h;
    }
    // Translucent colour loses a little: a file colour 200 at alpha 128 loads as 100 and writes as 199.
    TgaFile f;
    f.pixelDepth = 32;
    f.descriptor = 8;
    f.add({200, 200, 200, 128});
    ImagePtr loaded = decode(f.bytes());
    EXPECT_EQ(pixelAt(*loaded, 0, 0), (Rgba{100, 100, 100, 128}));
    ASSERT_EQ(writeImage((dir / "t.tga").c_str(), *loaded), WriteResult::Ok);
    const Bytes bytes = fileBytes(dir / "t.tga");
    EXPECT_EQ(Bytes(bytes.begin() + 39, bytes.end()), (Bytes{199, 199, 199, 128}));
}

TEST(TgaWriter, RefusesWhatItCannotWriteAndLeavesNoFile) {
    TempDir dir;
    const auto path = dir / "x.tga";
    EXPECT_EQ(writeImage(path.c_str(), *createImage(65536, 1)), WriteResult::TooLarge);
    EXPECT_EQ(writeImage(path.c_str(), *createImage(1, 65536)), WriteResult::TooLarge);
    EXPECT_EQ(writeImage(path.c_str(), *createImage(65535, 1)), WriteResult::Ok);
    EXPECT_EQ(fileBytes(path).size(), 39u + 65535 * 4);
    fs::remove(path);

    TgaError = 0;
    ImagePtr image = createImage(2, 2);
    EXPECT_EQ(writeImage((dir / "no" / "x.tga").c_str(), *image), WriteResult::CannotOpen);
    EXPECT_EQ(TgaError, TgaCode::CannotOpenFile);
    fs::create_directory(dir / "sub");
    EXPECT_EQ(writeImage((dir / "sub").c_str(), *image), WriteResult::CannotOpen);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"sub"});

    // A device is written in place and stays a device.
    EXPECT_EQ(writeImage("/dev/full", *image), WriteResult::CannotWrite);
    struct stat info {};
    ASSERT_EQ(stat("/dev/full", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    EXPECT_EQ(writeImage("/dev/null", *image), WriteResult::Ok);
}

TEST(TgaWriter, ReplacesTheFileALinkPointsToAndKeepsItsMode) {
    TempDir dir;
    fs::create_directory(dir / "real");
    writeFile(dir / "real" / "target.tga", "old");
    chmod((dir / "real" / "target.tga").c_str(), 0640);
    fs::create_symlink("real/target.tga", dir / "link.tga");
    ImagePtr image = makeImage(1, 1, [](auto, auto) { return Rgba{1, 2, 3, 255}; });
    ASSERT_EQ(writeImage((dir / "link.tga").c_str(), *image), WriteResult::Ok);
    EXPECT_TRUE(fs::is_symlink(dir / "link.tga"));
    EXPECT_EQ(fileBytes(dir / "real" / "target.tga").size(), 43u);
    EXPECT_EQ(fs::status(dir / "real" / "target.tga").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(namesIn(dir / "real"), std::vector<std::string>{"target.tga"});

    // A dangling link creates the file it names.
    fs::create_symlink("real/new.tga", dir / "dangling.tga");
    ASSERT_EQ(writeImage((dir / "dangling.tga").c_str(), *image), WriteResult::Ok);
    EXPECT_EQ(fileBytes(dir / "real" / "new.tga").size(), 43u);
}

} // namespace

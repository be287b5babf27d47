// How a written file's name chooses its format: a prefix first, else the name's extension when it is one
// of a writing format's words, in any letter case, else TGA, exactly as before extensions counted.

#include "formats/image_file.h"
#include "formats/image_formats.h"
#include "tests/support/process.h"

#include <cctype>
#include <gtest/gtest.h>
#include <strings.h>

namespace fs = std::filesystem;

namespace {

// 3 x 2, every pixel its own colour, one of them half transparent.
ImagePtr smallPicture() {
    ImagePtr image = createImage(3, 2);
    const std::uint8_t colours[6][4] = {{200, 10, 30, 255}, {5, 150, 60, 255},    {70, 80, 250, 255},
                                        {0, 0, 0, 255},     {255, 255, 255, 255}, {60, 30, 10, 128}};
    for (std::uint32_t i = 0; i < 6; ++i)
        std::copy(colours[i], colours[i] + 4, image->pixel(i % 3, i / 3));
    return image;
}

std::string written(const Image& image, const fs::path& path, const std::string& prefix = "") {
    const std::string name = prefix + path.string();
    EXPECT_EQ(saveImageFile(name.c_str(), image), "") << name;
    return readFile(path);
}

std::string withCase(const std::string& word, int variant) {
    std::string out = word;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        const bool upper = variant == 1 || (variant == 2 && i % 2 == 0) || (variant == 3 && i % 2 == 1);
        out[i] = static_cast<char>(upper ? std::toupper(c) : std::tolower(c));
    }
    return out;
}

// Every word of every writing row, as an extension in four letter cases, writes the same bytes as the
// word's prefix does: the same format at the same default quality.
TEST(OutputNames, EveryWritingFormatsWordIsAnExtensionInAnyCase) {
    TempDir dir;
    const ImagePtr image = smallPicture();
    int checked = 0;
    for (const ImageFormat& format : imageFormats()) {
        if (format.encode == nullptr)
            continue;
        std::string words = format.prefixes;
        for (std::size_t at = 0; at < words.size();) {
            std::size_t end = words.find(' ', at);
            end = end == std::string::npos ? words.size() : end;
            const std::string word = words.substr(at, end - at);
            at = end + 1;
            const std::string expected = written(*image, dir / ("reference-" + word), word + ":");
            for (int variant = 0; variant < 4; ++variant) {
                const std::string name = "out." + withCase(word, variant);
                EXPECT_TRUE(written(*image, dir / name) == expected) << name << " is not " << format.name;
                ++checked;
            }
        }
    }
    EXPECT_GE(checked, 4 * 9); // png, jpg, jpeg, webp, pam, ppm, pgm, tif, tiff at least
}

// The extensions the program writes, checked by the files' own first bytes rather than by the table.
TEST(OutputNames, TheExtensionChoosesTheFormatByItsSignature) {
    TempDir dir;
    const ImagePtr image = smallPicture();
    const struct {
        const char* name;
        std::string signature;
    } cases[] = {
        {"x.PNG", "\x89PNG"},     {"x.JpEg", "\xFF\xD8\xFF"}, {"x.jpg", "\xFF\xD8\xFF"}, {"x.WebP", "RIFF"},
        {"x.pam", "P7\n"},        {"x.PPM", "P6\n"},          {"x.pGm", "P5\n"},         {"x.tif", "II*"},
        {"a.b.c.png", "\x89PNG"}, {"x.tga.png", "\x89PNG"},
    };
    for (const auto& c : cases) {
        const std::string bytes = written(*image, dir / c.name);
        EXPECT_EQ(bytes.substr(0, c.signature.size()), c.signature) << c.name;
    }
}

// A prefix wins over the extension, and every name without a writing format's extension is written as TGA
// byte for byte as the tga: prefix writes it.
TEST(OutputNames, APrefixWinsAndEveryOtherNameIsTga) {
    TempDir dir;
    const ImagePtr image = smallPicture();
    const std::string tga = written(*image, dir / "reference", "tga:");
    ASSERT_EQ(tga.substr(1, 2), std::string("\0\x02", 2)); // an uncompressed true-colour TGA header
    fs::create_directory(dir / "folder.png");
    fs::create_directory(dir / "x.jpg");
    const struct {
        const char* prefix;
        const char* name;
    } cases[] = {
        {"tga:", "out.png"},  {"TGA:", "out.JPG"},    {"", "out.tga"},     {"", "OUT.TGA"},
        {"", "no_extension"}, {"", "out.xyz"},        {"", "out.gif"},     {"", "out.bmp"},
        {"", "out.pnm"},      {"", "out.png.bak"},    {"", "out."},        {"", ".png"},
        {"", ".JPG"},         {"", "folder.png/out"}, {"", "x.jpg/.webp"}, {"", "out.jpg85"},
        {"", "out.png "},     {"", "out. png"},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(written(*image, dir / c.name, c.prefix) == tga) << c.prefix << c.name;
    // A prefix of another format wins over the extension too.
    EXPECT_EQ(written(*image, dir / "y.jpg", "png:").substr(0, 4), "\x89PNG");
    EXPECT_EQ(written(*image, dir / "y.png", "pam:").substr(0, 3), "P7\n");
}

// The extension gives the format's default quality, as its bare prefix does; a quality is given only by a
// prefix.
TEST(OutputNames, TheExtensionGivesTheDefaultQuality) {
    TempDir dir;
    const ImagePtr image = smallPicture();
    const std::string jpeg90 = written(*image, dir / "q90", "jpg90:");
    EXPECT_TRUE(written(*image, dir / "x.jpg") == jpeg90);
    EXPECT_FALSE(written(*image, dir / "q50", "jpg50:") == jpeg90);
    EXPECT_TRUE(written(*image, dir / "y.webp") == written(*image, dir / "lossless", "webp:"));
    EXPECT_FALSE(written(*image, dir / "y.webp") == written(*image, dir / "lossy", "webp90:"));
}

// A quality out of range in a prefix is still refused, whatever the extension says.
TEST(OutputNames, AQualityOutOfRangeIsRefusedBeforeTheExtensionCounts) {
    TempDir dir;
    const ImagePtr image = smallPicture();
    for (const char* prefix : {"jpg0:", "JPEG101:", "webp000:"}) {
        const std::string name = prefix + (dir / "x.jpg").string();
        EXPECT_EQ(saveImageFile(name.c_str(), *image), "quality must be 1 to 100") << name;
    }
    EXPECT_FALSE(fs::exists(dir / "x.jpg"));
}

} // namespace

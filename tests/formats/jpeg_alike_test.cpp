// JPEG files written back as they came: the quality of a JPEG read, estimated from its quantisation tables,
// is reused when a JPEG is written without one (and carried through the verbs that keep an image's
// metadata), and a grey image is written with a single component.

#include "formats/icc_profile.h"
#include "formats/image_file.h"
#include "tests/support/exec.h"
#include "tests/support/icc_profiles.h"
#include "tests/support/jpeg_files.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

ImagePtr decoded(const Bytes& file) {
    LoadResult r = decodeImageFile(file.data(), file.size());
    EXPECT_NE(r.image, nullptr) << r.reason;
    return std::move(r.image);
}

Bytes fileBytes(const fs::path& path) {
    const std::string s = readFile(path);
    return Bytes(s.begin(), s.end());
}

// Writes `image` under `name` in `dir` and returns the file's bytes.
Bytes written(const Image& image, const fs::path& dir, const std::string& name) {
    const fs::path path = dir / name.substr(name.find(':') + 1);
    const std::string full = name.find(':') == std::string::npos
                                 ? path.string()
                                 : name.substr(0, name.find(':') + 1) + path.string();
    EXPECT_EQ(saveImageFile(full.c_str(), image), "") << name;
    return fileBytes(path);
}

// The quality of files made with the standard tables comes back exactly, for every kind of file and
// across the whole range, including the ends where the tables are held to 1 and to 255.
TEST(JpegAlike, TheQualityOfAFileIsEstimatedFromItsTables) {
    for (const JpegKind kind :
         {JpegKind::Colour420, JpegKind::Colour444, JpegKind::Grey, JpegKind::Progressive, JpegKind::Cmyk}) {
        for (const int quality : {1, 10, 25, 49, 50, 51, 75, 85, 90, 95, 99, 100}) {
            const ImagePtr image = decoded(makeJpeg(kind, 24, 16, quality));
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(image->sourceQuality, quality) << "kind " << static_cast<int>(kind);
        }
    }
}

// Files of other formats bring no quality.
TEST(JpegAlike, OtherFormatsBringNoQuality) {
    TempDir dir;
    const ImagePtr image = positionImage(5, 4);
    for (const char* name : {"png:x.png", "webp:x.webp", "webp70:y.webp", "tga:x.tga", "pam:x.pam"}) {
        const Bytes file = written(*image, dir.path(), name);
        EXPECT_EQ(decoded(file)->sourceQuality, 0) << name;
    }
}

// Written as JPEG without a quality, an image read from a JPEG keeps the file's quality; a quality in the
// name wins, other formats are not touched, and an image from elsewhere gets the default, 90.
TEST(JpegAlike, AJpegIsWrittenBackAtItsOwnQuality) {
    TempDir dir;
    for (const int quality : {50, 75, 85, 95}) {
        const ImagePtr image = decoded(makeJpeg(JpegKind::Colour420, 40, 24, quality));
        ImagePtr plain = cloneImage(*image);
        plain->sourceQuality = 0;
        const Bytes atSource = written(*plain, dir.path(), "jpg" + std::to_string(quality) + ":ref.jpg");
        for (const char* name : {"again.jpg", "AGAIN.JPEG", "jpg:again", "JPEG:again.png"})
            EXPECT_TRUE(written(*image, dir.path(), name) == atSource) << name << " at " << quality;
        EXPECT_EQ(decoded(atSource)->sourceQuality, quality);
        EXPECT_TRUE(written(*image, dir.path(), "jpg90:given.jpg") ==
                    written(*plain, dir.path(), "jpg:default.jpg"));
        EXPECT_TRUE(written(*image, dir.path(), "webp:x.webp") == written(*plain, dir.path(), "webp:y.webp"));
        EXPECT_TRUE(written(*image, dir.path(), "x.png") == written(*plain, dir.path(), "y.png"));
    }
    const ImagePtr fromPng = decoded(written(*positionImage(9, 7), dir.path(), "p.png"));
    EXPECT_TRUE(written(*fromPng, dir.path(), "a.jpg") == written(*fromPng, dir.path(), "jpg90:b.jpg"));
}

// The quality goes with the image through the verbs that keep its metadata and through copy; an image a
// verb makes afresh (blank) has none.
TEST(JpegAlike, TheQualityIsCarriedAsTheMetadataIs) {
    const struct {
        const char* line;
        int variable;
        int quality;
    } cases[] = {
        {"blur a 3", 0, 75},    {"crop a 1 1 3 3", 0, 75}, {"resize a 2 1", 0, 75},
        {"rotate a 30", 0, 75}, {"opaque a", 0, 75},       {"composite a over b 1 1", 1, 40},
        {"copy a b", 1, 75},    {"copy b a", 0, 40},       {"blank a 3 3", 0, 0},
        {"copy c a", 0, 0},     {"desaturate a 1", 0, 75},
    };
    for (const auto& c : cases) {
        ScriptContext ctx;
        ctx.setImage(0, positionImage(6, 5));
        ctx.imageAt(0)->sourceQuality = 75;
        ctx.setImage(1, positionImage(4, 3));
        ctx.imageAt(1)->sourceQuality = 40;
        ctx.setImage(2, positionImage(2, 2));
        ASSERT_EQ(execLine(ctx, c.line).result, 0) << c.line;
        EXPECT_EQ(ctx.imageAt(c.variable)->sourceQuality, c.quality) << c.line;
    }
}

// Read, edited and written by a script: the file comes back at the quality it was read at.
TEST(JpegAlike, AScriptReSavesAJpegAtItsQuality) {
    TempDir dir;
    writeBytes((dir / "in.jpg").c_str(), makeJpeg(JpegKind::Colour420, 64, 48, 62));
    writeFile(dir / "s.script", "read a in.jpg\nblur a 3\nwrite a out.jpg\nblank b 4 4\nwrite b b.jpg\n");
    RunOptions options;
    options.workDir = dir.path();
    options.args = {"s.script"};
    const RunResult r = runChromaloom(options);
    EXPECT_EQ(afterStartUp(r.output), "");
    EXPECT_EQ(decoded(fileBytes(dir / "out.jpg"))->sourceQuality, 62);
    EXPECT_EQ(decoded(fileBytes(dir / "b.jpg"))->sourceQuality, 90);
}

// A grey image is written with one component, whatever its alpha; one pixel off grey, or an RGB profile,
// keeps three. A grey profile goes with the grey file, an RGB one with the colour file.
TEST(JpegAlike, AGreyImageIsWrittenWithOneComponent) {
    TempDir dir;
    const auto grey = [](std::uint32_t x, std::uint32_t y) {
        const auto v = static_cast<std::uint8_t>(x * 20 + y * 7);
        return Rgba{v, v, v, 255};
    };
    const ImagePtr opaqueGrey = makeImage(10, 6, grey);
    // Premultiplied: alpha 128 halves the grey, which stays grey.
    const ImagePtr translucentGrey = makeImage(10, 6, [&](std::uint32_t x, std::uint32_t y) {
        const auto v = static_cast<std::uint8_t>(grey(x, y)[0] / 2);
        return Rgba{v, v, v, static_cast<std::uint8_t>(x == 3 ? 0 : 128)};
    });
    std::vector<ImagePtr> offGrey;
    for (const int channel : {0, 1, 2}) {
        offGrey.push_back(cloneImage(*opaqueGrey));
        offGrey.back()->pixel(9, 5)[channel] ^= 1;
    }
    ImagePtr withGreyProfile = cloneImage(*opaqueGrey);
    withGreyProfile->metadata = makeMetadata(greyProfileBytes(), {}, {});
    ImagePtr withRgbProfile = cloneImage(*opaqueGrey);
    withRgbProfile->metadata = makeMetadata(srgbProfileBytes(), {}, {});
    const struct {
        const char* what;
        const Image* image;
        int components;
        IccSpace profile;
    } cases[] = {
        {"opaque grey", opaqueGrey.get(), 1, IccSpace::None},
        {"translucent grey", translucentGrey.get(), 1, IccSpace::None},
        {"red off", offGrey[0].get(), 3, IccSpace::None},
        {"green off", offGrey[1].get(), 3, IccSpace::None},
        {"blue off", offGrey[2].get(), 3, IccSpace::None},
        {"grey profile", withGreyProfile.get(), 1, IccSpace::Grey},
        {"RGB profile", withRgbProfile.get(), 3, IccSpace::Rgb},
    };
    for (const auto& c : cases) {
        const Bytes file = written(*c.image, dir.path(), "x.jpg");
        EXPECT_EQ(libraryDecode(file).components, c.components) << c.what;
        const ImagePtr back = decoded(file);
        EXPECT_EQ(iccColourSpace(back->metadata ? back->metadata->icc() : std::vector<std::uint8_t>{}),
                  c.profile)
            << c.what;
        if (c.components == 1 && c.image != translucentGrey.get()) { // the pixels survive within the loss
            for (std::uint32_t x = 0; x < 10; ++x)
                EXPECT_NEAR(back->pixel(x, 2)[0], c.image->pixel(x, 2)[0], 6) << c.what;
        }
    }
    // A grey JPEG read and written back stays one component.
    const Bytes again = written(*decoded(makeJpeg(JpegKind::Grey, 16, 8, 80)), dir.path(), "again.jpg");
    EXPECT_EQ(libraryDecode(again).components, 1);
}

} // namespace

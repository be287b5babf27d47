// Conversion to sRGB through an image's colour profile: the pixels Little CMS's own transform gives, the
// profile gone and the other blocks kept, and profiles that cannot serve refused with the image unchanged.

#include "colour/srgb.h"
#include "image/straight_colour.h"
#include "interpreter/command.h"
#include "tests/support/exec.h"
#include "tests/support/icc_profiles.h"

#include <cstring>
#include <gtest/gtest.h>
#include <lcms2.h>

Command& srgbCommand();

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
const Bytes xmp = {'<', 'x', '/', '>'};

// Colours all over the cube, with opaque, translucent and transparent pixels.
ImagePtr sample(bool grey) {
    return makeImage(37, 5, [grey](std::uint32_t x, std::uint32_t y) -> Rgba {
        const auto r = static_cast<std::uint8_t>(x * 7);
        const auto g = grey ? r : static_cast<std::uint8_t>(255 - x * 5 + y * 11);
        const auto b = grey ? r : static_cast<std::uint8_t>(x * y * 13);
        const std::uint8_t a = y == 0 ? 0 : y == 1 ? 77 : 255;
        return {premultiplyFormula(r, a), premultiplyFormula(g, a), premultiplyFormula(b, a), a};
    });
}

Bytes straight(const Image& image) {
    Bytes out(image.byteCount());
    straightenPixels(image.pixels.get(), std::size_t{image.width} * image.height, out.data(),
                     ChannelOrder::Rgba);
    return out;
}

// The library's own transform of the straight pixels to sRGB (perceptual, black points matched), or of
// each channel as a grey for a grey profile, premultiplied again.
Bytes expected(const Image& image, const Bytes& profile, bool grey) {
    cmsHPROFILE from = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    const cmsUInt32Number flags = cmsFLAGS_BLACKPOINTCOMPENSATION | (grey ? 0 : cmsFLAGS_COPY_ALPHA);
    cmsHTRANSFORM t = cmsCreateTransform(from, grey ? TYPE_GRAY_8 : TYPE_RGBA_8, srgb,
                                         grey ? TYPE_RGB_8 : TYPE_RGBA_8, INTENT_PERCEPTUAL, flags);
    const std::size_t n = std::size_t{image.width} * image.height;
    Bytes pixels = straight(image);
    Bytes mapped(pixels.size());
    if (grey) {
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t c = 0; c < 3; ++c) {
                std::uint8_t rgb[3];
                cmsDoTransform(t, &pixels[4 * i + c], rgb, 1);
                mapped[4 * i + c] = rgb[c];
            }
        for (std::size_t i = 0; i < n; ++i)
            mapped[4 * i + 3] = pixels[4 * i + 3];
    } else {
        cmsDoTransform(t, pixels.data(), mapped.data(), static_cast<cmsUInt32Number>(n));
    }
    cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    cmsCloseProfile(from);
    Bytes out(mapped.size());
    premultiplyPixels(mapped.data(), n, out.data(), ChannelOrder::Rgba);
    return out;
}

TEST(Srgb, ConvertsThroughTheProfileAndDropsItKeepingTheOtherBlocks) {
    struct Case {
        const char* name;
        Bytes profile;
        bool grey;
    };
    const Case cases[] = {{"wide RGB", wideRgbProfileBytes(), false}, {"grey", greyProfileBytes(), true}};
    for (const Case& c : cases) {
        for (bool greyPixels : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.name << (greyPixels ? ", grey pixels" : ""));
            ImagePtr image = sample(greyPixels);
            image->metadata = makeMetadata(c.profile, exif, xmp);
            const Bytes want = expected(*image, c.profile, c.grey);
            std::string reason;
            ASSERT_TRUE(convertToSrgb(*image, reason)) << reason;
            EXPECT_EQ(bytesOf(*image), want);
            EXPECT_NE(bytesOf(*image), bytesOf(*sample(greyPixels))); // the profile is not sRGB
            ASSERT_NE(image->metadata, nullptr);
            EXPECT_TRUE(image->metadata->icc().empty());
            EXPECT_EQ(image->metadata->exif(), exif);
            EXPECT_EQ(image->metadata->xmp(), xmp);
        }
    }
}

TEST(Srgb, AnSrgbProfileLeavesThePixelsWithinOneStepAndNoProfileLeavesThemAlone) {
    ImagePtr image = sample(false);
    image->metadata = makeMetadata(srgbProfileBytes(), {}, {});
    std::string reason;
    ASSERT_TRUE(convertToSrgb(*image, reason)) << reason;
    const Bytes before = bytesOf(*sample(false));
    const Bytes after = bytesOf(*image);
    for (std::size_t i = 0; i < before.size(); ++i)
        ASSERT_LE(std::abs(int{after[i]} - int{before[i]}), 1) << i;
    EXPECT_EQ(image->metadata, nullptr); // nothing else was carried

    ImagePtr plain = sample(false);
    plain->metadata = makeMetadata({}, exif, {});
    const ImageMetadata* kept = plain->metadata.get();
    ASSERT_TRUE(convertToSrgb(*plain, reason));
    EXPECT_EQ(bytesOf(*plain), before);
    EXPECT_EQ(plain->metadata.get(), kept);
}

TEST(Srgb, ProfilesThatCannotServeAreRefusedAndTheImageIsUnchanged) {
    Bytes garbage(300, 7);
    struct Case {
        const char* name;
        Bytes profile;
        const char* reason;
    };
    const Case cases[] = {
        {"not a profile", garbage, "the colour profile cannot be read"},
        {"CMYK", cmykProfileBytes(), "the colour profile is not of RGB or grey"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImagePtr image = sample(false);
        image->metadata = makeMetadata(c.profile, exif, {});
        const ImageMetadata* before = image->metadata.get();
        std::string reason;
        EXPECT_FALSE(convertToSrgb(*image, reason));
        EXPECT_EQ(reason, c.reason);
        EXPECT_EQ(bytesOf(*image), bytesOf(*sample(false)));
        EXPECT_EQ(image->metadata.get(), before);
    }
}

TEST(SrgbCommand, ReportsARefusalOnItsLine) {
    srgbCommand();
    ScriptContext ctx;
    ctx.setImage(0, sample(false));
    ctx.imageAt(0)->metadata = makeMetadata(Bytes(300, 7), {}, {});
    const Outcome refused = execLine(ctx, "srgb a");
    EXPECT_EQ(refused.result, 2);
    EXPECT_NE(refused.output.find("can't convert image! (the colour profile cannot be read)"),
              std::string::npos)
        << refused.output;
    ctx.imageAt(0)->metadata = makeMetadata(wideRgbProfileBytes(), {}, {});
    const Outcome done = execLine(ctx, "srgb a");
    EXPECT_EQ(done.result, 0) << done.output;
    EXPECT_EQ(ctx.imageAt(0)->metadata, nullptr);
}

} // namespace

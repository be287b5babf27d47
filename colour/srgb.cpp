#include "colour/srgb.h"

#include "colour/lcms_handles.h"
#include "image/straight_colour.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// Pixels converted at a time: straightened into one buffer, mapped into another, premultiplied back.
constexpr std::size_t blockPixels = 4096;

bool fail(std::string& reason, const char* text) {
    reason = text;
    return false;
}

// Maps the straight colour of every pixel through an RGB transform, alpha copied.
void convertRgb(Image& image, cmsHTRANSFORM transform) {
    std::vector<std::uint8_t> straight(4 * blockPixels);
    std::vector<std::uint8_t> mapped(4 * blockPixels);
    std::uint8_t* pixels = image.pixels.get();
    const std::size_t count = std::size_t{image.width} * image.height;
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(blockPixels, count - done);
        std::uint8_t* p = pixels + 4 * done;
        straightenPixels(p, n, straight.data(), ChannelOrder::Rgba);
        cmsDoTransform(transform, straight.data(), mapped.data(), static_cast<cmsUInt32Number>(n));
        premultiplyPixels(mapped.data(), n, p, ChannelOrder::Rgba);
        done += n;
    }
}

// Maps each channel's straight value as the grey it would be: red through the red of the sRGB colour of
// that grey, and so on. A grey pixel thus becomes the colour its grey maps to.
void convertGrey(Image& image, cmsHTRANSFORM transform) {
    std::array<std::uint8_t, 256> greys{};
    for (std::size_t i = 0; i < greys.size(); ++i)
        greys[i] = static_cast<std::uint8_t>(i);
    std::array<std::uint8_t, 3 * 256> colours{};
    cmsDoTransform(transform, greys.data(), colours.data(), 256);
    std::vector<std::uint8_t> straight(4 * blockPixels);
    std::uint8_t* pixels = image.pixels.get();
    const std::size_t count = std::size_t{image.width} * image.height;
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(blockPixels, count - done);
        std::uint8_t* p = pixels + 4 * done;
        straightenPixels(p, n, straight.data(), ChannelOrder::Rgba);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t c = 0; c < 3; ++c)
                straight[4 * i + c] = colours[3 * std::size_t{straight[4 * i + c]} + c];
        premultiplyPixels(straight.data(), n, p, ChannelOrder::Rgba);
        done += n;
    }
}

} // namespace

bool convertToSrgb(Image& image, std::string& reason) {
    if (image.metadata == nullptr || image.metadata->icc().empty())
        return true;
    const std::vector<std::uint8_t>& icc = image.metadata->icc();
    const MemoryReservation work(colour::transformBytes + 8 * blockPixels);
    const colour::Context context = colour::quietContext();
    const colour::Profile source(
        cmsOpenProfileFromMemTHR(context.get(), icc.data(), static_cast<cmsUInt32Number>(icc.size())));
    if (source == nullptr)
        return fail(reason, "the colour profile cannot be read");
    const cmsColorSpaceSignature space = cmsGetColorSpace(source.get());
    if (space != cmsSigRgbData && space != cmsSigGrayData)
        return fail(reason, "the colour profile is not of RGB or grey");
    const colour::Profile srgb(cmsCreate_sRGBProfileTHR(context.get()));
    const bool grey = space == cmsSigGrayData;
    const colour::Transform transform(
        srgb == nullptr ? nullptr
                        : cmsCreateTransformTHR(context.get(), source.get(), grey ? TYPE_GRAY_8 : TYPE_RGBA_8,
                                                srgb.get(), grey ? TYPE_RGB_8 : TYPE_RGBA_8, colour::intent,
                                                colour::flags | (grey ? 0 : cmsFLAGS_COPY_ALPHA)));
    if (transform == nullptr)
        return fail(reason, "the colour profile gives no conversion to sRGB");
    // The metadata without the profile is made first, so that a refusal of the budget leaves the image as
    // it was.
    MetadataPtr rest = makeMetadata({}, image.metadata->exif(), image.metadata->xmp());
    if (grey)
        convertGrey(image, transform.get());
    else
        convertRgb(image, transform.get());
    image.metadata = std::move(rest);
    return true;
}

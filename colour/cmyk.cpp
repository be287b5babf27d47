#include "colour/cmyk.h"

#include "colour/lcms_handles.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <cstring>

namespace {

// Pixels converted at a time, through a copy, so that the output may overwrite the input.
constexpr std::size_t blockPixels = 4096;

} // namespace

bool cmykToSrgb(const std::uint8_t* cmyk, std::size_t pixels, const std::vector<std::uint8_t>& profile,
                bool adobeInverted, std::uint8_t* rgbaOut) {
    const MemoryReservation tables(colour::transformBytes + 4 * blockPixels);
    const colour::Context context = colour::quietContext();
    const colour::Profile source(cmsOpenProfileFromMemTHR(context.get(), profile.data(),
                                                          static_cast<cmsUInt32Number>(profile.size())));
    if (source == nullptr || cmsGetColorSpace(source.get()) != cmsSigCmykData)
        return false;
    const colour::Profile srgb(cmsCreate_sRGBProfileTHR(context.get()));
    if (srgb == nullptr)
        return false;
    // TYPE_CMYK_8_REV reads 255 as no ink, as the Adobe marker stores it.
    const colour::Transform transform(
        cmsCreateTransformTHR(context.get(), source.get(), adobeInverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8,
                              srgb.get(), TYPE_RGBA_8, colour::intent, colour::flags));
    if (transform == nullptr)
        return false;
    std::vector<std::uint8_t> block(4 * blockPixels);
    for (std::size_t done = 0; done < pixels;) {
        const std::size_t n = std::min(blockPixels, pixels - done);
        std::memcpy(block.data(), cmyk + 4 * done, 4 * n);
        std::uint8_t* out = rgbaOut + 4 * done;
        cmsDoTransform(transform.get(), block.data(), out, static_cast<cmsUInt32Number>(n));
        for (std::size_t i = 0; i < n; ++i)
            out[4 * i + 3] = 255;
        done += n;
    }
    return true;
}

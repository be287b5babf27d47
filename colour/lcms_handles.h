#pragma once

#include <cstddef>
#include <lcms2.h>
#include <memory>
#include <type_traits>

// Little CMS objects, each released however the work with it ends. Every conversion runs in a context of
// its own, which reports nothing: a failure comes back as a null handle, and the caller gives its reason.
namespace colour {

struct ContextDeleter {
    void operator()(cmsContext c) const noexcept { cmsDeleteContext(c); }
};
struct ProfileDeleter {
    void operator()(void* p) const noexcept { cmsCloseProfile(p); }
};
struct TransformDeleter {
    void operator()(void* t) const noexcept { cmsDeleteTransform(t); }
};

using Context = std::unique_ptr<std::remove_pointer_t<cmsContext>, ContextDeleter>;
using Profile = std::unique_ptr<void, ProfileDeleter>;
using Transform = std::unique_ptr<void, TransformDeleter>;

// A context whose errors are not printed.
Context quietContext();

// How every conversion to sRGB maps colour: the perceptual intent with black-point compensation, which
// keeps the shadows of a profile whose black is not sRGB's black instead of clipping them, as photo tools
// do. A transform from a profile without perceptual tables (a matrix and curves) uses its colorimetric
// mapping, still with the black points matched.
inline constexpr cmsUInt32Number intent = INTENT_PERCEPTUAL;
inline constexpr cmsUInt32Number flags = cmsFLAGS_BLACKPOINTCOMPENSATION;

// The memory the library's tables of one transform may take, counted in the budget while it lives (a
// transform from four channels keeps a grid of samples, well under this).
inline constexpr std::size_t transformBytes = std::size_t{4} << 20;

} // namespace colour

#pragma once

#include "image/image.h"

#include <cstdint>
#include <cstring>

// Helpers for the verbs that build each result pixel by looking up a source position (rotate, warp).

// Truncates a sampling offset toward zero. An offset too large for any image side (or not a number) comes
// back as -2^62, which lies outside every image once a centre of at most 2^31 is added, so the caller's
// bounds test rejects it and the conversion itself never overflows.
inline std::int64_t truncateOffset(double offset) {
    constexpr double limit = 4611686018427387904.0; // 2^62
    if (!(offset > -limit && offset < limit))
        return -4611686018427387904LL;
    return static_cast<std::int64_t>(offset);
}

// Copies source pixel (sx, sy) to `out` when it lies inside the source, and writes transparent black
// otherwise, so that the result may start with its bytes unset.
inline void copyIfInside(const Image& source, std::int64_t sx, std::int64_t sy, std::uint8_t* out) {
    if (sx >= 0 && sx < std::int64_t{source.width} && sy >= 0 && sy < std::int64_t{source.height})
        std::memcpy(out, source.pixel(static_cast<std::uint32_t>(sx), static_cast<std::uint32_t>(sy)),
                    bytesPerPixel);
    else
        std::memset(out, 0, bytesPerPixel);
}

// The shortened value of pi that angles are converted with; results depend on its exact digits.
constexpr double anglePi = 3.14159265;

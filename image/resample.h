#pragma once

#include "image/image.h"

#include <algorithm>
#include <cstdint>
#include <vector>

// Resampling an image to another size with a Lanczos-3 filter on premultiplied colour, in whole numbers so
// that the same image and size give the same bytes on every machine.
//
// Each axis is handled on its own, rows first (every column to the new height), then columns; the rows pass
// works on whole rows at once, which is the cheaper way round when most of the shrinking happens in it. When
// an axis shrinks by 6 or more, it is first reduced by a whole factor f with a box (area) average: f is the
// largest whole number that leaves at least 3 source pixels per target pixel, f = source / (3 x target).
// Block k averages source pixels k*f .. k*f+f-1 (the last block takes what is left), so every source pixel
// counts however large the reduction. The Lanczos-3 filter then maps the reduced pixels to the target,
// stretched by the remaining scale when it shrinks (so that it never aliases), at its natural width when it
// enlarges.
//
// Rounding, the same at every step:
//   - a box average of n values whose sum is S is (S + n div 2) div n;
//   - a filtered value is the sum of weight x value with weights in units of 1/16384 that add up to exactly
//     16384, then (sum + 8192) >> 14 (floor division, also for a negative sum), clamped to 0..255;
//   - alpha is clamped to 0..255 first, then each colour value to 0..alpha, so that colour never exceeds
//     alpha (the lobes of the filter may overshoot at sharp edges).
// The rows pass stores its result in bytes, with the same clamping, before the columns pass reads it. An axis
// that keeps its size is not filtered.

struct FitSize {
    std::uint32_t width;
    std::uint32_t height;
    bool operator==(const FitSize&) const = default;
};

// The size of a width x height image scaled to fit inside boxWidth x boxHeight, keeping its aspect ratio, and
// never enlarged: an image already inside the box keeps its size. The side that meets the box takes the box's
// side; the other is the source's side times the same ratio, rounded to the nearest whole number (halves up)
// and at least 1. An image without pixels (a side 0) keeps its size.
inline FitSize fitInside(std::uint32_t width, std::uint32_t height, std::uint32_t boxWidth,
                         std::uint32_t boxHeight) {
    if (width == 0 || height == 0 || (width <= boxWidth && height <= boxHeight))
        return {width, height};
    const std::uint64_t w = width, h = height;
    // The width meets the box first when boxWidth / width <= boxHeight / height.
    if (std::uint64_t{boxWidth} * h <= std::uint64_t{boxHeight} * w) {
        const std::uint64_t side = (2 * h * boxWidth + w) / (2 * w);
        return {boxWidth, static_cast<std::uint32_t>(std::max<std::uint64_t>(side, 1))};
    }
    const std::uint64_t side = (2 * w * boxHeight + h) / (2 * h);
    return {static_cast<std::uint32_t>(std::max<std::uint64_t>(side, 1)), boxHeight};
}

// A new image of width x height (both at least 1) resampled from `source` (which has pixels) as described
// above. The same size gives a copy. The metadata is not carried over. Throws std::bad_alloc when the result
// or its working memory cannot be had.
ImagePtr resampleImage(const Image& source, std::uint32_t width, std::uint32_t height);

// How one axis of `sourceSize` pixels maps to `targetSize` pixels, as resampleImage computes it. Exposed for
// the tests' plain reference.
struct ResampleAxis {
    std::uint32_t factor = 1;  // the box reduction (1: none)
    std::uint32_t reduced = 0; // pixels after it: sourceSize / factor rounded up
    std::uint32_t taps = 0;    // weights per target pixel (the same count for each)
    // For target pixel i: the first reduced pixel it reads, and its `taps` weights (in 1/16384) from there;
    // first[i] + taps never exceeds `reduced`.
    std::vector<std::uint32_t> first;
    std::vector<std::int32_t> weights; // taps per target pixel, one after the other
};

// The axis map. Throws std::bad_alloc when its tables cannot be had.
ResampleAxis resampleAxis(std::uint32_t sourceSize, std::uint32_t targetSize);

// Units of the filter's weights: 1 << weightBits is a weight of 1.
inline constexpr int resampleWeightBits = 14;

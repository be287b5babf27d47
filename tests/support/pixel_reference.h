#pragma once

// The pixel verbs written out the plain way, pixel by pixel and channel by channel in floating point, with
// no tables and no integer shortcuts: what the verbs' faster code is checked against.

#include "image/image.h"

#include <array>
#include <cstdint>

namespace reference {

void darken(Image& image, float amount);
void dissolve(Image& image, float amount);
void desaturate(Image& image, float amount);
void opaque(Image& image);
void fill(Image& image, int x0, int y0, int x1, int y1, std::array<std::uint8_t, 4> value);
void chromakey(Image& image, std::array<std::uint8_t, 3> key);
// Float weights and accumulators, taps outside the image skipped, each sum divided by the weights used.
void blur(Image& image, int kernelSize);
// Walks A's columns from the left, each from the top, reading and writing as it goes; `top` and `bottom`
// may be the same image.
void compositeOver(const Image& top, Image& bottom, int x, int y);

// A new image: every pixel copies the source pixel its own position maps to, or is transparent black.
ImagePtr rotate(const Image& source, int degrees);
ImagePtr warp(const Image& source, int option);

// fit and scale's resampler, every result pixel on its own in double from the same weights: the box average
// of a reduced pixel, then the rows and the columns filtered, each sum settled as the resampler stores it.
ImagePtr resample(const Image& source, std::uint32_t width, std::uint32_t height);

} // namespace reference

namespace reference {

// One jittered stroke per anchor, texel by texel with a bounds test for each: two values of rand() a stroke.
void layStrokes(Image& canvas, const Image& source, const Image& brush);

} // namespace reference

#pragma once

#include "image/image.h"
#include "interpreter/script_context.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// What a command did with one line: its return value and everything it printed.
struct Outcome {
    int result = -1;
    std::string output;
};

// Tokenizes `line` like the runner and calls the command for its verb directly, so that the return value
// can be checked. The verb must exist and the token count must match.
Outcome execLine(ScriptContext& ctx, const std::string& line);

// Feeds `line` through the runner's dispatch (lookup, count check, memory guard) and returns the output.
std::string runLineCaptured(ScriptContext& ctx, const std::string& line);

// An image filled from a generator of pixel values: fn(x, y) returns {r, g, b, a}.
using Rgba = std::array<std::uint8_t, 4>;
template <typename Fn> ImagePtr makeImage(std::uint32_t width, std::uint32_t height, Fn fn) {
    ImagePtr image = createImage(width, height);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const Rgba p = fn(x, y);
            std::copy(p.begin(), p.end(), image->pixel(x, y));
        }
    return image;
}

// Every pixel names its own position: x and y modulo 256 in red and green, 17 + 16 (x div 256) + (y div 256)
// in blue, alpha 200. A result pixel so tells which source pixel it came from.
ImagePtr positionImage(std::uint32_t width, std::uint32_t height);

// The pixel of a position image at (x, y), for x and y below 256.
inline Rgba positionPixel(std::uint8_t x, std::uint8_t y) {
    return {x, y, 17, 200};
}

// Runs `line` (which must succeed without a word) on variable a holding a position image of the given size,
// and returns the result.
ImagePtr runOnPositionImage(std::uint32_t width, std::uint32_t height, const std::string& line);

// Runs `line` (which must succeed without a word) on variable a holding a single pixel p, and returns the
// resulting pixel.
Rgba applyTo(Rgba p, const std::string& line);

// A random pixel for the sampling verbs' comparisons with their plain mapping: a third of them transparent, a
// third opaque, the rest of any alpha, colour premultiplied.
Rgba mixedAlphaPixel(std::uint32_t random);

// Image sizes for those comparisons: every width from 1 to 40 (lane-width multiples and the rest) with
// heights around it, and thin images.
std::vector<std::pair<std::uint32_t, std::uint32_t>> mappingShapes();

inline Rgba pixelAt(const Image& image, std::uint32_t x, std::uint32_t y) {
    const std::uint8_t* p = image.pixel(x, y);
    return {p[0], p[1], p[2], p[3]};
}

// The lines a command printed.
inline std::size_t lineCount(const std::string& output) {
    return static_cast<std::size_t>(std::count(output.begin(), output.end(), '\n'));
}

inline std::vector<std::uint8_t> bytesOf(const Image& image) {
    return {image.pixels.get(), image.pixels.get() + image.byteCount()};
}

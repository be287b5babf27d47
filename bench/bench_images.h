#pragma once

// The images the benchmarks work on. The side defaults to 4096 (a 64 MiB image); CHROMALOOM_BENCH_SIDE in the
// environment overrides it, so that CI can run every benchmark once on a tiny image.

#include "image/image.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

inline std::uint32_t benchSide() {
    const char* text = std::getenv("CHROMALOOM_BENCH_SIDE");
    if (text == nullptr)
        return 4096;
    const long side = std::strtol(text, nullptr, 10);
    return side > 0 && side <= 65535 ? static_cast<std::uint32_t>(side) : 4096;
}

// Varied content and alpha: smooth gradients, a hard-edged pattern, and alphas from 0 to 255 (a quarter of
// the pixels opaque, a few fully transparent), stored premultiplied like every image.
inline ImagePtr variedImage(std::uint32_t width, std::uint32_t height) {
    ImagePtr image = createImage(width, height);
    std::uint32_t seed = 12345;
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* p = image->pixel(0, y);
        for (std::uint32_t x = 0; x < width; ++x, p += bytesPerPixel) {
            seed = seed * 1103515245u + 12345u;
            const std::uint32_t noise = seed >> 24;
            const std::uint32_t alpha = ((x / 64 + y / 64) % 4 == 0) ? 255u : (x * 7 + y * 3 + noise) % 256u;
            const std::uint32_t r = (x * 255 / (width > 1 ? width - 1 : 1) + noise) % 256u;
            const std::uint32_t g = (y * 255 / (height > 1 ? height - 1 : 1)) % 256u;
            const std::uint32_t b = ((x ^ y) & 32u) != 0 ? 230u : 20u;
            p[0] = static_cast<std::uint8_t>(r * alpha / 255);
            p[1] = static_cast<std::uint8_t>(g * alpha / 255);
            p[2] = static_cast<std::uint8_t>(b * alpha / 255);
            p[3] = static_cast<std::uint8_t>(alpha);
        }
    }
    return image;
}

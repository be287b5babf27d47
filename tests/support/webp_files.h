#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// WebP files built in memory with libwebp directly, for the reader's tests and the fuzz seeds. Pixels are
// straight RGBA, 4 bytes each, top row first.

using Bytes = std::vector<std::uint8_t>;

// quality 0: lossless, keeping the colour under alpha 0; 1..100: lossy, with an alpha channel when some
// pixel is not opaque.
Bytes makeWebp(const Bytes& rgba, unsigned width, unsigned height, int quality);

// An animation on a canvas of width x height: its first frame is `rgba` (lossless) at (x, y), which must
// be even, and a second, opaque red frame covers the whole canvas.
Bytes makeAnimatedWebp(unsigned width, unsigned height, const Bytes& rgba, unsigned frameWidth,
                       unsigned frameHeight, unsigned x, unsigned y);

// Pixels with gradients, noise, and every alpha from 0 to 255 when `translucent` (alpha 255 otherwise).
Bytes webpPattern(unsigned width, unsigned height, bool translucent);

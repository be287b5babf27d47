#include "image/orientation.h"

#include <cassert>
#include <cstring>

ImagePtr orientedImage(const Image& image, int orientation) {
    assert(orientation >= 2 && orientation <= 8);
    const std::uint32_t w = image.width;
    const std::uint32_t h = image.height;
    const bool swapsSides = orientation >= 5;
    ImagePtr out = createImageForOverwrite(swapsSides ? h : w, swapsSides ? w : h);
    const std::uint32_t outWidth = out->width;
    for (std::uint32_t y = 0; y < out->height; ++y) {
        std::uint8_t* row = out->pixel(0, y);
        for (std::uint32_t x = 0; x < outWidth; ++x) {
            // The stored pixel that shows at (x, y).
            std::uint32_t sx = x;
            std::uint32_t sy = y;
            switch (orientation) {
            case 2:
                sx = w - 1 - x;
                break;
            case 3:
                sx = w - 1 - x;
                sy = h - 1 - y;
                break;
            case 4:
                sy = h - 1 - y;
                break;
            case 5:
                sx = y;
                sy = x;
                break;
            case 6:
                sx = y;
                sy = h - 1 - x;
                break;
            case 7:
                sx = w - 1 - y;
                sy = h - 1 - x;
                break;
            default: // 8
                sx = w - 1 - y;
                sy = x;
                break;
            }
            std::memcpy(row + std::size_t{x} * bytesPerPixel, image.pixel(sx, sy), bytesPerPixel);
        }
    }
    return out;
}

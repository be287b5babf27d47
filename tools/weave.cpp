#include "tools/weave.h"

#include <array>

namespace {

constexpr std::uint32_t textureSide = 128;
constexpr std::uint32_t threadWidth = 4; // textureSide is an even number of threads, so the weave tiles

// A well-mixed 32-bit hash of a number: the fixed pseudo-randomness of the weave.
std::uint32_t mix(std::uint32_t v) {
    v ^= v >> 16;
    v *= 0x7feb352dU;
    v ^= v >> 15;
    v *= 0x846ca68bU;
    v ^= v >> 16;
    return v;
}

// Brightness across one thread, in thousandths: the edges fall into shadow, the crown catches the light.
constexpr std::array<int, threadWidth> threadProfile{780, 960, 1000, 860};

struct Colour {
    int r, g, b;
};
constexpr Colour warpColour{216, 202, 174}; // vertical threads
constexpr Colour weftColour{204, 192, 166}; // horizontal threads

int clampByte(int v) {
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

} // namespace

ImagePtr makeWeaveTexture() {
    ImagePtr texture = createImage(textureSide, textureSide);
    for (std::uint32_t y = 0; y < textureSide; ++y) {
        for (std::uint32_t x = 0; x < textureSide; ++x) {
            const std::uint32_t column = x / threadWidth;
            const std::uint32_t row = y / threadWidth;
            // Plain weave: the vertical thread lies on top where the thread indices add up to an even number.
            const bool warpOnTop = (column + row) % 2 == 0;
            const Colour base = warpOnTop ? warpColour : weftColour;
            const int across = threadProfile[warpOnTop ? x % threadWidth : y % threadWidth];
            // Every thread is a little lighter or darker than its neighbours (930..1049 thousandths).
            const int thread = 930 + static_cast<int>(mix(warpOnTop ? column : 1000 + row) % 120);
            // A fine grain of -6..+6 per pixel.
            const int grain = static_cast<int>(mix(y * textureSide + x + 7919) % 13) - 6;
            const auto shade = [&](int channel) {
                return clampByte(static_cast<int>(static_cast<long>(channel) * across * thread / 1000000) +
                                 grain);
            };
            std::uint8_t* p = texture->pixel(x, y);
            p[0] = static_cast<std::uint8_t>(shade(base.r));
            p[1] = static_cast<std::uint8_t>(shade(base.g));
            p[2] = static_cast<std::uint8_t>(shade(base.b));
            p[3] = 255;
        }
    }
    return texture;
}

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The 18-byte header at the start of every TGA file, fields little-endian. parse and encode are the one
// place that knows where each field sits; the reader, the writer and the tests all go through them.
struct TgaHeader {
    static constexpr std::size_t size = 18;
    using Bytes = std::array<std::uint8_t, size>;

    std::uint8_t idLength = 0;
    std::uint8_t colorMapType = 0;
    std::uint8_t imageType = 0;
    std::uint16_t firstEntryIndex = 0; // read but not used: entry 0 is always the first entry stored
    std::uint16_t colorMapLength = 0;
    std::uint8_t colorMapEntrySize = 0;
    std::uint16_t xOrigin = 0;
    std::uint16_t yOrigin = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint8_t pixelDepth = 0;
    std::uint8_t descriptor = 0;

    // Reads the fields from the first `size` bytes at b.
    static TgaHeader parse(const std::uint8_t* b) {
        auto u16 = [b](std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); };
        return TgaHeader{b[0],   b[1],    b[2],    u16(3),  u16(5), b[7],
                         u16(8), u16(10), u16(12), u16(14), b[16],  b[17]};
    }

    Bytes encode() const {
        Bytes b{};
        auto put16 = [&b](std::size_t at, std::uint16_t v) {
            b[at] = static_cast<std::uint8_t>(v);
            b[at + 1] = static_cast<std::uint8_t>(v >> 8);
        };
        b[0] = idLength;
        b[1] = colorMapType;
        b[2] = imageType;
        put16(3, firstEntryIndex);
        put16(5, colorMapLength);
        b[7] = colorMapEntrySize;
        put16(8, xOrigin);
        put16(10, yOrigin);
        put16(12, width);
        put16(14, height);
        b[16] = pixelDepth;
        b[17] = descriptor;
        return b;
    }
};

// Image types.
namespace TgaType {
enum : std::uint8_t {
    NoImage = 0,
    ColorMapped = 1,
    TrueColor = 2,
    Grayscale = 3,
    RunLengthColorMapped = 9,
    RunLengthTrueColor = 10,
    RunLengthGrayscale = 11,
};
} // namespace TgaType

// Image descriptor bits.
namespace TgaDescriptor {
inline constexpr std::uint8_t alphaBitsMask = 0x0F;
inline constexpr std::uint8_t rightToLeftBit = 0x10;
inline constexpr std::uint8_t topFirstBit = 0x20;
} // namespace TgaDescriptor

#pragma once

#include "tga/header.h"

#include "image/image.h"
#include "image/straight_colour.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

// The pixel formats of TGA files: how the values of a file become the 4 bytes of an image pixel.
//
// Each format converts one value (convertOne) and many values given as their bytes in the file
// (convertMany), and reports false for a value it cannot use (an index outside the colour map). The body
// decoder (tga/body_decoder.h) is a template over the format, so no call per pixel is indirect.
namespace tga {

using Rgba = std::array<std::uint8_t, bytesPerPixel>;

// A pixel value or colour-map entry is at most a 32-bit word: bytes of wider values beyond the fourth are
// read and dropped.
inline constexpr unsigned valueBytes = 4;

bool isGrey(const TgaHeader& h);

// How a pixel value (or colour-map entry) becomes premultiplied red, green, blue, alpha. The value is
// read as a word with blue in bits 0-7, green 8-15, red 16-23 and alpha 24-31, except for the 15/16-bit
// packings and grey.
enum class Conversion {
    Rgb555,    // 15-bit values, and 16-bit ones with exactly 1 alpha bit (that bit is ignored)
    Rgb565,    // other 16-bit values
    Opaque,    // 24-bit values, and 32-bit ones without alpha bits: alpha 255
    Word,      // the value as it stands, premultiplied by its own bits 24-31 (32-bit with alpha bits,
               // and every other width: an 8-bit value thus has alpha 0)
    Grey,      // grey types, 8 bits (and 16 bits without alpha bits): the low byte, opaque
    GreyAlpha, // grey types, 16 bits with alpha bits: grey in the low byte, alpha in the high one
};

// The conversion a file's header asks for.
Conversion chooseConversion(const TgaHeader& h);

// One value (or colour-map entry) converted by its conversion.
Rgba convertValue(Conversion conversion, std::uint32_t v);

// A value from its n bytes, little-endian; bytes beyond the fourth are dropped. A 2-byte value is
// sign-extended from 16 bits, which matters for colour-map indices (0x8000 and above are out of any map)
// and for widths whose conversion keeps the whole word.
inline std::uint32_t signExtendTwoBytes(std::uint32_t v, unsigned n) {
    return n == 2 ? (v ^ 0x8000u) - 0x8000u : v;
}
inline std::uint32_t valueFromBytes(const std::uint8_t* in, unsigned n) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n && i < valueBytes; ++i)
        v |= std::uint32_t{in[i]} << (8 * i);
    return signExtendTwoBytes(v, n);
}

// Values looked up in a table of their results: the colour map's converted entries, indexed by the value
// itself, or the results of every 1- or 2-byte value, indexed by its low 16 bits.
class TableFormat {
public:
    TableFormat(unsigned pixelBytes, std::vector<Rgba> table, std::uint32_t indexMask)
        : bytes(pixelBytes), values(std::move(table)), mask(indexMask) {}

    unsigned pixelBytes() const { return bytes; }

    bool convertOne(std::uint32_t v, std::uint8_t* out) const {
        v &= mask;
        if (v >= values.size())
            return false;
        std::memcpy(out, values[v].data(), bytesPerPixel);
        return true;
    }
    bool convertMany(const std::uint8_t* in, std::size_t n, std::uint8_t* out) const {
        for (std::size_t i = 0; i < n; ++i, in += bytes, out += bytesPerPixel)
            if (!convertOne(valueFromBytes(in, bytes), out))
                return false;
        return true;
    }

private:
    unsigned bytes;
    std::vector<Rgba> values;
    std::uint32_t mask;
};

// Values of any width converted one by one (widths other than 8, 16, 24 and 32 bits).
class PlainFormat {
public:
    PlainFormat(unsigned pixelBytes, Conversion c) : bytes(pixelBytes), conversion(c) {}

    unsigned pixelBytes() const { return bytes; }
    bool convertOne(std::uint32_t v, std::uint8_t* out) const {
        std::memcpy(out, convertValue(conversion, v).data(), bytesPerPixel);
        return true;
    }
    bool convertMany(const std::uint8_t* in, std::size_t n, std::uint8_t* out) const {
        for (std::size_t i = 0; i < n; ++i, in += bytes, out += bytesPerPixel)
            convertOne(valueFromBytes(in, bytes), out);
        return true;
    }

private:
    unsigned bytes;
    Conversion conversion;
};

// Blue, green, red in 3 or 4 bytes, opaque: a copy with red and blue exchanged and alpha 255.
template <unsigned Bytes> struct OpaqueFormat {
    unsigned pixelBytes() const { return Bytes; }
    bool convertOne(std::uint32_t v, std::uint8_t* out) const {
        out[0] = static_cast<std::uint8_t>(v >> 16);
        out[1] = static_cast<std::uint8_t>(v >> 8);
        out[2] = static_cast<std::uint8_t>(v);
        out[3] = 255;
        return true;
    }
    bool convertMany(const std::uint8_t* in, std::size_t n, std::uint8_t* out) const {
        std::size_t i = 0;
        if constexpr (std::endian::native == std::endian::little && Bytes == 3) {
            // Four pixels from three little-endian words: each pixel's blue-green-red gathered into the
            // low 24 bits of a word, then red and blue exchanged and alpha set.
            auto put = [](std::uint8_t* to, std::uint32_t bgr) {
                const std::uint32_t rgba =
                    ((bgr >> 16) & 0xFFu) | (bgr & 0xFF00u) | ((bgr & 0xFFu) << 16) | 0xFF000000u;
                std::memcpy(to, &rgba, 4);
            };
            for (; i + 4 <= n; i += 4, in += 12, out += 16) {
                std::uint32_t w[3];
                std::memcpy(w, in, 12);
                put(out, w[0]);
                put(out + 4, (w[0] >> 24) | (w[1] << 8));
                put(out + 8, (w[1] >> 16) | (w[2] << 16));
                put(out + 12, w[2] >> 8);
            }
        } else if constexpr (std::endian::native == std::endian::little) {
            for (; i < n; ++i, in += 4, out += 4) {
                std::uint32_t w;
                std::memcpy(&w, in, 4);
                w = ((w >> 16) & 0xFFu) | (w & 0xFF00u) | ((w & 0xFFu) << 16) | 0xFF000000u;
                std::memcpy(out, &w, 4);
            }
        }
        for (; i < n; ++i, in += Bytes, out += bytesPerPixel) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = 255;
        }
        return true;
    }
};

// Blue, green, red, alpha: colour premultiplied by alpha, as every file format's straight colour is.
struct AlphaFormat {
    const std::uint8_t* premultiply = straightColourTables().premultiply;

    unsigned pixelBytes() const { return valueBytes; }
    bool convertOne(std::uint32_t v, std::uint8_t* out) const {
        const std::uint8_t* row = premultiply + (v >> 24) * 256;
        out[0] = row[(v >> 16) & 255];
        out[1] = row[(v >> 8) & 255];
        out[2] = row[v & 255];
        out[3] = static_cast<std::uint8_t>(v >> 24);
        return true;
    }
    bool convertMany(const std::uint8_t* in, std::size_t n, std::uint8_t* out) const {
        premultiplyPixels(in, n, out, ChannelOrder::Bgra);
        return true;
    }
};

} // namespace tga

#pragma once

#include "formats/png_chunks.h"

#include "image/image.h"
#include "image/straight_colour.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

// The pixels of the common PNG files (8-bit samples): one unfiltered row of the file to one row of the
// image, through the palette and transparency the chunks before the image data gave.
namespace png {

using Rgba = std::array<std::uint8_t, bytesPerPixel>;

// What the chunks before the image data say about the pixels.
struct ColourTable {
    std::array<Rgba, 256> colours{}; // premultiplied
    std::size_t size = 0;
    bool hasKey = false; // grey and colour images: a transparent sample value
    std::array<std::uint16_t, 3> key{};
};

// One unfiltered row of the file to one row of the image.
class RowConverter {
public:
    RowConverter(const Header& header, const ColourTable& p) : h(header), palette(p) {
        if (h.colourType == png::GreyAlpha || h.colourType == png::RgbAlpha)
            straight.resize(std::size_t{h.width} * 4);
        if (h.colourType == png::Palette) {
            // The palette premultiplied once, by the same conversion as every pixel with alpha.
            std::array<Rgba, 256> straightColours = palette.colours;
            premultiplyPixels(straightColours[0].data(), palette.size, premultiplied[0].data(),
                              ChannelOrder::Rgba);
        }
    }

    // False when a palette index lies outside the palette.
    bool convert(const std::uint8_t* in, std::uint8_t* out) {
        const std::size_t w = h.width;
        switch (h.colourType) {
        case png::RgbAlpha:
            premultiplyPixels(in, w, out, ChannelOrder::Rgba);
            return true;
        case png::Rgb:
            rgbRow(in, out, w);
            return true;
        case png::Grey:
            greyRow(in, out, w);
            return true;
        case png::GreyAlpha:
            for (std::size_t x = 0; x < w; ++x)
                std::memcpy(straight.data() + 4 * x,
                            Rgba{in[2 * x], in[2 * x], in[2 * x], in[2 * x + 1]}.data(), 4);
            premultiplyPixels(straight.data(), w, out, ChannelOrder::Rgba);
            return true;
        default:
            return paletteRow(in, out, w);
        }
    }

private:
    // A pixel that matches the transparent value becomes transparent black, the premultiplied form of any
    // colour with alpha 0.
    bool isKey(std::uint8_t r, std::uint8_t g, std::uint8_t b) const {
        return palette.hasKey && palette.key[0] == r && palette.key[1] == g && palette.key[2] == b;
    }

    void rgbRow(const std::uint8_t* in, std::uint8_t* out, std::size_t w) const {
        for (std::size_t x = 0; x < w; ++x, in += 3, out += 4) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
            out[3] = 255;
        }
        if (palette.hasKey)
            clearKeyed(out - 4 * w, w);
    }

    void greyRow(const std::uint8_t* in, std::uint8_t* out, std::size_t w) const {
        for (std::size_t x = 0; x < w; ++x, out += 4)
            out[0] = out[1] = out[2] = in[x], out[3] = 255;
        if (palette.hasKey)
            clearKeyed(out - 4 * w, w);
    }

    void clearKeyed(std::uint8_t* row, std::size_t w) const {
        for (std::size_t x = 0; x < w; ++x, row += 4)
            if (isKey(row[0], row[1], row[2]))
                std::memset(row, 0, 4);
    }

    bool paletteRow(const std::uint8_t* in, std::uint8_t* out, std::size_t w) const {
        for (std::size_t x = 0; x < w; ++x, out += 4) {
            if (in[x] >= palette.size)
                return false;
            std::memcpy(out, premultiplied[in[x]].data(), 4);
        }
        return true;
    }

    const Header& h;
    const ColourTable& palette;
    std::array<Rgba, 256> premultiplied{};
    std::vector<std::uint8_t> straight;
};

} // namespace png

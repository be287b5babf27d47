#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// PNG files for the tests, made and read by the PNG library itself, so that the program's own reader and
// writer are checked against code they do not share.

struct PngLayout {
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    std::uint8_t colourType = 6; // 0 grey, 2 colour, 3 palette, 4 grey + alpha, 6 colour + alpha
    std::uint8_t depth = 8;
    bool interlaced = false;
    // The samples as the file stores them: rows of packed samples, 16-bit ones big-endian, each row
    // starting on a byte.
    std::vector<std::uint8_t> samples;
    std::vector<std::uint8_t> palette;      // red, green, blue per entry
    std::vector<std::uint8_t> paletteAlpha; // tRNS for palettes
    bool hasKey = false;                    // tRNS for grey and colour
    std::uint16_t key[3] = {};
};

// The bytes of one row of samples.
std::size_t pngRowBytes(const PngLayout& layout);

// The file the library writes for layout.
std::vector<std::uint8_t> encodeWithLibrary(const PngLayout& layout);

// The library's reading of a file: 8-bit red, green, blue, alpha per pixel (16-bit samples narrowed as the
// program documents, (v * 255 + 32767) / 65535), transparency applied, straight colour, top row first.
// Empty when the library refuses the file.
std::vector<std::uint8_t> decodeWithLibrary(const std::vector<std::uint8_t>& file);

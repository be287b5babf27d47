#pragma once

#include "image/metadata.h"
#include "system/pixel_memory.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// Every pixel is four bytes: red, green, blue, alpha.
inline constexpr std::size_t bytesPerPixel = 4;

// A fractional channel value stored into a byte: truncated toward zero, low 8 bits kept. Callers pass values
// that lie in 0..255 (plus rounding), for which the conversion is defined.
inline std::uint8_t truncToByte(double value) {
    return static_cast<std::uint8_t>(static_cast<int>(value));
}

// A raster of width x height pixels, 4 bytes each (red, green, blue, alpha), colour premultiplied by alpha.
// Rows are contiguous and row 0 is the top row; pixel (x, y) starts at byte (x + y * width) * 4.
struct Image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    PixelBuffer pixels;
    // The profile, EXIF and XMP the image carries; null when it carries none.
    MetadataPtr metadata;
    // The quality (1 to 100) of the lossy file the image was read from, so that writing it back in the same
    // format without a quality keeps it alike; 0 when none is known.
    int sourceQuality = 0;

    std::size_t byteCount() const { return std::size_t{width} * height * bytesPerPixel; }
    std::size_t rowBytes() const { return std::size_t{width} * bytesPerPixel; }
    std::uint8_t* pixel(std::uint32_t x, std::uint32_t y) {
        return pixels.get() + (std::size_t{y} * width + x) * bytesPerPixel;
    }
    const std::uint8_t* pixel(std::uint32_t x, std::uint32_t y) const {
        return pixels.get() + (std::size_t{y} * width + x) * bytesPerPixel;
    }
};
using ImagePtr = std::unique_ptr<Image>;

// The byte count of a width x height image, computed in 64 bits. Throws std::bad_alloc when it cannot be
// represented as a size. Every allocation of pixels goes through this check.
std::size_t imageByteCount(std::uint64_t width, std::uint64_t height);

// Image operations. Those that build an image throw std::bad_alloc when its memory cannot be obtained and
// never return a partly built image; the script runner turns that into a message for the current line.

// A new image whose every byte is 0 (transparent black).
ImagePtr createImage(std::uint32_t width, std::uint32_t height);

// A new image whose pixel bytes are left unset, for callers that write every byte before anything reads it.
// Cheaper than createImage for large images; fails the same way.
ImagePtr createImageForOverwrite(std::uint32_t width, std::uint32_t height);

// A new image that takes over `pixels`, which must hold width x height x 4 bytes.
ImagePtr adoptPixels(std::uint32_t width, std::uint32_t height, PixelBuffer pixels);

// Exchanges row i with row height-1-i, turning a top-first image into a bottom-first one and back.
void flipRows(Image& image);

// Sets every alpha byte to 255 and leaves the colour bytes as they are.
void setOpaque(Image& image);

// A new image of the same size with a byte-for-byte copy of the pixels, carrying the same metadata and
// source quality.
ImagePtr cloneImage(const Image& image);

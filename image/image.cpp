#include "image/image.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

std::size_t imageByteCount(std::uint64_t width, std::uint64_t height) {
    constexpr std::uint64_t maxBytes = std::numeric_limits<std::size_t>::max();
    if (width != 0 && height > maxBytes / 4 / width)
        throw std::bad_alloc();
    return static_cast<std::size_t>(width * height * 4);
}

ImagePtr createImage(std::uint32_t width, std::uint32_t height) {
    return adoptPixels(width, height, allocatePixels(imageByteCount(width, height), PixelFill::Zero));
}

ImagePtr createImageForOverwrite(std::uint32_t width, std::uint32_t height) {
    return adoptPixels(width, height, allocatePixels(imageByteCount(width, height), PixelFill::Unset));
}

ImagePtr adoptPixels(std::uint32_t width, std::uint32_t height, PixelBuffer pixels) {
    assert(pixels != nullptr);
    auto image = std::make_unique<Image>();
    image->width = width;
    image->height = height;
    image->pixels = std::move(pixels);
    return image;
}

void flipRows(Image& image) {
    const std::size_t rowBytes = image.rowBytes();
    if (image.height < 2 || rowBytes == 0)
        return;
    std::vector<std::uint8_t> spare(rowBytes);
    for (std::uint32_t top = 0, bottom = image.height - 1; top < bottom; ++top, --bottom) {
        std::uint8_t* a = image.pixel(0, top);
        std::uint8_t* b = image.pixel(0, bottom);
        std::memcpy(spare.data(), a, rowBytes);
        std::memcpy(a, b, rowBytes);
        std::memcpy(b, spare.data(), rowBytes);
    }
}

void setOpaque(Image& image) {
    const std::size_t bytes = image.byteCount();
    std::uint8_t* p = image.pixels.get();
    for (std::size_t i = 3; i < bytes; i += 4)
        p[i] = 255;
}

ImagePtr cloneImage(const Image& image) {
    ImagePtr copy = createImageForOverwrite(image.width, image.height);
    const std::size_t bytes = image.byteCount();
    if (bytes != 0)
        std::memcpy(copy->pixels.get(), image.pixels.get(), bytes);
    copy->metadata = image.metadata;
    copy->sourceQuality = image.sourceQuality;
    return copy;
}

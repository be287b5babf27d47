#include "tga/header.h"
#include "tga/tga.h"

#include "image/straight_colour.h"
#include "system/file_replacement.h"
#include "system/memory_budget.h"

#include <algorithm>

namespace {

// The fixed file layout: an 18-byte header for uncompressed true colour, 32 bits per pixel with 8 alpha
// bits and the first row at the bottom, then a 21-byte image-ID text, then the pixels as blue, green,
// red, alpha. Nothing follows the pixels. Every TGA file the program writes carries this same image-ID
// text (the brush file of paint included): readers skip it by its length, and files stay byte for byte
// what earlier versions wrote.
constexpr char imageIdText[] = "written with pixelkit";
constexpr std::size_t imageIdLength = sizeof imageIdText - 1;
constexpr std::uint8_t bitsPerPixel = 32;
constexpr std::uint8_t alphaBits = 8;

constexpr std::size_t chunkSize = std::size_t{1} << 20;

} // namespace

// Writes the whole file: header, image ID, then the rows bottom row first. The buffer holds at least one
// row (a row never exceeds a megabyte), and a small image needs no more than its file size.
bool encodeTga(const Image& image, int fd) {
    const std::size_t capacity = std::min(chunkSize, TgaHeader::size + imageIdLength + image.byteCount());
    const MemoryReservation reserved(capacity);
    OutputBuffer out(fd, capacity);
    TgaHeader h;
    h.idLength = static_cast<std::uint8_t>(imageIdLength);
    h.imageType = TgaType::TrueColor;
    h.width = static_cast<std::uint16_t>(image.width);
    h.height = static_cast<std::uint16_t>(image.height);
    h.pixelDepth = bitsPerPixel;
    h.descriptor = alphaBits; // origin bits 0: the first row is the bottom row, left to right
    const TgaHeader::Bytes header = h.encode();
    out.put(header.data(), header.size());
    out.put(imageIdText, imageIdLength);

    const std::size_t rowBytes = image.rowBytes();
    for (std::uint32_t row = image.height; row-- > 0;) {
        std::uint8_t* place = out.room(rowBytes);
        if (place == nullptr)
            return false;
        straightenPixels(image.pixel(0, row), image.width, place, ChannelOrder::Bgra);
        out.commit(rowBytes);
    }
    return out.flush();
}

WriteResult writeImage(const char* path, const Image& image) {
    // The header holds 16 bits of each side: a larger image would be written with a wrong size.
    if (image.width > maxTgaSide || image.height > maxTgaSide)
        return WriteResult::TooLarge;
    switch (replaceFile(path, [&image](int fd) { return encodeTga(image, fd); })) {
    case ReplaceResult::Ok:
        return WriteResult::Ok;
    case ReplaceResult::CannotOpen:
        TgaError = TgaCode::CannotOpenFile;
        return WriteResult::CannotOpen;
    case ReplaceResult::CannotWriteInPlace:
        return WriteResult::CannotWriteInPlace;
    case ReplaceResult::CannotWrite:
        break;
    }
    return WriteResult::CannotWrite;
}

#include "tga/convert.h"
#include "tga/header.h"
#include "tga/tga.h"

#include "system/file_replacement.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// The fixed file layout: an 18-byte header for uncompressed true colour, 32 bits per pixel with 8 alpha
// bits and the first row at the bottom, then a 21-byte image-ID text, then the pixels as blue, green,
// red, alpha. Nothing follows the pixels.
constexpr char imageIdText[] = "written with pixelkit";
constexpr std::size_t imageIdLength = sizeof imageIdText - 1;
constexpr std::uint8_t bitsPerPixel = 32;
constexpr std::uint8_t alphaBits = 8;

constexpr std::size_t chunkSize = std::size_t{1} << 20;

void convertPixel(const std::uint8_t* in, std::uint8_t* out, const ConversionTables& t) {
    const std::uint8_t alpha = in[3];
    if (alpha == 255) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    } else {
        const std::uint8_t* straight = t.straightColour + std::size_t{alpha} * 256;
        out[0] = straight[in[2]];
        out[1] = straight[in[1]];
        out[2] = straight[in[0]];
    }
    out[3] = t.straightAlpha[alpha];
}

// One row of the image converted back to straight colour in the file's channel order. Two opaque pixels
// at a time only exchange red and blue; the others go through the tables.
void convertRow(const std::uint8_t* in, std::uint8_t* out, std::uint32_t width, const ConversionTables& t) {
    std::uint32_t x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t alphas = 0xFF000000FF000000u;
        constexpr std::uint64_t greenAlpha = 0xFF00FF00FF00FF00u;
        constexpr std::uint64_t low = 0x000000FF000000FFu;
        for (; x + 2 <= width; x += 2, in += 8, out += 8) {
            std::uint64_t w;
            std::memcpy(&w, in, 8);
            if ((w & alphas) == alphas) {
                w = (w & greenAlpha) | ((w >> 16) & low) | ((w & low) << 16);
                std::memcpy(out, &w, 8);
            } else {
                convertPixel(in, out, t);
                convertPixel(in + 4, out + 4, t);
            }
        }
    }
    for (; x < width; ++x, in += 4, out += 4)
        convertPixel(in, out, t);
}

// Writes the whole file: header, image ID, then the rows bottom row first. The buffer holds at least one
// row (a row never exceeds a megabyte), and a small image needs no more than its file size.
bool writeTgaTo(int fd, const Image& image) {
    OutputBuffer out(fd, std::min(chunkSize, TgaHeader::size + imageIdLength + image.byteCount()));
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

    const ConversionTables& t = conversionTables();
    const std::size_t rowBytes = image.rowBytes();
    for (std::uint32_t row = image.height; row-- > 0;) {
        std::uint8_t* place = out.room(rowBytes);
        if (place == nullptr)
            return false;
        convertRow(image.pixel(0, row), place, image.width, t);
        out.commit(rowBytes);
    }
    return out.flush();
}

} // namespace

WriteResult writeImage(const char* path, const Image& image) {
    // The header holds 16 bits of each side: a larger image would be written with a wrong size.
    if (image.width > maxTgaSide || image.height > maxTgaSide)
        return WriteResult::TooLarge;
    switch (replaceFile(path, [&image](int fd) { return writeTgaTo(fd, image); })) {
    case ReplaceResult::Ok:
        return WriteResult::Ok;
    case ReplaceResult::CannotOpen:
        TgaError = TgaCode::CannotOpenFile;
        return WriteResult::CannotOpen;
    case ReplaceResult::CannotWrite:
        break;
    }
    return WriteResult::CannotWrite;
}

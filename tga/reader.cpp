#include "tga/body_decoder.h"
#include "tga/header.h"
#include "tga/pixel_formats.h"
#include "tga/tga.h"

#include "image/straight_colour.h"
#include "system/byte_source.h"
#include "system/memory_budget.h"

#include <cstdint>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

// Reading a TGA file: the header's checks, the colour map, then the pixel body in the format the header
// asks for (tga/pixel_formats.h, decoded by tga/body_decoder.h).

namespace {

using namespace tga;

// ---- Header and colour map ----

// The checks that come before the colour map, in the order the codes are reported: size, image-ID
// field, image type 0, and the colour map's description. The image-ID field is skipped on the way.
int checkHeader(const TgaHeader& h, ByteSource& source) {
    if (std::uint64_t{h.width} * h.height == 0)
        return TgaCode::ZeroSizeImage;
    if (h.idLength != 0 && !source.skip(h.idLength))
        return TgaCode::UnexpectedEndOfFile;
    if (h.imageType == TgaType::NoImage)
        return TgaCode::NoImageData;
    // The colour-map type alone decides whether pixel values are indices into a map.
    if (h.colorMapType != 0) {
        if (isGrey(h))
            return TgaCode::ColormapForGrayscale;
        const unsigned size = h.colorMapEntrySize;
        if (size != 15 && size != 16 && size != 24 && size != 32)
            return TgaCode::UnsupportedColormapEntrySize;
    }
    return TgaCode::NoError;
}

// The colour map's entries as stored, each widened to a little-endian word. Empty without a map.
bool readColourMap(const TgaHeader& h, ByteSource& source, std::vector<std::uint32_t>& entries) {
    if (h.colorMapType == 0)
        return true;
    const unsigned entryBytes = (h.colorMapEntrySize + 7u) / 8u;
    std::vector<std::uint8_t> raw(std::size_t{h.colorMapLength} * entryBytes);
    if (!source.readExactly(raw.data(), raw.size()))
        return false;
    entries.resize(h.colorMapLength);
    for (std::size_t k = 0; k < entries.size(); ++k)
        for (unsigned i = 0; i < entryBytes; ++i)
            entries[k] |= std::uint32_t{raw[k * entryBytes + i]} << (8 * i);
    return true;
}

bool isRunLength(std::uint8_t imageType) {
    return imageType == TgaType::RunLengthColorMapped || imageType == TgaType::RunLengthTrueColor ||
           imageType == TgaType::RunLengthGrayscale;
}

bool isKnownType(std::uint8_t imageType) {
    return isRunLength(imageType) || imageType == TgaType::ColorMapped || imageType == TgaType::TrueColor ||
           imageType == TgaType::Grayscale;
}

unsigned pixelBytesOf(const TgaHeader& h) {
    return h.pixelDepth == 0 ? 1u : (h.pixelDepth + 7u) / 8u;
}

// How the pixel data was decoded.
enum class Body {
    Whole,
    EndedEarly, // the missing pixels read as the conversion of 0
    BadIndex,   // a colour-map index outside the map
};

template <typename Format>
Body decodeBody(ByteSource& source, const Format& format, Image& image, const TgaHeader& h) {
    BodyDecoder<Format> decoder(source, format);
    if (!decoder.decode(image, h.descriptor, isRunLength(h.imageType)))
        return Body::BadIndex;
    return decoder.endedEarly() ? Body::EndedEarly : Body::Whole;
}

// Chooses the format for the file's values and decodes the pixels. A colour-mapped image converts each
// entry once; an index outside the map (a map of length 0 included) makes the file unreadable.
Body decodePixels(ByteSource& source, const TgaHeader& h, const std::vector<std::uint32_t>& colourMap,
                  Image& image) {
    const unsigned pixelBytes = pixelBytesOf(h);
    const Conversion conversion = chooseConversion(h);
    if (h.colorMapType != 0) {
        std::vector<Rgba> palette(colourMap.size());
        for (std::size_t k = 0; k < palette.size(); ++k)
            palette[k] = convertValue(conversion, colourMap[k]);
        return decodeBody(source, TableFormat(pixelBytes, std::move(palette), 0xFFFFFFFFu), image, h);
    }
    if (conversion == Conversion::Opaque && pixelBytes == 3)
        return decodeBody(source, OpaqueFormat<3>{}, image, h);
    if (conversion == Conversion::Opaque && pixelBytes == 4)
        return decodeBody(source, OpaqueFormat<4>{}, image, h);
    if (conversion == Conversion::Word && pixelBytes == 4)
        return decodeBody(source, AlphaFormat{}, image, h);
    // 1- and 2-byte values (grey, 15/16-bit colour) of an image with more pixels than there are values:
    // each value is converted once, into a table.
    const std::size_t valueCount = pixelBytes == 1 ? 256 : 65536;
    if (pixelBytes <= 2 && std::uint64_t{h.width} * h.height >= valueCount) {
        std::vector<Rgba> table(valueCount);
        for (std::uint32_t v = 0; v < valueCount; ++v)
            table[v] = convertValue(conversion, signExtendTwoBytes(v, pixelBytes));
        return decodeBody(source, TableFormat(pixelBytes, std::move(table), 0xFFFFu), image, h);
    }
    return decodeBody(source, PlainFormat(pixelBytes, conversion), image, h);
}

ImagePtr fail(int code) {
    TgaError = code;
    return nullptr;
}

// The fewest bytes the pixel data can take: every value for an uncompressed file; for a run-length file one
// packet of a header and a value for every 128 pixels.
std::uint64_t leastPixelBytes(const TgaHeader& h) {
    const std::uint64_t pixels = std::uint64_t{h.width} * h.height;
    const unsigned bytes = pixelBytesOf(h);
    return isRunLength(h.imageType) ? (pixels + 127) / 128 * (1 + bytes) : pixels * bytes;
}

// The tables the pixels are read through, counted in the budget before they are taken: the colour map as
// stored, widened to words and converted to pixels, and the conversion of every 1- or 2-byte value.
std::size_t tableBytes(const TgaHeader& h) {
    const std::size_t mapEntries = h.colorMapType != 0 ? h.colorMapLength : 0;
    const std::size_t entryBytes = (h.colorMapEntrySize + 7u) / 8u;
    return mapEntries * (entryBytes + sizeof(std::uint32_t) + sizeof(Rgba)) + 65536 * sizeof(Rgba);
}

ImagePtr decode(ByteSource& source, bool whole) {
    std::uint8_t raw[TgaHeader::size];
    if (!source.readExactly(raw, TgaHeader::size))
        return fail(TgaCode::BadImageHeader);
    const TgaHeader h = TgaHeader::parse(raw);
    if (const int code = checkHeader(h, source); code != TgaCode::NoError)
        return fail(code);
    const MemoryReservation tables(tableBytes(h));
    std::vector<std::uint32_t> colourMap;
    if (!readColourMap(h, source, colourMap))
        return fail(TgaCode::BadColormap);
    // An unknown type is noticed only once the colour map has been read.
    if (!isKnownType(h.imageType))
        return fail(TgaCode::UnknownImageType);
    // A file that must be whole and is too short for its pixels is refused before any pixel is allocated.
    if (whole && source.knownRemaining() < leastPixelBytes(h))
        return fail(TgaCode::UnexpectedEndOfFile);
    // Every pixel is written before the image is used, missing ones included.
    ImagePtr image = createImageForOverwrite(h.width, h.height);
    switch (decodePixels(source, h, colourMap, *image)) {
    case Body::BadIndex:
        return fail(TgaCode::BadColormap);
    case Body::EndedEarly:
        return whole ? fail(TgaCode::UnexpectedEndOfFile) : std::move(image);
    case Body::Whole:
        break;
    }
    return image;
}

// Closes a file descriptor when the read ends, however it ends.
struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
};

} // namespace

ImagePtr decodeTga(const std::uint8_t* data, std::size_t size) {
    ByteSource source(data, size);
    return decode(source, false);
}

ImagePtr decodeTga(ByteSource& source, bool whole) {
    return decode(source, whole);
}

ImagePtr loadImage(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(TgaCode::CannotOpenFile);
    FdCloser closer{fd};
    // Read in blocks straight from the descriptor; a pipe skips the image-ID field by reading it.
    const bool seekable = ::lseek(fd, 0, SEEK_CUR) != -1;
    ByteSource source(fd, seekable);
    ImagePtr image = decode(source, false);
    return source.failed() ? fail(TgaCode::CannotReadFromFile) : std::move(image);
}

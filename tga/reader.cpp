#include "tga/byte_source.h"
#include "tga/convert.h"
#include "tga/tga.h"

#include <array>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

int TgaError = TgaCode::NoError;

const char* tgaErrorMessage(std::uint32_t code) {
    static const char* const messages[] = {
        "no error",
        "bad image header",
        "cannot open file",
        "bad format argument",
        "unexpected end-of-file",
        "image contains no data",
        "found colormap for a grayscale image",
        "unsupported colormap entry size",
        "bad colormap",
        "cannot read from file",
        "unknown image type",
        "image has size 0 width or height (or both)",
    };
    return code < std::size(messages) ? messages[code] : "unknown error";
}

namespace {

// The 18-byte file header, fields little-endian.
struct TgaHeader {
    std::uint8_t idLength;
    std::uint8_t colorMapType;
    std::uint8_t imageType;
    std::uint16_t firstEntryIndex; // read but not used: entry 0 is always the first entry stored
    std::uint16_t colorMapLength;
    std::uint8_t colorMapEntrySize;
    std::uint16_t xOrigin;
    std::uint16_t yOrigin;
    std::uint16_t width;
    std::uint16_t height;
    std::uint8_t pixelDepth;
    std::uint8_t descriptor;
};
constexpr std::size_t headerSize = 18;

TgaHeader parseHeader(const std::uint8_t (&b)[headerSize]) {
    auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); };
    return TgaHeader{b[0], b[1], b[2], u16(3), u16(5), b[7], u16(8), u16(10), u16(12), u16(14), b[16], b[17]};
}

enum ImageType : std::uint8_t {
    NoImage = 0,
    ColorMapped = 1,
    TrueColor = 2,
    Grayscale = 3,
    RunLengthColorMapped = 9,
    RunLengthTrueColor = 10,
    RunLengthGrayscale = 11,
};

// Image descriptor bits.
constexpr std::uint8_t alphaBitsMask = 0x0F;
constexpr std::uint8_t rightToLeftBit = 0x10;
constexpr std::uint8_t topFirstBit = 0x20;

// Run-length packet header: bit 7 marks a run of one value, the low 7 bits hold the pixel count - 1.
constexpr std::uint8_t runPacketBit = 0x80;
constexpr std::uint8_t packetCountMask = 0x7F;

using Rgba = std::array<std::uint8_t, 4>;

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

Conversion chooseConversion(const TgaHeader& h, unsigned valueWidth, unsigned alphaBits) {
    const bool grey = h.imageType == Grayscale || h.imageType == RunLengthGrayscale;
    if (grey && h.pixelDepth == 8)
        return Conversion::Grey;
    if (grey && h.pixelDepth == 16)
        return alphaBits != 0 ? Conversion::GreyAlpha : Conversion::Grey;
    switch (valueWidth) {
    case 15:
        return Conversion::Rgb555;
    case 16:
        return alphaBits == 1 ? Conversion::Rgb555 : Conversion::Rgb565;
    case 24:
        return Conversion::Opaque;
    case 32:
        return alphaBits != 0 ? Conversion::Word : Conversion::Opaque;
    default:
        return Conversion::Word;
    }
}

// Places the file's pixels, taken in file order, into a top-row-first image according to the origin in
// the descriptor. The caller never puts more pixels than the image holds.
class PixelPlacer {
public:
    PixelPlacer(Image& target, std::uint8_t descriptor)
        : image(target), rightToLeft((descriptor & rightToLeftBit) != 0),
          topFirst((descriptor & topFirstBit) != 0), step(rightToLeft ? -4 : 4) {
        startRow();
    }

    void put(const Rgba& p) {
        std::memcpy(cursor, p.data(), 4);
        cursor += step;
        if (--leftInRow == 0) {
            ++fileRow;
            if (fileRow < image.height)
                startRow();
        }
    }

private:
    void startRow() {
        const std::uint32_t y = topFirst ? fileRow : image.height - 1 - fileRow;
        cursor = image.pixel(rightToLeft ? image.width - 1 : 0, y);
        leftInRow = image.width;
    }

    Image& image;
    const bool rightToLeft;
    const bool topFirst;
    const std::ptrdiff_t step;
    std::uint32_t fileRow = 0;
    std::uint32_t leftInRow = 0;
    std::uint8_t* cursor = nullptr;
};

// Decodes `count` pixels with `pixel(source, rgba)`, which reads one value and converts it, returning
// false when the value cannot be used. Run-length packets may cross row ends; a packet that runs past
// the last pixel is cut there and the rest of it is never read.
template <typename PixelFn>
bool decodePixels(ByteSource& source, bool runLength, std::uint64_t count, PixelPlacer& out,
                  const PixelFn& pixel) {
    Rgba p{};
    if (!runLength) {
        for (std::uint64_t n = 0; n < count; ++n) {
            if (!pixel(source, p))
                return false;
            out.put(p);
        }
        return true;
    }
    for (std::uint64_t n = 0; n < count;) {
        const std::uint8_t header = source.packetHeader();
        const std::uint64_t k = std::min<std::uint64_t>((header & packetCountMask) + 1u, count - n);
        if ((header & runPacketBit) != 0) {
            if (!pixel(source, p))
                return false;
            for (std::uint64_t i = 0; i < k; ++i)
                out.put(p);
        } else {
            for (std::uint64_t i = 0; i < k; ++i) {
                if (!pixel(source, p))
                    return false;
                out.put(p);
            }
        }
        n += k;
    }
    return true;
}

ImagePtr fail(int code) {
    TgaError = code;
    return nullptr;
}

ImagePtr decode(ByteSource& source) {
    std::uint8_t raw[headerSize];
    if (!source.readExactly(raw, headerSize))
        return fail(TgaCode::BadImageHeader);
    const TgaHeader h = parseHeader(raw);
    const std::uint64_t pixelCount = std::uint64_t{h.width} * h.height;
    if (pixelCount == 0)
        return fail(TgaCode::ZeroSizeImage);
    const unsigned alphaBits = h.descriptor & alphaBitsMask;
    if (h.idLength != 0 && !source.skip(h.idLength))
        return fail(TgaCode::UnexpectedEndOfFile);
    if (h.imageType == NoImage)
        return fail(TgaCode::NoImageData);

    // The colour-map type alone decides whether pixel values are indices into a map.
    const bool hasColorMap = h.colorMapType != 0;
    unsigned entryBytes = 0;
    std::vector<std::uint8_t> colorMap;
    if (hasColorMap) {
        if (h.imageType == Grayscale || h.imageType == RunLengthGrayscale)
            return fail(TgaCode::ColormapForGrayscale);
        const unsigned size = h.colorMapEntrySize;
        if (size != 15 && size != 16 && size != 24 && size != 32)
            return fail(TgaCode::UnsupportedColormapEntrySize);
        entryBytes = (size + 7) / 8;
        colorMap.resize(std::size_t{h.colorMapLength} * entryBytes);
        if (!source.readExactly(colorMap.data(), colorMap.size()))
            return fail(TgaCode::BadColormap);
    }

    bool runLength = false;
    switch (h.imageType) {
    case ColorMapped:
    case TrueColor:
    case Grayscale:
        break;
    case RunLengthColorMapped:
    case RunLengthTrueColor:
    case RunLengthGrayscale:
        runLength = true;
        break;
    default:
        return fail(TgaCode::UnknownImageType);
    }

    const unsigned pixelBytes = h.pixelDepth == 0 ? 1u : (h.pixelDepth + 7u) / 8u;
    const unsigned valueWidth = hasColorMap ? h.colorMapEntrySize : h.pixelDepth;
    const Conversion conversion = chooseConversion(h, valueWidth, alphaBits);

    ImagePtr image = createImage(h.width, h.height);
    PixelPlacer out(*image, h.descriptor);
    const ConversionTables& t = conversionTables();

    // Reads one pixel value; a 2-byte value is sign-extended from 16 bits, which matters for colour-map
    // indices (0x8000 and above are out of any map) and for widths whose conversion keeps the whole word.
    auto readValue = [pixelBytes](ByteSource& s) {
        std::uint32_t v = s.value(pixelBytes);
        if (pixelBytes == 2)
            v = (v ^ 0x8000u) - 0x8000u;
        return v;
    };

    // With alpha 255 premultiplication leaves every colour byte as it is, so the opaque conversions
    // skip it.
    auto run = [&](auto toRgba) {
        if (!hasColorMap)
            return decodePixels(source, runLength, pixelCount, out, [&](ByteSource& s, Rgba& p) {
                p = toRgba(readValue(s));
                return true;
            });
        // Each entry is converted once; a pixel then takes its entry's colour. An index outside the map
        // (a map of length 0 included) makes the file unreadable.
        std::vector<Rgba> palette(h.colorMapLength);
        for (std::size_t k = 0; k < palette.size(); ++k) {
            std::uint32_t entry = 0;
            for (unsigned i = 0; i < entryBytes; ++i)
                entry |= std::uint32_t{colorMap[k * entryBytes + i]} << (8 * i);
            palette[k] = toRgba(entry);
        }
        return decodePixels(source, runLength, pixelCount, out, [&](ByteSource& s, Rgba& p) {
            const std::uint32_t index = readValue(s);
            if (index >= palette.size())
                return false;
            p = palette[index];
            return true;
        });
    };
    auto premultiply = [&t](std::uint32_t c, std::uint32_t a) { return t.premultiply[a * 256 + c]; };

    bool ok = false;
    switch (conversion) {
    case Conversion::Rgb555:
        ok = run([&t](std::uint32_t v) {
            return Rgba{t.widen5[(v >> 10) & 31], t.widen5[(v >> 5) & 31], t.widen5[v & 31], 255};
        });
        break;
    case Conversion::Rgb565:
        ok = run([&t](std::uint32_t v) {
            return Rgba{t.widen5[(v >> 11) & 31], t.widen6[(v >> 5) & 63], t.widen5[v & 31], 255};
        });
        break;
    case Conversion::Opaque:
        ok = run([](std::uint32_t v) {
            return Rgba{static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
                        static_cast<std::uint8_t>(v), 255};
        });
        break;
    case Conversion::Word:
        ok = run([&premultiply](std::uint32_t v) {
            const std::uint32_t a = v >> 24;
            return Rgba{premultiply((v >> 16) & 255, a), premultiply((v >> 8) & 255, a),
                        premultiply(v & 255, a), static_cast<std::uint8_t>(a)};
        });
        break;
    case Conversion::Grey:
        ok = run([](std::uint32_t v) {
            const auto g = static_cast<std::uint8_t>(v);
            return Rgba{g, g, g, 255};
        });
        break;
    case Conversion::GreyAlpha:
        ok = run([&premultiply](std::uint32_t v) {
            const std::uint32_t a = (v >> 8) & 255;
            const std::uint8_t g = premultiply(v & 255, a);
            return Rgba{g, g, g, static_cast<std::uint8_t>(a)};
        });
        break;
    }
    if (!ok)
        return fail(TgaCode::BadColormap);
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
    return decode(source);
}

ImagePtr loadImage(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(TgaCode::CannotOpenFile);
    FdCloser closer{fd};
    // A pipe cannot skip the image-ID field, which the reader reports; everything else is read in
    // blocks straight from the descriptor.
    const bool seekable = ::lseek(fd, 0, SEEK_CUR) != -1;
    ByteSource source(fd, seekable);
    return decode(source);
}

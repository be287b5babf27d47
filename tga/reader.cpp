#include "tga/convert.h"
#include "tga/header.h"
#include "tga/tga.h"

#include "image/straight_colour.h"
#include "system/byte_source.h"

#include <algorithm>
#include <array>
#include <bit>
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

// Run-length packet header: bit 7 marks a run of one value, the low 7 bits hold the pixel count - 1.
constexpr std::uint8_t runPacketBit = 0x80;
constexpr std::uint8_t packetCountMask = 0x7F;

using Rgba = std::array<std::uint8_t, 4>;

// ---- Bytes past the end of the file ----
//
// A file may end anywhere. The header and colour map must be whole (readExactly and skip report their
// end); in the pixel data a value that is cut short is 0, even when some of its bytes were present, and a
// missing run-length packet header is 1 (a raw packet of two values).

// The next pixel value of n bytes (1 or more), little-endian; bytes beyond the fourth are read and
// dropped. 0 when the data ends inside it.
std::uint32_t nextValue(ByteSource& source, unsigned n) {
    if (source.available() >= n) {
        const std::uint8_t* p = source.data();
        std::uint32_t v = 0;
        const unsigned kept = n < 4 ? n : 4;
        for (unsigned i = 0; i < kept; ++i)
            v |= std::uint32_t{p[i]} << (8 * i);
        source.advance(n);
        return v;
    }
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) {
        if (source.available() == 0)
            return 0;
        if (i < 4)
            v |= std::uint32_t{*source.data()} << (8 * i);
        source.advance(1);
    }
    return v;
}

// The next run-length packet header, or 1 when the data has ended.
std::uint8_t nextPacketHeader(ByteSource& source) {
    if (source.available() == 0)
        return 1;
    const std::uint8_t header = *source.data();
    source.advance(1);
    return header;
}

bool isGrey(const TgaHeader& h) {
    return h.imageType == TgaType::Grayscale || h.imageType == TgaType::RunLengthGrayscale;
}

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

// ---- Pixel values to premultiplied RGBA ----

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

Conversion chooseConversion(const TgaHeader& h) {
    const unsigned alphaBits = h.descriptor & TgaDescriptor::alphaBitsMask;
    const unsigned valueWidth = h.colorMapType != 0 ? h.colorMapEntrySize : h.pixelDepth;
    if (isGrey(h) && h.pixelDepth == 8)
        return Conversion::Grey;
    if (isGrey(h) && h.pixelDepth == 16)
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

Rgba convertValue(Conversion conversion, std::uint32_t v) {
    const WidenTables& t = widenTables();
    const std::uint8_t* table = straightColourTables().premultiply;
    auto premultiply = [table](std::uint32_t c, std::uint32_t a) { return table[a * 256 + c]; };
    switch (conversion) {
    case Conversion::Rgb555:
        return Rgba{t.widen5[(v >> 10) & 31], t.widen5[(v >> 5) & 31], t.widen5[v & 31], 255};
    case Conversion::Rgb565:
        return Rgba{t.widen5[(v >> 11) & 31], t.widen6[(v >> 5) & 63], t.widen5[v & 31], 255};
    case Conversion::Opaque:
        return Rgba{static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
                    static_cast<std::uint8_t>(v), 255};
    case Conversion::Word: {
        // With alpha 255 premultiplication leaves every colour byte as it is.
        const std::uint32_t a = v >> 24;
        return Rgba{premultiply((v >> 16) & 255, a), premultiply((v >> 8) & 255, a), premultiply(v & 255, a),
                    static_cast<std::uint8_t>(a)};
    }
    case Conversion::Grey: {
        const auto g = static_cast<std::uint8_t>(v);
        return Rgba{g, g, g, 255};
    }
    case Conversion::GreyAlpha: {
        const std::uint32_t a = (v >> 8) & 255;
        const std::uint8_t g = premultiply(v & 255, a);
        return Rgba{g, g, g, static_cast<std::uint8_t>(a)};
    }
    }
    return Rgba{};
}

// A value from its n bytes, little-endian; bytes beyond the fourth are dropped. A 2-byte value is
// sign-extended from 16 bits, which matters for colour-map indices (0x8000 and above are out of any map)
// and for widths whose conversion keeps the whole word.
std::uint32_t signExtendTwoBytes(std::uint32_t v, unsigned n) {
    return n == 2 ? (v ^ 0x8000u) - 0x8000u : v;
}
std::uint32_t valueFromBytes(const std::uint8_t* in, unsigned n) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n && i < 4; ++i)
        v |= std::uint32_t{in[i]} << (8 * i);
    return signExtendTwoBytes(v, n);
}

// ---- Pixel formats: a value of the file to the 4 bytes of an image pixel ----
//
// Each format converts one value (convertOne) and many values given as their bytes in the file
// (convertMany), and reports false for a value it cannot use (an index outside the colour map). The body
// decoder is a template over the format, so no call per pixel is indirect.

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
        std::memcpy(out, values[v].data(), 4);
        return true;
    }
    bool convertMany(const std::uint8_t* in, std::size_t n, std::uint8_t* out) const {
        for (std::size_t i = 0; i < n; ++i, in += bytes, out += 4)
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
        std::memcpy(out, convertValue(conversion, v).data(), 4);
        return true;
    }
    bool convertMany(const std::uint8_t* in, std::size_t n, std::uint8_t* out) const {
        for (std::size_t i = 0; i < n; ++i, in += bytes, out += 4)
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
        for (; i < n; ++i, in += Bytes, out += 4) {
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

    unsigned pixelBytes() const { return 4; }
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

// ---- Pixel body ----

// Decodes the pixel data into an image, one file row at a time. Rows are filled left to right in file
// order and reversed afterwards when the file stores them right to left. A file that ends early gives
// value 0 for every missing value and 1 for every missing packet header; once the data has ended every
// remaining pixel is therefore the conversion of 0, which is filled in directly.
template <typename Format> class BodyDecoder {
public:
    BodyDecoder(ByteSource& s, const Format& f) : source(s), format(f) {}

    bool decode(Image& image, std::uint8_t descriptor, bool runLength) {
        const bool rightToLeft = (descriptor & TgaDescriptor::rightToLeftBit) != 0;
        const bool topFirst = (descriptor & TgaDescriptor::topFirstBit) != 0;
        for (std::uint32_t fileRow = 0; fileRow < image.height; ++fileRow) {
            std::uint8_t* row = image.pixel(0, topFirst ? fileRow : image.height - 1 - fileRow);
            if (!(runLength ? runLengthRow(row, image.width) : plainRow(row, image.width)))
                return false;
            if (rightToLeft)
                reversePixels(row, image.width);
        }
        return true;
    }

private:
    // The next value, 0 when it is cut short.
    std::uint32_t readValue() {
        const unsigned bytes = format.pixelBytes();
        return signExtendTwoBytes(nextValue(source, bytes), bytes);
    }

    // n pixels from n consecutive values.
    bool plainRow(std::uint8_t* out, std::size_t n) {
        const std::size_t bytes = format.pixelBytes();
        while (n > 0) {
            const std::size_t available = source.available();
            if (available == 0)
                return fill(out, n, 0);
            const std::size_t whole = std::min(n, available / bytes);
            if (whole == 0) { // a value that crosses the end of the buffered bytes, or is cut short
                if (!format.convertOne(readValue(), out))
                    return false;
                out += 4;
                --n;
                continue;
            }
            if (!format.convertMany(source.data(), whole, out))
                return false;
            source.advance(whole * bytes);
            out += whole * 4;
            n -= whole;
        }
        return true;
    }

    // n pixels of run-length data. Packets may cross row ends: a packet's remainder carries over to the
    // next row. Nothing is read beyond the last pixel.
    bool runLengthRow(std::uint8_t* out, std::size_t n) {
        while (n > 0) {
            if (left == 0) {
                if (source.available() == 0)
                    return fill(out, n, 0);
                const std::uint8_t header = nextPacketHeader(source);
                left = (header & packetCountMask) + 1u;
                isRun = (header & runPacketBit) != 0;
                if (isRun && !format.convertOne(readValue(), runPixel.data()))
                    return false;
            }
            const std::size_t k = std::min(left, n);
            if (isRun) {
                for (std::size_t i = 0; i < k; ++i)
                    std::memcpy(out + 4 * i, runPixel.data(), 4);
            } else if (!plainRow(out, k)) {
                return false;
            }
            out += 4 * k;
            n -= k;
            left -= k;
        }
        return true;
    }

    bool fill(std::uint8_t* out, std::size_t n, std::uint32_t value) {
        std::uint8_t pixel[4];
        if (!format.convertOne(value, pixel))
            return false;
        for (std::size_t i = 0; i < n; ++i)
            std::memcpy(out + 4 * i, pixel, 4);
        return true;
    }

    static void reversePixels(std::uint8_t* row, std::size_t n) {
        for (std::size_t i = 0, j = n - 1; i < j; ++i, --j) {
            std::uint8_t spare[4];
            std::memcpy(spare, row + 4 * i, 4);
            std::memcpy(row + 4 * i, row + 4 * j, 4);
            std::memcpy(row + 4 * j, spare, 4);
        }
    }

    ByteSource& source;
    const Format& format;
    std::size_t left = 0; // pixels left in the current run-length packet
    bool isRun = false;
    Rgba runPixel{};
};

template <typename Format>
bool decodeBody(ByteSource& source, const Format& format, Image& image, const TgaHeader& h) {
    return BodyDecoder<Format>(source, format).decode(image, h.descriptor, isRunLength(h.imageType));
}

// Chooses the format for the file's values and decodes the pixels. A colour-mapped image converts each
// entry once; an index outside the map (a map of length 0 included) makes the file unreadable.
bool decodePixels(ByteSource& source, const TgaHeader& h, const std::vector<std::uint32_t>& colourMap,
                  Image& image) {
    const unsigned pixelBytes = h.pixelDepth == 0 ? 1u : (h.pixelDepth + 7u) / 8u;
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

ImagePtr decode(ByteSource& source) {
    std::uint8_t raw[TgaHeader::size];
    if (!source.readExactly(raw, TgaHeader::size))
        return fail(TgaCode::BadImageHeader);
    const TgaHeader h = TgaHeader::parse(raw);
    if (const int code = checkHeader(h, source); code != TgaCode::NoError)
        return fail(code);
    std::vector<std::uint32_t> colourMap;
    if (!readColourMap(h, source, colourMap))
        return fail(TgaCode::BadColormap);
    // An unknown type is noticed only once the colour map has been read.
    if (!isKnownType(h.imageType))
        return fail(TgaCode::UnknownImageType);
    // Every pixel is written before the image is used, missing ones included.
    ImagePtr image = createImageForOverwrite(h.width, h.height);
    if (!decodePixels(source, h, colourMap, *image))
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

ImagePtr decodeTga(ByteSource& source) {
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
    ImagePtr image = decode(source);
    return source.failed() ? fail(TgaCode::CannotReadFromFile) : std::move(image);
}

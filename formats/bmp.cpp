// Reading BMP files. The headers and the colour table are read first, the pixel data is reached by its
// offset, and rows are then read one at a time (uncompressed) or decoded byte by byte (run-length encoded)
// into the image. Colour with alpha is kept straight in the image until the last row is in, since whether
// the alpha is real is only known then; it is premultiplied in place afterwards.

#include "formats/bmp.h"

#include "image/straight_colour.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

namespace {

constexpr char endsEarly[] = "BMP: file ends early";
constexpr char badHeader[] = "BMP: bad header";
constexpr char badSize[] = "BMP: bad size";
constexpr char badBitfields[] = "BMP: bad bitfields";
constexpr char badIndex[] = "BMP: bad colour index";
constexpr char unsupportedCompression[] = "BMP: unsupported compression";

constexpr std::size_t fileHeaderBytes = 14;
constexpr std::size_t headerSizeBytes = 4;
constexpr std::uint32_t coreHeader = 12;
constexpr std::uint32_t infoHeader = 40;
constexpr std::uint32_t os2Header = 64;
constexpr std::uint32_t knownHeaders[] = {coreHeader, infoHeader, 52, 56, os2Header, 108, 124};
constexpr std::uint32_t largestHeader = 124;
// Where the masks sit in the headers that hold them (52 bytes and longer), from the header's start.
constexpr std::size_t colourMasksAt = 40;
constexpr std::size_t alphaMaskAt = 52;

enum Compression : std::uint32_t {
    uncompressed = 0,
    rle8 = 1,
    rle4 = 2,
    bitfields = 3,
    alphaBitfields = 6,
};

constexpr std::size_t paletteLimit = 256;
// Masks of up to this many bits are scaled through a table; wider ones are computed pixel by pixel.
constexpr unsigned tabledMaskBits = 16;

std::uint32_t le16(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8;
}
std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// What the headers say, checked.
struct Header {
    std::uint32_t size = 0; // of the information header
    std::uint32_t dataOffset = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool topDown = false;
    unsigned bits = 0;
    std::uint32_t compression = uncompressed;
    std::uint32_t coloursUsed = 0;
    std::array<std::uint32_t, 4> masks{}; // red, green, blue, alpha
    bool customMasks = false;
};

// Reads and checks the file header and the information header, leaving the source after the latter.
bool readHeader(ByteSource& source, Header& h, std::string& reason) {
    std::array<std::uint8_t, fileHeaderBytes + largestHeader> bytes{};
    if (!source.readExactly(bytes.data(), fileHeaderBytes + headerSizeBytes)) {
        reason = endsEarly;
        return false;
    }
    h.size = le32(&bytes[fileHeaderBytes]);
    if (bytes[0] != 'B' || bytes[1] != 'M' ||
        std::find(std::begin(knownHeaders), std::end(knownHeaders), h.size) == std::end(knownHeaders)) {
        reason = badHeader;
        return false;
    }
    if (!source.readExactly(&bytes[fileHeaderBytes + headerSizeBytes], h.size - headerSizeBytes)) {
        reason = endsEarly;
        return false;
    }
    h.dataOffset = le32(&bytes[10]);
    const std::uint8_t* info = &bytes[fileHeaderBytes];
    if (h.size == coreHeader) {
        h.width = le16(info + 4);
        h.height = le16(info + 6);
        h.bits = le16(info + 10);
    } else {
        const auto width = static_cast<std::int32_t>(le32(info + 4));
        const auto height = static_cast<std::int32_t>(le32(info + 8));
        // A negative height is a top-down image; INT32_MIN has no positive counterpart and is refused.
        if (width <= 0 || height == 0 || height == INT32_MIN) {
            reason = badSize;
            return false;
        }
        h.width = static_cast<std::uint32_t>(width);
        h.topDown = height < 0;
        h.height = static_cast<std::uint32_t>(height < 0 ? -height : height);
        h.bits = le16(info + 14);
        h.compression = le32(info + 16);
        h.coloursUsed = le32(info + 32);
        // The OS/2 header holds other fields there, but its files never use masks.
        if (h.size >= colourMasksAt + 12)
            for (std::size_t c = 0; c < 3; ++c)
                h.masks[c] = le32(info + colourMasksAt + 4 * c);
        if (h.size >= alphaMaskAt + 4)
            h.masks[3] = le32(info + alphaMaskAt);
    }
    if (h.width == 0 || h.height == 0) {
        reason = badSize;
        return false;
    }
    return true;
}

// Checks the compression against the bit depth and reads the masks that follow a 40-byte header.
bool readCompression(ByteSource& source, Header& h, std::string& reason) {
    // OS/2 files know no masks: 3 and 4 name their Huffman and 24-bit run-length codings there.
    if (h.size == os2Header && h.compression != uncompressed && h.compression != rle8 &&
        h.compression != rle4) {
        reason = unsupportedCompression;
        return false;
    }
    switch (h.compression) {
    case uncompressed:
        if (h.bits != 1 && h.bits != 2 && h.bits != 4 && h.bits != 8 && h.bits != 16 && h.bits != 24 &&
            h.bits != 32) {
            reason = "BMP: unsupported bit depth";
            return false;
        }
        return true;
    case rle8:
    case rle4:
        if (h.bits != (h.compression == rle8 ? 8u : 4u)) {
            reason = badHeader;
            return false;
        }
        return true;
    case bitfields:
    case alphaBitfields: {
        if (h.bits != 16 && h.bits != 32) {
            reason = badHeader;
            return false;
        }
        h.customMasks = true;
        if (h.size != infoHeader)
            return true;
        const std::size_t count = h.compression == bitfields ? 3 : 4;
        std::array<std::uint8_t, 16> masks{};
        if (!source.readExactly(masks.data(), 4 * count)) {
            reason = endsEarly;
            return false;
        }
        for (std::size_t c = 0; c < count; ++c)
            h.masks[c] = le32(&masks[4 * c]);
        return true;
    }
    default:
        reason = unsupportedCompression;
        return false;
    }
}

// ---- Colour tables ----

struct Palette {
    std::array<std::array<std::uint8_t, 4>, paletteLimit> colours{};
    std::size_t count = 0;
};

// Reads the colour table between the headers and the pixel data: as many entries as the header names
// (all that the bit depth can index when it names none or more), but no more than fit before the pixels.
bool readPalette(ByteSource& source, const Header& h, std::uint64_t consumed, Palette& palette,
                 std::string& reason) {
    const std::size_t entryBytes = h.size == coreHeader ? 3 : 4;
    const std::size_t indexable = std::size_t{1} << h.bits;
    const std::size_t declared =
        h.coloursUsed == 0 || h.coloursUsed > indexable ? indexable : std::size_t{h.coloursUsed};
    const std::uint64_t room = (h.dataOffset - consumed) / entryBytes;
    palette.count = static_cast<std::size_t>(std::min<std::uint64_t>(declared, room));
    std::array<std::uint8_t, paletteLimit * 4> bytes{};
    if (!source.readExactly(bytes.data(), palette.count * entryBytes)) {
        reason = endsEarly;
        return false;
    }
    for (std::size_t i = 0; i < palette.count; ++i) {
        const std::uint8_t* e = &bytes[i * entryBytes];
        palette.colours[i] = {e[2], e[1], e[0], 255};
    }
    return true;
}

// ---- Masked samples ----

// One channel of a 16- or 32-bit pixel: where its bits are and how they become 8 bits, the nearest value
// (v * 255 + M / 2) / M for a maximum M.
struct Channel {
    std::uint32_t mask = 0;
    unsigned shift = 0;
    std::uint64_t maximum = 0;
    std::vector<std::uint8_t> table; // for masks of up to tabledMaskBits bits

    std::uint8_t operator()(std::uint32_t pixel) const {
        if (maximum == 0)
            return 0;
        const std::uint32_t v = (pixel & mask) >> shift;
        if (!table.empty())
            return table[v];
        return static_cast<std::uint8_t>((v * std::uint64_t{255} + maximum / 2) / maximum);
    }
};

// False when the mask is not one run of bits, or reaches beyond the pixel's bits.
bool makeChannel(std::uint32_t mask, unsigned pixelBits, Channel& channel) {
    channel.mask = mask;
    if (mask == 0)
        return true;
    if (pixelBits < 32 && mask >> pixelBits != 0)
        return false;
    channel.shift = static_cast<unsigned>(std::countr_zero(mask));
    const std::uint64_t run = std::uint64_t{mask} >> channel.shift;
    if ((run & (run + 1)) != 0)
        return false;
    channel.maximum = run;
    if (std::popcount(mask) <= static_cast<int>(tabledMaskBits)) {
        channel.table.resize(static_cast<std::size_t>(run) + 1);
        for (std::uint64_t v = 0; v <= run; ++v)
            channel.table[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>((v * 255 + run / 2) / run);
    }
    return true;
}

// Bytes of the table a mask is scaled through.
std::size_t tableBytes(std::uint32_t mask) {
    const int bits = std::popcount(mask);
    return bits > 0 && bits <= static_cast<int>(tabledMaskBits) ? std::size_t{1} << bits : 0;
}

// The masks a 16- or 32-bit image is read with: its own, or 5-5-5 and 8-8-8 without alpha.
std::array<std::uint32_t, 4> masksOf(const Header& h) {
    if (h.customMasks)
        return h.masks;
    return h.bits == 16 ? std::array<std::uint32_t, 4>{0x7C00, 0x03E0, 0x001F, 0}
                        : std::array<std::uint32_t, 4>{0xFF0000, 0xFF00, 0xFF, 0};
}

struct Channels {
    std::array<Channel, 4> c; // red, green, blue, alpha
    bool alpha = false;
};

bool makeChannels(const std::array<std::uint32_t, 4>& masks, unsigned bits, Channels& channels,
                  std::string& reason) {
    for (std::size_t i = 0; i < 4; ++i)
        if (!makeChannel(masks[i], bits, channels.c[i])) {
            reason = badBitfields;
            return false;
        }
    channels.alpha = masks[3] != 0;
    return true;
}

// ---- Pixels ----

// The image row that the file's n-th row of pixels fills.
std::uint32_t imageRow(const Header& h, std::uint64_t n) {
    return h.topDown ? static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(h.height - 1 - n);
}

// One uncompressed row to straight RGBA (opaque unless the image has an alpha mask). False on an index
// beyond the colour table.
bool convertRow(const Header& h, const Palette& palette, const Channels& channels, const std::uint8_t* in,
                std::uint8_t* out, std::uint8_t& alphaSeen) {
    const std::uint32_t width = h.width;
    switch (h.bits) {
    case 24:
        for (std::uint32_t x = 0; x < width; ++x, in += 3, out += 4) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = 255;
        }
        return true;
    case 16:
    case 32: {
        const std::size_t step = h.bits / 8;
        for (std::uint32_t x = 0; x < width; ++x, in += step, out += 4) {
            const std::uint32_t pixel = step == 2 ? le16(in) : le32(in);
            out[0] = channels.c[0](pixel);
            out[1] = channels.c[1](pixel);
            out[2] = channels.c[2](pixel);
            out[3] = channels.alpha ? channels.c[3](pixel) : 255;
            alphaSeen |= out[3];
        }
        return true;
    }
    default: {
        // 1, 2, 4 or 8 bits an index, the leftmost pixel in the high bits of its byte.
        const unsigned bits = h.bits;
        const unsigned perByte = 8 / bits;
        const unsigned low = (1u << bits) - 1;
        for (std::uint32_t x = 0; x < width; ++x, out += 4) {
            const unsigned shift = 8 - bits * (x % perByte + 1);
            const std::size_t index = (in[x / perByte] >> shift) & low;
            if (index >= palette.count)
                return false;
            std::memcpy(out, palette.colours[index].data(), 4);
        }
        return true;
    }
    }
}

bool readUncompressed(ByteSource& source, const Header& h, const Palette& palette, const Channels& channels,
                      Image& image, std::uint8_t& alphaSeen, std::string& reason) {
    const std::uint64_t used = (std::uint64_t{h.width} * h.bits + 7) / 8;
    const std::uint64_t stride = (std::uint64_t{h.width} * h.bits + 31) / 32 * 4;
    MemoryReservation reserved(static_cast<std::size_t>(used));
    std::vector<std::uint8_t> row(static_cast<std::size_t>(used));
    for (std::uint64_t n = 0; n < h.height; ++n) {
        // The padding after the last row may be missing; a missing one before it shows as a short row.
        if (!source.readExactly(row.data(), row.size())) {
            reason = endsEarly;
            return false;
        }
        source.skip(static_cast<std::size_t>(stride - used));
        if (!convertRow(h, palette, channels, row.data(), image.pixel(0, imageRow(h, n)), alphaSeen)) {
            reason = badIndex;
            return false;
        }
    }
    return true;
}

// Run-length encoded indices (8 or 4 bits), written into an image that starts transparent black.
class RunLengthReader {
public:
    RunLengthReader(ByteSource& from, const Header& header, const Palette& colours, Image& into)
        : source(from), h(header), palette(colours), image(into) {}

    bool read(std::string& reason) {
        const bool nibbles = h.compression == rle4;
        while (row < h.height) {
            std::uint8_t count = 0;
            std::uint8_t value = 0;
            if (!next(count) || !next(value)) {
                reason = endsEarly;
                return false;
            }
            if (count > 0) {
                // A run: one index repeated, or for 4 bits the byte's two indices in turn.
                const std::uint8_t first = nibbles ? static_cast<std::uint8_t>(value >> 4) : value;
                const std::uint8_t second = nibbles ? static_cast<std::uint8_t>(value & 0x0F) : value;
                for (unsigned i = 0; i < count; ++i)
                    if (!put(i % 2 == 0 ? first : second)) {
                        reason = badIndex;
                        return false;
                    }
                continue;
            }
            switch (value) {
            case 0: // end of line
                x = 0;
                ++row;
                break;
            case 1: // end of bitmap
                return true;
            case 2: { // move right and down
                std::uint8_t dx = 0;
                std::uint8_t dy = 0;
                if (!next(dx) || !next(dy)) {
                    reason = endsEarly;
                    return false;
                }
                x += dx;
                row += dy;
                break;
            }
            default: // that many indices as they are, padded to an even number of bytes
                if (!readLiteral(value, nibbles, reason))
                    return false;
                break;
            }
        }
        return true;
    }

private:
    bool next(std::uint8_t& byte) {
        if (source.available() == 0)
            return false;
        byte = *source.data();
        source.advance(1);
        return true;
    }

    // Pixels beyond the right edge are dropped.
    bool put(std::size_t index) {
        if (index >= palette.count)
            return false;
        if (x < h.width && row < h.height)
            std::memcpy(image.pixel(static_cast<std::uint32_t>(x), imageRow(h, row)),
                        palette.colours[index].data(), 4);
        ++x;
        return true;
    }

    bool readLiteral(unsigned count, bool nibbles, std::string& reason) {
        const unsigned bytes = nibbles ? (count + 1) / 2 : count;
        for (unsigned i = 0; i < bytes; ++i) {
            std::uint8_t byte = 0;
            if (!next(byte)) {
                reason = endsEarly;
                return false;
            }
            const bool ok = nibbles ? put(byte >> 4) && (2 * i + 1 >= count || put(byte & 0x0F)) : put(byte);
            if (!ok) {
                reason = badIndex;
                return false;
            }
        }
        std::uint8_t padding = 0;
        if (bytes % 2 != 0 && !next(padding)) {
            reason = endsEarly;
            return false;
        }
        return true;
    }

    ByteSource& source;
    const Header& h;
    const Palette& palette;
    Image& image;
    std::uint64_t x = 0;
    std::uint64_t row = 0; // in file order
};

// Straight colour with alpha, left in the image while it was read, premultiplied in place a row at a time.
void premultiplyInPlace(Image& image) {
    MemoryReservation reserved(image.rowBytes());
    std::vector<std::uint8_t> row(image.rowBytes());
    for (std::uint32_t y = 0; y < image.height; ++y) {
        std::memcpy(row.data(), image.pixel(0, y), row.size());
        premultiplyPixels(row.data(), image.width, image.pixel(0, y), ChannelOrder::Rgba);
    }
}

} // namespace

bool matchesBmp(const std::uint8_t* head, std::size_t size) {
    if (size < fileHeaderBytes + headerSizeBytes || head[0] != 'B' || head[1] != 'M')
        return false;
    const std::uint32_t headerSize = le32(head + fileHeaderBytes);
    return std::find(std::begin(knownHeaders), std::end(knownHeaders), headerSize) != std::end(knownHeaders);
}

ImagePtr decodeBmp(ByteSource& source, std::string& reason) {
    Header h;
    if (!readHeader(source, h, reason) || !readCompression(source, h, reason))
        return nullptr;
    std::uint64_t consumed = fileHeaderBytes + h.size;
    if (h.size == infoHeader && h.customMasks)
        consumed += h.compression == bitfields ? 12 : 16;
    if (h.dataOffset < consumed) {
        reason = badHeader;
        return nullptr;
    }
    Palette palette;
    if (h.bits <= 8) {
        if (!readPalette(source, h, consumed, palette, reason))
            return nullptr;
        consumed += palette.count * (h.size == coreHeader ? 3 : 4);
    }
    const std::array<std::uint32_t, 4> masks = masksOf(h);
    std::size_t tables = 0;
    if (h.bits == 16 || h.bits == 32)
        for (const std::uint32_t mask : masks)
            tables += tableBytes(mask);
    MemoryReservation reservedTables(tables);
    Channels channels;
    if ((h.bits == 16 || h.bits == 32) && !makeChannels(masks, h.bits, channels, reason))
        return nullptr;
    if (!source.skip(static_cast<std::size_t>(h.dataOffset - consumed))) {
        reason = endsEarly;
        return nullptr;
    }

    const bool runLength = h.compression == rle8 || h.compression == rle4;
    // Uncompressed pixels need every row but the last padding: a file known to be shorter is refused
    // before its image is allocated.
    if (!runLength) {
        const std::uint64_t stride = (std::uint64_t{h.width} * h.bits + 31) / 32 * 4;
        const std::uint64_t used = (std::uint64_t{h.width} * h.bits + 7) / 8;
        const std::uint64_t remaining = source.knownRemaining();
        if (used > remaining || (h.height > 1 && stride > (remaining - used) / (h.height - 1))) {
            reason = endsEarly;
            return nullptr;
        }
    }
    ImagePtr image = runLength ? createImage(h.width, h.height) : createImageForOverwrite(h.width, h.height);
    if (runLength) {
        RunLengthReader reader(source, h, palette, *image);
        return reader.read(reason) ? std::move(image) : nullptr;
    }
    std::uint8_t alphaSeen = 0;
    if (!readUncompressed(source, h, palette, channels, *image, alphaSeen, reason))
        return nullptr;
    if (channels.alpha) {
        if (alphaSeen == 0)
            setOpaque(*image);
        else
            premultiplyInPlace(*image);
    }
    return image;
}

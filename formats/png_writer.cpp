#include "formats/codecs.h"
#include "formats/icc_profile.h"
#include "formats/png_chunks.h"
#include "formats/png_filters.h"
#include "formats/png_metadata.h"

#include "image/straight_colour.h"
#include "system/file_replacement.h"
#include "system/memory_budget.h"

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

// PNG files are written with 8-bit samples in the smallest of grey, grey with alpha, colour and colour with
// alpha that holds the image exactly, not interlaced, with no chunks but the header, the image's metadata,
// the image data and the end. The metadata goes before the image data, in the order colour profile (iCCP),
// EXIF (eXIf), XMP (iTXt, uncompressed). A profile always describes the pixels written: an image with an RGB
// profile is written in colour even when every pixel is grey, a grey profile is kept only when the pixels
// are written as grey, and a profile of any other space is left out. Each row is filtered with the filter
// that makes its bytes smallest (png_filters.h), and the rows are compressed by a fast deflate (the ISA-L
// library's level 1) whose matches look back at most 4 bytes: on filtered photographs, repeats of a byte or
// of the pixel before carry nearly all there is to gain, and longer matches cost more bits than they save. On
// real pictures this gives files smaller than the common default of zlib's level 6 without filters, several
// times faster.

namespace {

constexpr int compressionLevel = 1;
constexpr int historyBits = 2;
// Image data is emitted in IDAT chunks of this size (the last one shorter).
constexpr std::size_t dataChunkSize = std::size_t{256} << 10;
constexpr std::size_t outputBufferSize = std::size_t{1} << 20;
// The compressor reads a little past the end of the input it is given; zeros there keep its choice of
// matches, and so the file's bytes, the same from run to run.
constexpr std::size_t compressorOverread = 64;

struct Layout {
    png::ColourType colourType;
    unsigned channels;
};

// Whether every pixel is opaque, and whether every pixel's straight colour is grey (red = green = blue).
Layout smallestLayout(const Image& image) {
    const StraightColourTables& t = straightColourTables();
    const std::uint8_t* p = image.pixels.get();
    const std::size_t n = std::size_t{image.width} * image.height;
    bool opaque = true;
    std::size_t i = 0;
    for (; i < n; ++i, p += 4) {
        const std::uint8_t a = p[3];
        const std::uint8_t* straight = t.straightColour + std::size_t{a} * 256;
        const std::uint8_t r = a == 255 ? p[0] : straight[p[0]];
        const std::uint8_t g = a == 255 ? p[1] : straight[p[1]];
        const std::uint8_t b = a == 255 ? p[2] : straight[p[2]];
        opaque = opaque && a == 255;
        if (r != g || g != b)
            break;
    }
    if (i == n)
        return opaque ? Layout{png::Grey, 1} : Layout{png::GreyAlpha, 2};
    for (; opaque && i < n; ++i, p += 4)
        opaque = p[3] == 255;
    return opaque ? Layout{png::Rgb, 3} : Layout{png::RgbAlpha, 4};
}

// The smallest layout, in colour where the image's profile is an RGB one.
Layout chooseLayout(const Image& image, IccSpace profile) {
    const Layout layout = smallestLayout(image);
    if (profile != IccSpace::Rgb)
        return layout;
    if (layout.colourType == png::Grey)
        return Layout{png::Rgb, 3};
    if (layout.colourType == png::GreyAlpha)
        return Layout{png::RgbAlpha, 4};
    return layout;
}

void writeChunk(OutputBuffer& out, std::uint32_t type, const std::uint8_t* data, std::size_t size) {
    std::uint8_t head[8];
    png::writeBigEndian32(head, static_cast<std::uint32_t>(size));
    png::writeBigEndian32(head + 4, type);
    std::uint8_t tail[4];
    png::writeBigEndian32(tail, png::crc32(png::crc32(0, head + 4, 4), data, size));
    out.put(head, sizeof head);
    out.put(data, size);
    out.put(tail, sizeof tail);
}

void writeHeader(OutputBuffer& out, const Image& image, const Layout& layout) {
    std::uint8_t data[png::ihdrSize] = {};
    png::writeBigEndian32(data, image.width);
    png::writeBigEndian32(data + 4, image.height);
    data[8] = 8; // bits per sample
    data[9] = layout.colourType;
    // compression method, filter method and interlacing: 0
    out.put(png::signature, png::signatureSize);
    writeChunk(out, png::IHDR, data, sizeof data);
}

// The zlib stream of the image data, compressed as the rows arrive and emitted as IDAT chunks.
class DataStream {
public:
    explicit DataStream(OutputBuffer& o)
        : out(o), stream(std::make_unique<isal_zstream>()), levelBuffer(ISAL_DEF_LVL1_DEFAULT),
          chunk(dataChunkSize) {
        isal_deflate_init(stream.get());
        stream->level = compressionLevel;
        stream->level_buf = levelBuffer.data();
        stream->level_buf_size = static_cast<std::uint32_t>(levelBuffer.size());
        stream->gzip_flag = IGZIP_ZLIB;
        stream->hist_bits = historyBits;
        stream->flush = NO_FLUSH;
        startChunk();
    }

    // Compresses n more bytes; `last` ends the stream. False when the compressor fails.
    bool add(const std::uint8_t* data, std::size_t n, bool last) {
        do {
            const std::size_t piece = std::min(n, inputStep);
            n -= piece;
            if (!compress(data, piece, last && n == 0))
                return false;
            data += piece;
        } while (n > 0);
        return true;
    }

private:
    // The compressor takes at most this much at a time (its counts are 32-bit).
    static constexpr std::size_t inputStep = std::size_t{1} << 30;

    bool compress(const std::uint8_t* data, std::size_t n, bool last) {
        stream->next_in = const_cast<std::uint8_t*>(data);
        stream->avail_in = static_cast<std::uint32_t>(n);
        stream->end_of_stream = last ? 1 : 0;
        while (stream->avail_in > 0 || (last && stream->internal_state.state != ZSTATE_END)) {
            if (isal_deflate(stream.get()) != COMP_OK)
                return false;
            if (stream->avail_out == 0)
                emitChunk();
        }
        if (last && stream->avail_out < chunk.size())
            emitChunk();
        return true;
    }

    void startChunk() {
        stream->next_out = chunk.data();
        stream->avail_out = static_cast<std::uint32_t>(chunk.size());
    }
    void emitChunk() {
        writeChunk(out, png::IDAT, chunk.data(), chunk.size() - stream->avail_out);
        startChunk();
    }

    OutputBuffer& out;
    std::unique_ptr<isal_zstream> stream;
    std::vector<std::uint8_t> levelBuffer;
    std::vector<std::uint8_t> chunk;
};

// One image row as the file's samples: straight colour, packed to the layout's channels. An opaque layout
// reads the image's bytes as they are, since straight colour equals stored colour at alpha 255.
class RowPacker {
public:
    RowPacker(const Image& i, const Layout& l) : image(i), layout(l), straight(i.rowBytes()) {}

    void pack(std::uint32_t y, std::uint8_t* out) {
        const std::uint8_t* in = image.pixel(0, y);
        if (layout.colourType == png::GreyAlpha || layout.colourType == png::RgbAlpha) {
            straightenPixels(in, image.width, straight.data(), ChannelOrder::Rgba);
            in = straight.data();
        }
        const std::size_t w = image.width;
        switch (layout.colourType) {
        case png::RgbAlpha:
            std::memcpy(out, in, 4 * w);
            break;
        case png::Rgb:
            for (std::size_t x = 0; x < w; ++x, in += 4, out += 3)
                std::memcpy(out, in, 3);
            break;
        case png::GreyAlpha:
            for (std::size_t x = 0; x < w; ++x, in += 4, out += 2)
                out[0] = in[0], out[1] = in[3];
            break;
        default:
            for (std::size_t x = 0; x < w; ++x, in += 4)
                *out++ = in[0];
            break;
        }
    }

private:
    const Image& image;
    const Layout& layout;
    std::vector<std::uint8_t> straight;
};

bool writeRows(OutputBuffer& out, const Image& image, const Layout& layout) {
    const std::size_t rowBytes = std::size_t{image.width} * layout.channels;
    std::vector<std::uint8_t> rows(2 * rowBytes); // this row and the one above, zeros above the first
    std::vector<std::uint8_t> filtered(rowBytes + 1 + compressorOverread);
    RowPacker packer(image, layout);
    DataStream data(out);
    for (std::uint32_t y = 0; y < image.height; ++y) {
        std::uint8_t* current = rows.data() + (y % 2) * rowBytes;
        const std::uint8_t* above = rows.data() + ((y + 1) % 2) * rowBytes;
        packer.pack(y, current);
        png::filterRow(current, above, rowBytes, layout.channels, filtered.data());
        if (!data.add(filtered.data(), rowBytes + 1, y + 1 == image.height))
            return false;
    }
    return true;
}

// The profile's name written in the iCCP chunk (readers take the profile, not its name).
constexpr char profileName[] = "ICC Profile";

// The iCCP chunk's data: the name, its 0, compression method 0 and the profile as a zlib stream, compressed
// with the same fast deflate as the image data (ISA-L's level 1), which gives the same bytes every run.
std::vector<std::uint8_t> iccpChunkData(const std::vector<std::uint8_t>& profile) {
    // The compressor reads a little past its input: the profile is copied with zeros after it.
    const MemoryReservation working(2 * profile.size() + 2 * compressorOverread + ISAL_DEF_LVL1_DEFAULT);
    std::vector<std::uint8_t> input(profile.size() + compressorOverread);
    std::memcpy(input.data(), profile.data(), profile.size());
    std::vector<std::uint8_t> level(ISAL_DEF_LVL1_DEFAULT);
    const auto stream = std::make_unique<isal_zstream>();
    isal_deflate_init(stream.get());
    stream->level = compressionLevel;
    stream->level_buf = level.data();
    stream->level_buf_size = static_cast<std::uint32_t>(level.size());
    stream->gzip_flag = IGZIP_ZLIB;
    stream->flush = NO_FLUSH;
    stream->end_of_stream = 1;
    stream->next_in = input.data();
    stream->avail_in = static_cast<std::uint32_t>(profile.size()); // a block is far below 4 GiB
    std::vector<std::uint8_t> data(sizeof profileName + 1 + profile.size() + compressorOverread);
    std::memcpy(data.data(), profileName, sizeof profileName); // the name and its 0
    std::size_t used = sizeof profileName + 1;                 // and method 0
    while (stream->internal_state.state != ZSTATE_END) {
        if (used == data.size())
            data.resize(2 * data.size());
        stream->next_out = data.data() + used;
        stream->avail_out = static_cast<std::uint32_t>(data.size() - used);
        if (isal_deflate(stream.get()) != COMP_OK)
            return {};
        used = data.size() - stream->avail_out;
    }
    data.resize(used);
    return data;
}

// The iTXt chunk's data for an XMP packet: the keyword and its 0, no compression (flag 0, method 0), an
// empty language tag and translated keyword, each ended by its 0, and the packet.
std::vector<std::uint8_t> xmpChunkData(const std::vector<std::uint8_t>& packet) {
    std::vector<std::uint8_t> data(png::xmpKeyword, png::xmpKeyword + png::xmpKeywordBytes);
    data.insert(data.end(), {0, 0, 0, 0});
    data.insert(data.end(), packet.begin(), packet.end());
    return data;
}

void writeMetadataChunk(OutputBuffer& out, std::uint32_t type, const std::vector<std::uint8_t>& data) {
    if (!data.empty() && data.size() <= png::maxChunkLength)
        writeChunk(out, type, data.data(), data.size());
}

// The image's metadata, as far as it goes with the layout the pixels are written in.
void writeMetadata(OutputBuffer& out, const ImageMetadata& metadata, const Layout& layout) {
    const IccSpace space = iccColourSpace(metadata.icc());
    const bool grey = layout.colourType == png::Grey || layout.colourType == png::GreyAlpha;
    if ((space == IccSpace::Rgb && !grey) || (space == IccSpace::Grey && grey))
        writeMetadataChunk(out, png::iCCP, iccpChunkData(metadata.icc()));
    writeMetadataChunk(out, png::eXIf, metadata.exif());
    if (!metadata.xmp().empty())
        writeMetadataChunk(out, png::iTXt, xmpChunkData(metadata.xmp()));
}

} // namespace

bool encodePng(const Image& image, int fd) {
    OutputBuffer out(fd, outputBufferSize);
    const IccSpace profile = image.metadata ? iccColourSpace(image.metadata->icc()) : IccSpace::None;
    const Layout layout = chooseLayout(image, profile);
    writeHeader(out, image, layout);
    if (image.metadata)
        writeMetadata(out, *image.metadata, layout);
    if (!writeRows(out, image, layout))
        return false;
    writeChunk(out, png::IEND, nullptr, 0);
    return out.flush();
}

#include "formats/codecs.h"
#include "formats/icc_profile.h"
#include "formats/png_chunks.h"
#include "formats/png_filters.h"
#include "formats/png_metadata.h"

#include "image/straight_colour.h"
#include "system/file_replacement.h"
#include "system/memory_budget.h"
#include "system/thread_pool.h"

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

// PNG files are written with 8-bit samples in the smallest of grey, grey with alpha, colour and colour with
// alpha that holds the image exactly, not interlaced, with no chunks but the header, the image's metadata,
// the image data and the end. The metadata goes before the image data, in the order colour profile (iCCP),
// EXIF (eXIf), XMP (iTXt, uncompressed). A profile always describes the pixels written: an image with an RGB
// profile is written in colour even when every pixel is grey, a grey profile is kept only when the pixels
// are written as grey, and a profile of any other space is left out. Each row is filtered with the filter
// that makes its bytes smallest (png_filters.h), and the rows are compressed, in bands that are worked on at
// the same time, by a fast deflate (the ISA-L library's level 1) whose matches look back at most 4 bytes: on
// filtered photographs, repeats of a byte or of the pixel before carry nearly all there is to gain, and
// longer matches cost more bits than they save. On real pictures this gives files smaller than the common
// default of zlib's level 6 without filters, several times faster.

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

// Image data is compressed in bands of whole rows, each band by its own compressor, so that the bands can
// be compressed at the same time. A band holds as many rows as make about this many filtered bytes (at
// least one row); the last band is shorter. The cut depends on the image's size alone, so the file is the
// same whoever compresses which band. An image of one band is one ordinary stream.
//
// The bands' streams are joined into one zlib stream: the first band's begins with the zlib header, every
// band but the last ends with a full flush (its last block is not final and ends on a byte, so the next
// band's blocks follow it directly), the last band's ends the deflate stream, and the Adler-32 of all the
// filtered bytes, combined from the bands' own, ends the zlib stream. Matches look back only a few bytes,
// so a band loses little by starting without history and with its own code tables: on five 5120 x 2880
// pictures, bands of 1 MiB made the files 0.014 % larger in all than one stream (at most 0.025 % for one
// picture), bands of 256 KiB 0.07 %, of 128 KiB 0.2 %, of 4 MiB 0.002 %. 1 MiB still splits an image of
// a few megabytes of rows into enough bands to share.
constexpr std::uint64_t bandFilteredBytes = std::uint64_t{1} << 20;

// The rows of each band for rows of `filteredRowBytes` bytes (the filter byte included).
std::uint32_t rowsPerBand(std::uint32_t height, std::uint64_t filteredRowBytes) {
    const std::uint64_t rows = std::max<std::uint64_t>(1, bandFilteredBytes / filteredRowBytes);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(rows, std::max<std::uint32_t>(height, 1)));
}

// The Adler-32 of two runs of bytes one after the other, from the checksum of each and the second's length.
// With A = 1 + the sum of the bytes and B = the sum of A after each byte, both modulo 65521: A joins as
// A1 + A2 - 1, and B as B1 + B2 + length2 * (A1 - 1), since each byte of the second run adds A1 - 1 to B.
std::uint32_t joinAdler32(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength) {
    constexpr std::uint64_t base = 65521;
    const std::uint64_t a1 = first & 0xFFFF, b1 = first >> 16;
    const std::uint64_t a2 = second & 0xFFFF, b2 = second >> 16;
    const std::uint64_t a = (a1 + a2 + base - 1) % base;
    const std::uint64_t b = (b1 + b2 + secondLength % base * ((a1 + base - 1) % base)) % base;
    return static_cast<std::uint32_t>(b << 16 | a);
}

// Where a band's stream stands in the joined one.
enum class BandPlace { Whole, First, Middle, Last };

// A band's compressed bytes, in pieces of dataChunkSize (the last one filled to `used`), each counted in
// the memory budget while it is held.
struct CompressedPiece {
    CompressedPiece() : reservation(dataChunkSize), bytes(dataChunkSize) {}
    MemoryReservation reservation;
    std::vector<std::uint8_t> bytes;
    std::size_t used = 0;
};

struct CompressedBand {
    std::vector<std::unique_ptr<CompressedPiece>> pieces;
    std::uint32_t adler = 1;     // of the band's filtered bytes
    std::uint64_t inputSize = 0; // the band's filtered bytes
    bool ok = true;              // false when the compressor failed
};

// One band's stream, compressed as its filtered rows arrive. The compressor is handed each row and
// output room of dataChunkSize at a time, as it was when the whole image made one stream, so that an
// image of one band gives the same bytes as then.
class BandStream {
public:
    BandStream(BandPlace place, CompressedBand& b)
        : band(b), stream(std::make_unique<isal_zstream>()), levelBuffer(ISAL_DEF_LVL1_DEFAULT) {
        isal_deflate_init(stream.get());
        stream->level = compressionLevel;
        stream->level_buf = levelBuffer.data();
        stream->level_buf_size = static_cast<std::uint32_t>(levelBuffer.size());
        stream->gzip_flag =
            place == BandPlace::Whole || place == BandPlace::First ? IGZIP_ZLIB : IGZIP_DEFLATE;
        stream->hist_bits = historyBits;
        stream->flush = NO_FLUSH;
        ends = place == BandPlace::Whole || place == BandPlace::Last;
        newPiece();
    }

    // Compresses n more bytes; `last` ends the band. False when the compressor fails.
    bool add(const std::uint8_t* data, std::size_t n, bool last) {
        band.adler = isal_adler32(band.adler, data, n);
        band.inputSize += n;
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
        stream->end_of_stream = last && ends ? 1 : 0;
        stream->flush = last && !ends ? FULL_FLUSH : NO_FLUSH;
        // A band that ends the stream is done at the end state; one that ends in a flush, once the flush's
        // empty block is out and the compressor waits for a new block.
        const auto done = [&] {
            const auto state = stream->internal_state.state;
            return !last || (ends ? state == ZSTATE_END : state == ZSTATE_NEW_HDR);
        };
        bool first = true;
        while (stream->avail_in > 0 || (last && (first || !done()))) {
            first = false;
            if (isal_deflate(stream.get()) != COMP_OK)
                return false;
            if (stream->avail_out == 0)
                newPiece();
        }
        band.pieces.back()->used = dataChunkSize - stream->avail_out;
        return true;
    }

    void newPiece() {
        if (!band.pieces.empty())
            band.pieces.back()->used = dataChunkSize;
        band.pieces.push_back(std::make_unique<CompressedPiece>());
        stream->next_out = band.pieces.back()->bytes.data();
        stream->avail_out = static_cast<std::uint32_t>(dataChunkSize);
    }

    CompressedBand& band;
    std::unique_ptr<isal_zstream> stream;
    std::vector<std::uint8_t> levelBuffer;
    bool ends = false;
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

// Packs, filters and compresses rows [begin, end). Each row's filter is chosen from the row and the one
// above it, so a band packs the row above its first (zeros above the image's first row) and needs nothing
// from any other band.
void compressBand(const Image& image, const Layout& layout, std::uint32_t begin, std::uint32_t end,
                  BandPlace place, CompressedBand& band) {
    const std::size_t rowBytes = std::size_t{image.width} * layout.channels;
    const MemoryReservation working(sizeof(isal_zstream) + ISAL_DEF_LVL1_DEFAULT + 2 * rowBytes +
                                    image.rowBytes() + rowBytes + 1 + compressorOverread);
    std::vector<std::uint8_t> rows(2 * rowBytes); // this row and the one above
    std::vector<std::uint8_t> filtered(rowBytes + 1 + compressorOverread);
    RowPacker packer(image, layout);
    BandStream data(place, band);
    if (begin > 0)
        packer.pack(begin - 1, rows.data() + ((begin + 1) % 2) * rowBytes);
    for (std::uint32_t y = begin; y < end; ++y) {
        std::uint8_t* current = rows.data() + (y % 2) * rowBytes;
        const std::uint8_t* above = rows.data() + ((y + 1) % 2) * rowBytes;
        packer.pack(y, current);
        png::filterRow(current, above, rowBytes, layout.channels, filtered.data());
        if (!data.add(filtered.data(), rowBytes + 1, y + 1 == end)) {
            band.ok = false;
            return;
        }
    }
}

// The joined stream as IDAT chunks of dataChunkSize bytes, the last one shorter.
class DataChunks {
public:
    explicit DataChunks(OutputBuffer& o) : out(o), chunk(dataChunkSize) {}

    void put(const std::uint8_t* data, std::size_t n) {
        while (n > 0) {
            const std::size_t piece = std::min(n, chunk.size() - used);
            std::memcpy(chunk.data() + used, data, piece);
            used += piece;
            data += piece;
            n -= piece;
            if (used == chunk.size())
                finish();
        }
    }
    void finish() {
        if (used > 0)
            writeChunk(out, png::IDAT, chunk.data(), used);
        used = 0;
    }

private:
    OutputBuffer& out;
    std::vector<std::uint8_t> chunk;
    std::size_t used = 0;
};

bool writeRows(OutputBuffer& out, const Image& image, const Layout& layout) {
    const std::uint64_t filteredRowBytes = std::uint64_t{image.width} * layout.channels + 1;
    const std::uint32_t bandHeight = rowsPerBand(image.height, filteredRowBytes);
    const std::uint32_t bands = (image.height + bandHeight - 1) / bandHeight;
    const auto placeOf = [bands](std::uint32_t b) {
        return bands == 1       ? BandPlace::Whole
               : b == 0         ? BandPlace::First
               : b + 1 == bands ? BandPlace::Last
                                : BandPlace::Middle;
    };
    DataChunks chunks(out);
    std::uint32_t adler = 1;
    bool ok = true;
    // Each band is written as soon as it and every band before it are compressed, by the thread that
    // finished the last of them, so that bands are held only while one before them is still being worked on.
    std::vector<CompressedBand> waiting(bands);
    std::vector<bool> compressed(bands, false);
    std::uint32_t next = 0; // the first band not written
    std::mutex writing;     // guards the four above, the chunks and the output
    const auto work = [&](std::size_t i) {
        CompressedBand band;
        const auto b = static_cast<std::uint32_t>(i);
        compressBand(image, layout, b * bandHeight, std::min(image.height, (b + 1) * bandHeight), placeOf(b),
                     band);
        const std::lock_guard<std::mutex> hold(writing);
        waiting[i] = std::move(band);
        compressed[i] = true;
        for (; next < bands && compressed[next]; ++next) {
            const CompressedBand written = std::move(waiting[next]);
            ok = ok && written.ok;
            if (!ok)
                continue;
            for (const auto& piece : written.pieces)
                chunks.put(piece->bytes.data(), piece->used);
            adler = joinAdler32(adler, written.adler, written.inputSize);
        }
    };
    if (bands == 1)
        work(0);
    else
        runParallel(bands, work);
    if (!ok)
        return false;
    if (bands > 1) {
        std::uint8_t trailer[4];
        png::writeBigEndian32(trailer, adler);
        chunks.put(trailer, sizeof trailer);
    }
    chunks.finish();
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
    // The output buffer, one IDAT chunk being filled, and the XMP block's copy with its iTXt keyword.
    const MemoryReservation buffers(outputBufferSize + dataChunkSize +
                                    (image.metadata ? image.metadata->xmp().size() + 64 : 0));
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

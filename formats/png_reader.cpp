#include "formats/codecs.h"
#include "formats/png_chunks.h"
#include "formats/png_decoders.h"
#include "formats/png_filters.h"
#include "formats/png_metadata.h"
#include "formats/png_pixels.h"

#include "image/straight_colour.h"
#include "system/memory_budget.h"

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

// PNG files are read in one of two ways. The common ones, 8 bits per sample and not interlaced (every
// photograph and screenshot), are read here chunk by chunk: the image data is inflated a row at a time by a
// fast inflater, unfiltered and converted straight into the image, so that reading costs little more than
// inflating. Every other file (1, 2, 4 or 16 bits per sample, or interlaced) is read by the PNG library.
// The two give the same pixels for every file both can read, which the tests check on every variant.
//
// Pixels are taken as stored: gamma, colour profiles and significant-bit counts are not applied. The colour
// profile, EXIF and XMP chunks are kept wherever they lie, before or after the image data (png_metadata.h).
// Samples of 16 bits become (v * 255 + 32767) / 65535, the nearest 8-bit value; samples of fewer than 8 bits
// are spread over 0..255 (a 1-bit 1 is 255, a 2-bit 1 is 85). A transparency chunk makes the pixels it names
// transparent. Colour with alpha is premultiplied by image/straight_colour.h like every format's.

namespace {

using png::ChunkReader;
using png::ColourTable;
using png::Header;
using png::Rgba;
using png::RowConverter;

constexpr std::size_t headerChunkEnd = png::signatureSize + 8 + png::ihdrSize + 4;

bool validDepth(std::uint8_t colourType, std::uint8_t depth) {
    switch (colourType) {
    case png::Grey:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case png::Palette:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case png::Rgb:
    case png::GreyAlpha:
    case png::RgbAlpha:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

// The signature and the header chunk, which must come first. False with a reason when they are not whole
// or not valid.
bool parseHeader(const std::uint8_t* head, std::size_t size, Header& h, std::string& reason) {
    if (size < headerChunkEnd) {
        reason = "PNG: file ends early";
        return false;
    }
    const std::uint8_t* chunk = head + png::signatureSize;
    if (std::memcmp(head, png::signature, png::signatureSize) != 0 ||
        png::readBigEndian32(chunk) != png::ihdrSize || png::readBigEndian32(chunk + 4) != png::IHDR) {
        reason = "PNG: bad header";
        return false;
    }
    if (png::crc32(0, chunk + 4, 4 + png::ihdrSize) != png::readBigEndian32(chunk + 8 + png::ihdrSize)) {
        reason = "PNG: checksum mismatch";
        return false;
    }
    const std::uint8_t* data = chunk + 8;
    h = Header{png::readBigEndian32(data), png::readBigEndian32(data + 4), data[8], data[9], data[12]};
    const bool valid = h.width >= 1 && h.width <= png::maxChunkLength && h.height >= 1 &&
                       h.height <= png::maxChunkLength && validDepth(h.colourType, h.depth) &&
                       data[10] == 0 && data[11] == 0 && h.interlace <= 1;
    if (!valid)
        reason = "PNG: bad header";
    return valid;
}

// ---- The common files: 8-bit samples, not interlaced ----

bool readPalette(ChunkReader& chunks, ColourTable& palette, std::string& reason) {
    std::vector<std::uint8_t> data;
    if (!chunks.readSmall(data, 3 * 256, reason))
        return false;
    if (data.empty() || data.size() % 3 != 0) {
        reason = "PNG: bad PLTE chunk";
        return false;
    }
    palette.size = data.size() / 3;
    for (std::size_t i = 0; i < palette.size; ++i)
        palette.colours[i] = Rgba{data[3 * i], data[3 * i + 1], data[3 * i + 2], 255};
    return true;
}

// The transparency chunk: alphas of the palette's first entries, or the one transparent grey or colour.
bool readTransparency(ChunkReader& chunks, const Header& h, ColourTable& palette, std::string& reason) {
    std::vector<std::uint8_t> data;
    if (!chunks.readSmall(data, 256, reason))
        return false;
    const auto sample = [&data](std::size_t i) {
        return static_cast<std::uint16_t>(data[2 * i] << 8 | data[2 * i + 1]);
    };
    bool valid = true;
    if (h.colourType == png::Palette) {
        valid = palette.size > 0 && data.size() <= palette.size;
        for (std::size_t i = 0; valid && i < data.size(); ++i)
            palette.colours[i][3] = data[i];
    } else if (h.colourType == png::Grey) {
        valid = data.size() == 2;
        palette.hasKey = valid;
        if (valid)
            palette.key = {sample(0), sample(0), sample(0)};
    } else if (h.colourType == png::Rgb) {
        valid = data.size() == 6;
        palette.hasKey = valid;
        if (valid)
            palette.key = {sample(0), sample(1), sample(2)};
    } // images with an alpha channel ignore the chunk
    if (!valid)
        reason = "PNG: bad tRNS chunk";
    return valid;
}

unsigned bytesPerPixel(const Header& h) {
    switch (h.colourType) {
    case png::Rgb:
        return 3;
    case png::GreyAlpha:
        return 2;
    case png::RgbAlpha:
        return 4;
    default:
        return 1;
    }
}

// The inflater's two rows and the converter's straight row.
std::size_t workingBytes(const Header& h) {
    return 2 * (std::size_t{h.width} * bytesPerPixel(h) + 1) + std::size_t{h.width} * 4;
}

// Inflates the image data of consecutive IDAT chunks a row at a time into the image.
class PixelInflater {
public:
    PixelInflater(const Header& header, const ColourTable& palette, Image& target)
        : h(header), bpp(bytesPerPixel(header)), rowBytes(std::size_t{header.width} * bpp),
          rows(2 * (rowBytes + 1)), converter(header, palette), image(target),
          state(std::make_unique<inflate_state>()) {
        isal_inflate_init(state.get());
        state->crc_flag = ISAL_ZLIB;
        startRow();
    }

    // Every row is in the image.
    bool done() const { return row == h.height; }
    // The stream has ended, its checksum checked, or it holds more than the image and the rest is not read.
    bool finished() const { return ended; }

    // Inflates the data of the current IDAT chunk until the chunk or the stream ends.
    bool inflateChunk(ChunkReader& chunks, std::string& reason) {
        const std::uint8_t* data = nullptr;
        while (!ended) {
            const std::size_t n = chunks.piece(data);
            if (n == 0 && chunks.remaining() != 0)
                return fail(reason, "PNG: file ends early");
            // With the chunk's data all given, the inflater is called with no input until it has written
            // what the bits it holds already give (the last ones of the stream, in the last chunk).
            state->next_in = const_cast<std::uint8_t*>(data);
            state->avail_in = static_cast<std::uint32_t>(std::min<std::size_t>(n, 1u << 30));
            const std::uint32_t given = state->avail_in;
            const int status = isal_inflate(state.get());
            chunks.consume(given - state->avail_in);
            if (status == ISAL_INCORRECT_CHECKSUM)
                return fail(reason, "PNG: checksum mismatch");
            if (status < 0)
                return fail(reason, "PNG: corrupt image data");
            const bool full = state->avail_out == 0;
            if (full && !moreRoom(reason))
                return false;
            if (state->block_state == ISAL_BLOCK_FINISH) {
                if (!done())
                    return fail(reason, "PNG: image data ends early");
                ended = true;
            }
            if (n == 0 && !full)
                return true; // nothing more comes out of this chunk
        }
        return true;
    }

private:
    static bool fail(std::string& reason, const char* text) {
        reason = text;
        return false;
    }

    std::uint8_t* current() { return rows.data() + (row % 2) * (rowBytes + 1); }
    std::uint8_t* previous() { return rows.data() + ((row + 1) % 2) * (rowBytes + 1); }

    // The inflater writes at most this much at a time (its counts are 32-bit).
    static constexpr std::size_t outputStep = std::size_t{1} << 30;

    void startRow() {
        state->next_out = current();
        state->avail_out = static_cast<std::uint32_t>(std::min(rowBytes + 1, outputStep));
    }

    // The inflater has filled the room it was given: the row is whole, or it gets the next part of it.
    // Data beyond the last row is not the image's: once any arrives, the rest of the stream is left unread.
    bool moreRoom(std::string& reason) {
        if (done()) {
            ended = true;
            return true;
        }
        const std::size_t filled = static_cast<std::size_t>(state->next_out - current());
        if (filled == rowBytes + 1)
            return finishRow(reason);
        state->avail_out = static_cast<std::uint32_t>(std::min(rowBytes + 1 - filled, outputStep));
        return true;
    }

    // A whole filtered row has arrived: unfilter it and store it as image row `row`.
    bool finishRow(std::string& reason) {
        std::uint8_t* cur = current();
        if (!png::unfilterRow(cur[0], cur + 1, previous() + 1, rowBytes, bpp))
            return fail(reason, "PNG: corrupt image data");
        if (!converter.convert(cur + 1, image.pixel(0, row)))
            return fail(reason, "PNG: palette index out of range");
        ++row;
        if (!done()) {
            startRow();
        } else {
            // Past the last row the inflater writes into a small spare place, to reach the end of the
            // stream and its checksum.
            state->next_out = beyond.data();
            state->avail_out = static_cast<std::uint32_t>(beyond.size());
        }
        return true;
    }

    const Header& h;
    const unsigned bpp;
    const std::size_t rowBytes;
    std::vector<std::uint8_t>
        rows; // the current and the previous row, each with its filter byte (zeros first)
    RowConverter converter;
    Image& image;
    std::unique_ptr<inflate_state> state;
    std::array<std::uint8_t, 64> beyond{};
    std::uint32_t row = 0;
    bool ended = false;
};

// The rest of a chunk's data and its checksum, the data going to `metadata` when the chunk carries a block.
bool finishChunk(ChunkReader& chunks, png::MetadataChunks& metadata, std::string& reason) {
    if (!metadata.begin(chunks.chunkType(), chunks.remaining()))
        return chunks.finish(reason);
    const std::uint8_t* data = nullptr;
    while (chunks.remaining() > 0) {
        const std::size_t n = chunks.piece(data);
        if (n == 0)
            break; // the file ends early, which finish reports
        metadata.feed(data, n);
        chunks.consume(n);
    }
    if (!chunks.finish(reason))
        return false;
    metadata.end();
    return true;
}

// The chunks up to the first IDAT: the header (already checked), the palette, the transparency and the
// metadata; other ancillary chunks are passed over.
bool readChunksBeforeData(ChunkReader& chunks, const Header& h, ColourTable& palette,
                          png::MetadataChunks& metadata, std::string& reason) {
    if (!chunks.next(reason) || !chunks.finish(reason)) // the header, parsed from the first bytes
        return false;
    bool seenTrns = false;
    for (;;) {
        if (!chunks.next(reason))
            return false;
        const std::uint32_t type = chunks.chunkType();
        if (type == png::IDAT)
            break;
        bool ok = true;
        // The header, the palette and the transparency come once each, the palette before the
        // transparency.
        const bool again = type == png::IHDR || (type == png::PLTE && (palette.size > 0 || seenTrns)) ||
                           (type == png::tRNS && seenTrns);
        if (again)
            return (reason = "PNG: bad chunk order", false);
        if (type == png::PLTE)
            ok = readPalette(chunks, palette, reason);
        else if (type == png::tRNS)
            ok = readTransparency(chunks, h, palette, reason), seenTrns = true;
        else if (type == png::IEND)
            return (reason = "PNG: no image data", false);
        else if (png::isCritical(type))
            return (reason = "PNG: unknown critical chunk " + chunks.name(), false);
        else
            ok = finishChunk(chunks, metadata, reason);
        if (!ok)
            return false;
    }
    if (h.colourType == png::Palette && palette.size == 0)
        return (reason = "PNG: no palette", false);
    return true;
}

// The chunks after the image data, up to the end chunk: a file must be whole, each chunk with its checksum.
// The header, palette and transparency chunks cannot come after the image data, nor can image data come
// again once another chunk has followed it.
bool readToEnd(ChunkReader& chunks, png::MetadataChunks& metadata, std::string& reason) {
    bool inData = true; // the chunk before was image data
    for (;;) {
        if (!chunks.next(reason))
            return false;
        const std::uint32_t type = chunks.chunkType();
        if (type == png::IHDR || type == png::PLTE || type == png::tRNS || (type == png::IDAT && !inData))
            return (reason = "PNG: bad chunk order", false);
        inData = type == png::IDAT;
        if (png::isCritical(type) && type != png::IEND && type != png::IDAT)
            return (reason = "PNG: unknown critical chunk " + chunks.name(), false);
        if (!finishChunk(chunks, metadata, reason))
            return false;
        if (chunks.chunkType() == png::IEND)
            return true;
    }
}

ImagePtr decodeCommon(ByteSource& source, const Header& h, std::string& reason, FoundMetadata& found) {
    ChunkReader chunks(source);
    ColourTable palette;
    png::MetadataChunks metadata(found);
    if (!readChunksBeforeData(chunks, h, palette, metadata, reason))
        return nullptr;
    // The rows the reading works in count in the budget before they are taken, and before the image, so
    // that a file of a few bytes declaring a row of gigabytes is refused before anything is touched.
    const MemoryReservation working(workingBytes(h));
    ImagePtr image = createImageForOverwrite(h.width, h.height);
    PixelInflater inflater(h, palette, *image);
    for (;;) {
        if (!inflater.inflateChunk(chunks, reason))
            return nullptr;
        if (!chunks.finish(reason)) // the rest of the chunk's data, if any, and its checksum
            return nullptr;
        if (inflater.finished())
            return readToEnd(chunks, metadata, reason) ? std::move(image) : nullptr;
        if (!chunks.next(reason))
            return nullptr;
        if (chunks.chunkType() != png::IDAT) {
            reason = "PNG: image data ends early";
            return nullptr;
        }
    }
}

} // namespace

bool matchesPng(const std::uint8_t* head, std::size_t size) {
    return size >= png::signatureSize && std::memcmp(head, png::signature, png::signatureSize) == 0;
}

ImagePtr decodePng(ByteSource& source, std::string& reason, FoundMetadata& found) {
    Header h;
    if (!parseHeader(source.data(), source.peek(headerChunkEnd), h, reason))
        return nullptr;
    if (h.depth == 8 && h.interlace == 0) {
        source.advance(png::signatureSize);
        return decodeCommon(source, h, reason, found);
    }
    return png::decodeWithLibrary(source, h, reason, found); // the library reads the signature itself
}

#include "formats/codecs.h"
#include "formats/png_chunks.h"
#include "formats/png_filters.h"

#include "image/straight_colour.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <spng.h>

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
// Pixels are taken as stored: gamma, colour profiles and significant-bit counts are not applied. Samples
// of 16 bits become (v * 255 + 32767) / 65535, the nearest 8-bit value; samples of fewer than 8 bits are
// spread over 0..255 (a 1-bit 1 is 255, a 2-bit 1 is 85). A transparency chunk makes the pixels it names
// transparent. Colour with alpha is premultiplied by image/straight_colour.h like every format's.

std::uint32_t png::crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    return crc32_gzip_refl(crc, data, size);
}

namespace {

using Rgba = std::array<std::uint8_t, 4>;

struct Header {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t depth = 0;
    std::uint8_t colourType = 0;
    std::uint8_t interlace = 0;
};

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

// The chunks after the header, read through the byte source with their checksums.
class ChunkReader {
public:
    explicit ChunkReader(ByteSource& s) : source(s) {}

    // Reads the next chunk's length and type. False with a reason when the file ends or the length is bad.
    bool next(std::string& reason) {
        std::uint8_t bytes[8];
        if (!source.readExactly(bytes, sizeof bytes)) {
            reason = "PNG: file ends early";
            return false;
        }
        left = png::readBigEndian32(bytes);
        type = png::readBigEndian32(bytes + 4);
        if (left > png::maxChunkLength) {
            reason = "PNG: bad chunk length";
            return false;
        }
        crc = png::crc32(0, bytes + 4, 4);
        return true;
    }

    std::uint32_t chunkType() const { return type; }
    std::uint32_t remaining() const { return left; }

    // The chunk's data in pieces: the bytes of it that are buffered now (0 when the file has ended).
    std::size_t piece(const std::uint8_t*& data) {
        const std::size_t n = left == 0 ? 0 : std::min<std::size_t>(left, source.available());
        data = source.data(); // after available(), which may move the buffered bytes
        return n;
    }
    void consume(std::size_t n) {
        crc = png::crc32(crc, source.data(), n);
        source.advance(n);
        left -= static_cast<std::uint32_t>(n);
    }

    // Reads the rest of the chunk's data and its checksum. False with a reason when the file ends or the
    // checksum does not match.
    bool finish(std::string& reason) {
        const std::uint8_t* data = nullptr;
        while (left > 0) {
            const std::size_t n = piece(data);
            if (n == 0) {
                reason = "PNG: file ends early";
                return false;
            }
            consume(n);
        }
        std::uint8_t stored[4];
        if (!source.readExactly(stored, sizeof stored)) {
            reason = "PNG: file ends early";
            return false;
        }
        if (png::readBigEndian32(stored) != crc) {
            reason = "PNG: checksum mismatch";
            return false;
        }
        return true;
    }

    // The whole data of a small chunk (at most `limit` bytes), checksum checked.
    bool readSmall(std::vector<std::uint8_t>& out, std::size_t limit, std::string& reason) {
        if (left > limit) {
            reason = "PNG: bad " + name() + " chunk";
            return false;
        }
        out.resize(left);
        std::size_t at = 0;
        const std::uint8_t* data = nullptr;
        while (left > 0) {
            const std::size_t n = piece(data);
            if (n == 0)
                break;
            std::memcpy(out.data() + at, data, n);
            at += n;
            consume(n);
        }
        return finish(reason);
    }

    std::string name() const {
        const char letters[] = {static_cast<char>(type >> 24), static_cast<char>(type >> 16),
                                static_cast<char>(type >> 8), static_cast<char>(type)};
        return {letters, letters + 4};
    }

private:
    ByteSource& source;
    std::uint32_t type = 0;
    std::uint32_t left = 0;
    std::uint32_t crc = 0;
};

// What the chunks before the image data say about the pixels.
struct Palette {
    std::array<Rgba, 256> colours{}; // premultiplied
    std::size_t size = 0;
    bool hasKey = false; // grey and colour images: a transparent sample value
    std::array<std::uint16_t, 3> key{};
};

bool readPalette(ChunkReader& chunks, Palette& palette, std::string& reason) {
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
bool readTransparency(ChunkReader& chunks, const Header& h, Palette& palette, std::string& reason) {
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

// One unfiltered row of the file to one row of the image.
class RowConverter {
public:
    RowConverter(const Header& header, const Palette& p) : h(header), palette(p) {
        if (h.colourType == png::GreyAlpha || h.colourType == png::RgbAlpha)
            straight.resize(std::size_t{h.width} * 4);
        if (h.colourType == png::Palette) {
            // The palette premultiplied once, by the same conversion as every pixel with alpha.
            std::array<Rgba, 256> straightColours = palette.colours;
            premultiplyPixels(straightColours[0].data(), palette.size, premultiplied[0].data(),
                              ChannelOrder::Rgba);
        }
    }

    // False when a palette index lies outside the palette.
    bool convert(const std::uint8_t* in, std::uint8_t* out) {
        const std::size_t w = h.width;
        switch (h.colourType) {
        case png::RgbAlpha:
            premultiplyPixels(in, w, out, ChannelOrder::Rgba);
            return true;
        case png::Rgb:
            rgbRow(in, out, w);
            return true;
        case png::Grey:
            greyRow(in, out, w);
            return true;
        case png::GreyAlpha:
            for (std::size_t x = 0; x < w; ++x)
                std::memcpy(straight.data() + 4 * x,
                            Rgba{in[2 * x], in[2 * x], in[2 * x], in[2 * x + 1]}.data(), 4);
            premultiplyPixels(straight.data(), w, out, ChannelOrder::Rgba);
            return true;
        default:
            return paletteRow(in, out, w);
        }
    }

private:
    // A pixel that matches the transparent value becomes transparent black, the premultiplied form of any
    // colour with alpha 0.
    bool isKey(std::uint8_t r, std::uint8_t g, std::uint8_t b) const {
        return palette.hasKey && palette.key[0] == r && palette.key[1] == g && palette.key[2] == b;
    }

    void rgbRow(const std::uint8_t* in, std::uint8_t* out, std::size_t w) const {
        for (std::size_t x = 0; x < w; ++x, in += 3, out += 4) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
            out[3] = 255;
        }
        if (palette.hasKey)
            clearKeyed(out - 4 * w, w);
    }

    void greyRow(const std::uint8_t* in, std::uint8_t* out, std::size_t w) const {
        for (std::size_t x = 0; x < w; ++x, out += 4)
            out[0] = out[1] = out[2] = in[x], out[3] = 255;
        if (palette.hasKey)
            clearKeyed(out - 4 * w, w);
    }

    void clearKeyed(std::uint8_t* row, std::size_t w) const {
        for (std::size_t x = 0; x < w; ++x, row += 4)
            if (isKey(row[0], row[1], row[2]))
                std::memset(row, 0, 4);
    }

    bool paletteRow(const std::uint8_t* in, std::uint8_t* out, std::size_t w) const {
        for (std::size_t x = 0; x < w; ++x, out += 4) {
            if (in[x] >= palette.size)
                return false;
            std::memcpy(out, premultiplied[in[x]].data(), 4);
        }
        return true;
    }

    const Header& h;
    const Palette& palette;
    std::array<Rgba, 256> premultiplied{};
    std::vector<std::uint8_t> straight;
};

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

// Inflates the image data of consecutive IDAT chunks a row at a time into the image.
class PixelInflater {
public:
    PixelInflater(const Header& header, const Palette& palette, Image& target)
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

// The chunks up to the first IDAT: the header (already checked), the palette and the transparency; other
// ancillary chunks are passed over.
bool readChunksBeforeData(ChunkReader& chunks, const Header& h, Palette& palette, std::string& reason) {
    if (!chunks.next(reason) || !chunks.finish(reason)) // the header, parsed from the first bytes
        return false;
    for (;;) {
        if (!chunks.next(reason))
            return false;
        const std::uint32_t type = chunks.chunkType();
        if (type == png::IDAT)
            break;
        bool ok = true;
        if (type == png::PLTE)
            ok = readPalette(chunks, palette, reason);
        else if (type == png::tRNS)
            ok = readTransparency(chunks, h, palette, reason);
        else if (type == png::IEND)
            return (reason = "PNG: no image data", false);
        else if (png::isCritical(type))
            return (reason = "PNG: unknown critical chunk " + chunks.name(), false);
        else
            ok = chunks.finish(reason);
        if (!ok)
            return false;
    }
    if (h.colourType == png::Palette && palette.size == 0)
        return (reason = "PNG: no palette", false);
    return true;
}

// The chunks after the image data, up to the end chunk: a file must be whole, each chunk with its checksum.
bool readToEnd(ChunkReader& chunks, std::string& reason) {
    for (;;) {
        if (!chunks.next(reason) || !chunks.finish(reason))
            return false;
        if (chunks.chunkType() == png::IEND)
            return true;
    }
}

ImagePtr decodeCommon(ByteSource& source, const Header& h, std::string& reason) {
    ChunkReader chunks(source);
    Palette palette;
    if (!readChunksBeforeData(chunks, h, palette, reason))
        return nullptr;
    ImagePtr image = createImageForOverwrite(h.width, h.height);
    PixelInflater inflater(h, palette, *image);
    for (;;) {
        if (!inflater.inflateChunk(chunks, reason))
            return nullptr;
        if (!chunks.finish(reason)) // the rest of the chunk's data, if any, and its checksum
            return nullptr;
        if (inflater.finished())
            return readToEnd(chunks, reason) ? std::move(image) : nullptr;
        if (!chunks.next(reason))
            return nullptr;
        if (chunks.chunkType() != png::IDAT) {
            reason = "PNG: image data ends early";
            return nullptr;
        }
    }
}

// ---- Every other file, through the PNG library ----

constexpr std::size_t chunkLimit = std::size_t{64} << 20;

struct SpngFree {
    void operator()(spng_ctx* ctx) const noexcept { spng_ctx_free(ctx); }
};

int readFromSource(spng_ctx*, void* user, void* destination, std::size_t length) {
    auto* source = static_cast<ByteSource*>(user);
    return source->readExactly(static_cast<std::uint8_t*>(destination), length) ? 0 : SPNG_IO_EOF;
}

std::string libraryReason(int code) {
    if (code == SPNG_IO_EOF)
        return "PNG: file ends early";
    if (code == SPNG_ECHUNK_CRC || code == SPNG_EZLIB)
        return code == SPNG_ECHUNK_CRC ? "PNG: checksum mismatch" : "PNG: corrupt image data";
    return std::string("PNG: ") + spng_strerror(code);
}

// The pass geometry of interlaced files (the first column and the step between columns of each pass);
// a file that is not interlaced has one pass of every column.
constexpr std::uint32_t passStart[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr std::uint32_t passStep[7] = {8, 8, 4, 4, 2, 2, 1};

// A 16-bit sample to the nearest 8-bit value.
std::uint8_t narrow16(std::uint16_t v) {
    return static_cast<std::uint8_t>((std::uint32_t{v} * 255 + 32767) / 65535);
}

// Decodes row after row (pass after pass for an interlaced file) into a scratch row, and copies the pixels
// each row delivers, as straight 8-bit colour, into the image; then premultiplies the image row by row.
bool decodeRows(spng_ctx* ctx, const Header& h, Image& image, std::string& reason) {
    const bool wide = h.depth == 16;
    const std::size_t sampleBytes = wide ? 2 : 1;
    std::vector<std::uint8_t> scratch(std::size_t{h.width} * 4 * sampleBytes);
    for (;;) {
        spng_row_info info{};
        int status = spng_get_row_info(ctx, &info);
        if (status == 0)
            status = spng_decode_row(ctx, scratch.data(), scratch.size());
        if (status != 0 && status != SPNG_EOI)
            return (reason = libraryReason(status), false);
        const std::uint32_t start = h.interlace != 0 ? passStart[info.pass] : 0;
        const std::uint32_t step = h.interlace != 0 ? passStep[info.pass] : 1;
        std::uint8_t* out = image.pixel(0, info.row_num);
        for (std::uint32_t x = start; x < h.width; x += step)
            for (std::size_t c = 0; c < 4; ++c) {
                const std::size_t at = (std::size_t{x} * 4 + c) * sampleBytes;
                std::uint16_t v = scratch[at];
                if (wide)
                    std::memcpy(&v, scratch.data() + at, 2); // the library gives host byte order
                out[std::size_t{x} * 4 + c] = wide ? narrow16(v) : static_cast<std::uint8_t>(v);
            }
        if (status == SPNG_EOI)
            return true;
    }
}

void premultiplyInPlace(Image& image) {
    std::vector<std::uint8_t> straight(image.rowBytes());
    for (std::uint32_t y = 0; y < image.height; ++y) {
        std::memcpy(straight.data(), image.pixel(0, y), straight.size());
        premultiplyPixels(straight.data(), image.width, image.pixel(0, y), ChannelOrder::Rgba);
    }
}

ImagePtr decodeWithLibrary(ByteSource& source, const Header& h, std::string& reason) {
    const std::unique_ptr<spng_ctx, SpngFree> ctx(spng_ctx_new(0));
    if (ctx == nullptr)
        throw std::bad_alloc();
    spng_set_png_stream(ctx.get(), readFromSource, &source);
    // Ancillary chunks the library keeps (text, profiles) are bounded, so that a file cannot make it hold
    // gigabytes of them.
    spng_set_chunk_limits(ctx.get(), chunkLimit, chunkLimit);
    // A damaged chunk of any kind makes the file unreadable, as it does for the 8-bit reader.
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_ERROR);
    ImagePtr image = createImageForOverwrite(h.width, h.height);
    const int format = h.depth == 16 ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
    const int status =
        spng_decode_image(ctx.get(), nullptr, 0, format, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
    if (status != 0) {
        reason = libraryReason(status);
        return nullptr;
    }
    if (!decodeRows(ctx.get(), h, *image, reason))
        return nullptr;
    // The rest of the file up to the end chunk, as the 8-bit reader reads it.
    if (const int rest = spng_decode_chunks(ctx.get()); rest != 0) {
        reason = libraryReason(rest);
        return nullptr;
    }
    premultiplyInPlace(*image);
    return image;
}

} // namespace

bool matchesPng(const std::uint8_t* head, std::size_t size) {
    return size >= png::signatureSize && std::memcmp(head, png::signature, png::signatureSize) == 0;
}

ImagePtr decodePng(ByteSource& source, std::string& reason) {
    Header h;
    if (!parseHeader(source.data(), source.peek(headerChunkEnd), h, reason))
        return nullptr;
    if (h.depth == 8 && h.interlace == 0) {
        source.advance(png::signatureSize);
        return decodeCommon(source, h, reason);
    }
    return decodeWithLibrary(source, h, reason); // the library reads the signature itself
}

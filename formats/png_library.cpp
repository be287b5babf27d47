// Every PNG file that is not read by the program's own reader (1, 2, 4 or 16 bits per sample, or
// interlaced) is read through the PNG library, to the same pixels.

#include "formats/png_decoders.h"
#include "formats/png_metadata.h"

#include "image/straight_colour.h"

#include "system/memory_budget.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <spng.h>
#include <vector>

namespace {

using png::Header;

constexpr std::size_t chunkLimit = std::size_t{64} << 20;

struct SpngFree {
    void operator()(spng_ctx* ctx) const noexcept { spng_ctx_free(ctx); }
};

// Follows the chunks in the bytes the library reads, in order, and hands the data of those that carry
// metadata to the same collector as the program's own reader uses. The library checks every checksum and
// fails the file on a bad one, so a block is handed over as soon as its chunk's data is whole.
class ChunkTap {
public:
    explicit ChunkTap(FoundMetadata& found) : metadata(found) {}

    // The type of the chunk the library reads now (or read last), 0 before the first.
    std::uint32_t chunkType() const { return type; }
    // The data lengths of the palette and transparency chunks; none when the file has none.
    std::optional<std::uint32_t> paletteBytes() const { return plteLength; }
    std::optional<std::uint32_t> transparencyBytes() const { return trnsLength; }
    // How many header chunks have begun, and the place of the first palette after image data began.
    unsigned headerCount() const { return headers; }
    bool misplacedChunk() const { return misplaced; }
    // Whether the end chunk's checksum has been read whole (the library stops before it), and how many of
    // its bytes are still to come.
    bool inEndChecksum() const { return type == png::IEND && stage == Stage::Checksum; }
    std::size_t checksumBytesLeft() const { return wanted - got; }
    // Whether the checksum of the end chunk, once whole, matches its type and data.
    bool endChecksumMatches() const { return png::readBigEndian32(stored) == running; }

    void see(const std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            std::size_t take = 0;
            switch (stage) {
            case Stage::Signature:
            case Stage::Checksum:
                if (got == wanted) { // past the end chunk: not the file's
                    take = n;
                    break;
                }
                take = std::min(n, wanted - got);
                if (stage == Stage::Checksum)
                    std::memcpy(stored + got, p, take);
                got += take;
                if (got == wanted && !(stage == Stage::Checksum && type == png::IEND))
                    startHeader();
                break;
            case Stage::Header:
                take = std::min(n, sizeof header - got);
                std::memcpy(header + got, p, take);
                got += take;
                if (got == sizeof header)
                    startData();
                break;
            case Stage::Data:
                take = std::min<std::size_t>(n, left);
                if (feeding)
                    metadata.feed(p, take);
                if (type == png::IEND)
                    running = png::crc32(running, p, take);
                left -= static_cast<std::uint32_t>(take);
                if (left == 0)
                    endData();
                break;
            }
            p += take;
            n -= take;
        }
    }

private:
    enum class Stage { Signature, Header, Data, Checksum };

    void startHeader() {
        stage = Stage::Header;
        got = 0;
    }
    void startData() {
        left = png::readBigEndian32(header);
        type = png::readBigEndian32(header + 4);
        noteOrder();
        if (type == png::IEND)
            running = png::crc32(0, header + 4, 4);
        // A bad length fails the file in the library; nothing of it is taken.
        feeding = left <= png::maxChunkLength && metadata.begin(png::readBigEndian32(header + 4), left);
        stage = Stage::Data;
        if (left == 0)
            endData();
    }
    void endData() {
        if (feeding)
            metadata.end();
        feeding = false;
        stage = Stage::Checksum;
        got = 0;
        wanted = 4;
    }

    // Keeps what the checks after the library's reading need: the lengths of the palette and transparency
    // chunks, and whether a chunk that may come only once, or only before the image data, comes again or
    // after it.
    void noteOrder() {
        if (type == png::IDAT)
            dataBegun = true;
        else if (dataBegun && (type == png::PLTE || type == png::tRNS))
            misplaced = true;
        if (type == png::IHDR)
            ++headers;
        else if (type == png::PLTE)
            misplaced = misplaced || plteLength.has_value(), plteLength = left;
        else if (type == png::tRNS)
            misplaced = misplaced || trnsLength.has_value(), trnsLength = left;
    }

    png::MetadataChunks metadata;
    std::uint32_t type = 0;
    std::optional<std::uint32_t> plteLength;
    std::optional<std::uint32_t> trnsLength;
    unsigned headers = 0;
    bool dataBegun = false;
    bool misplaced = false;
    std::uint8_t stored[4] = {};
    std::uint32_t running = 0; // the end chunk's checksum as computed
    Stage stage = Stage::Signature;
    std::size_t got = 0;
    std::size_t wanted = png::signatureSize;
    std::uint8_t header[8] = {};
    std::uint32_t left = 0;
    bool feeding = false;
};

// What the library reads from: the file, and the tap that watches it.
struct LibraryInput {
    ByteSource& source;
    ChunkTap tap;
    bool outOfMemory = false; // the budget refused a block; the reading ends with std::bad_alloc
};

int readFromSource(spng_ctx*, void* user, void* destination, std::size_t length) {
    auto& input = *static_cast<LibraryInput*>(user);
    auto* bytes = static_cast<std::uint8_t*>(destination);
    if (!input.source.readExactly(bytes, length))
        return SPNG_IO_EOF;
    // No exception may pass through the library: a refusal of the budget ends the reading here and is
    // thrown again once the library has returned.
    try {
        input.tap.see(bytes, length);
    } catch (const std::bad_alloc&) {
        input.outOfMemory = true;
        return SPNG_IO_ERROR;
    }
    return 0;
}

// The library's errors as the reasons the program's own reader gives for the same faults, so that a file
// is refused in the same words whatever its depth or interlacing. Out of memory is thrown.
std::string libraryReason(int code, const ChunkTap& tap) {
    const std::string chunk = png::chunkName(tap.chunkType());
    switch (code) {
    case SPNG_IO_EOF:
    case SPNG_EOF:
        return "PNG: file ends early";
    case SPNG_ECHUNK_CRC:
        return "PNG: checksum mismatch";
    case SPNG_EZLIB:
    case SPNG_EZLIB_INIT:
    case SPNG_EFILTER:
    case SPNG_EIDAT_STREAM:
        return "PNG: corrupt image data";
    case SPNG_EIDAT_TOO_SHORT:
        return "PNG: image data ends early";
    case SPNG_ECHUNK_SIZE:
        return "PNG: bad chunk length";
    case SPNG_ECHUNK_UNKNOWN_CRITICAL:
        return "PNG: unknown critical chunk " + chunk;
    case SPNG_ENOPLTE:
        return "PNG: no palette";
    case SPNG_EPLTE_IDX:
        return "PNG: palette index out of range";
    case SPNG_EMEM:
    case SPNG_EOVERFLOW:
    case SPNG_EUSER_WIDTH:
    case SPNG_EUSER_HEIGHT:
    case SPNG_ECHUNK_LIMITS:
        throw std::bad_alloc();
    case SPNG_ECHUNK_POS:
    case SPNG_ENOIHDR:
        return "PNG: bad chunk order";
    default:
        break;
    }
    // A second chunk of a kind that comes once, or a chunk whose content is wrong: named by its chunk.
    if (code == SPNG_EDUP_PLTE || (code >= SPNG_EDUP_CHRM && code <= SPNG_EDUP_EXIF))
        return "PNG: bad chunk order";
    if (tap.chunkType() == png::IHDR || tap.chunkType() == 0)
        return "PNG: bad header";
    return "PNG: bad " + chunk + " chunk";
}

// The pass geometry of interlaced files (the first column and the step between columns of each pass);
// a file that is not interlaced has one pass of every column.
constexpr std::uint32_t passStart[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr std::uint32_t passStep[7] = {8, 8, 4, 4, 2, 2, 1};

// A 16-bit sample to the nearest 8-bit value.
std::uint8_t narrow16(std::uint16_t v) {
    return static_cast<std::uint8_t>((std::uint32_t{v} * 255 + 32767) / 65535);
}

// The palette of a palette file as straight colour, with the transparency chunk's alphas.
struct Palette {
    std::array<std::array<std::uint8_t, 4>, 256> colours{};
    std::size_t size = 0;
};

Palette paletteOf(spng_ctx* ctx) {
    Palette p;
    spng_plte plte{};
    if (spng_get_plte(ctx, &plte) == 0) {
        p.size = std::min<std::size_t>(plte.n_entries, 256);
        for (std::size_t i = 0; i < p.size; ++i)
            p.colours[i] = {plte.entries[i].red, plte.entries[i].green, plte.entries[i].blue, 255};
    }
    spng_trns trns{};
    if (spng_get_trns(ctx, &trns) == 0)
        for (std::size_t i = 0; i < std::min<std::size_t>(trns.n_type3_entries, p.size); ++i)
            p.colours[i][3] = trns.type3_alpha[i];
    return p;
}

// The bytes of one row as the file stores it, without its filter byte.
std::uint64_t storedRowBytes(const Header& h) {
    const unsigned channels = h.colourType == png::Rgb         ? 3
                              : h.colourType == png::GreyAlpha ? 2
                              : h.colourType == png::RgbAlpha  ? 4
                                                               : 1;
    return (std::uint64_t{h.width} * channels * h.depth + 7) / 8;
}

// The working memory of one reading beside the image: the library's rows (the row being inflated, the
// one above it and the row it converts into, at most 8 bytes a pixel), the row this reader copies from
// and the row it premultiplies through.
std::size_t workingBytes(const Header& h) {
    const std::uint64_t stored = storedRowBytes(h) + 1;
    const std::uint64_t wide = std::uint64_t{h.width} * 8;
    return static_cast<std::size_t>(3 * stored + 2 * wide + std::uint64_t{h.width} * 4);
}

// The checks the library leaves to its caller, made once it has read the chunks before the image data:
// a transparency chunk must fit the colour type (the library takes any length for grey and colour), and
// a header, palette or transparency chunk may come only once.
bool checkChunks(const ChunkTap& tap, const Header& h, std::string& reason) {
    if (tap.headerCount() > 1 || tap.misplacedChunk())
        return (reason = "PNG: bad chunk order", false);
    if (const auto trns = tap.transparencyBytes()) {
        const std::uint32_t entries = tap.paletteBytes().value_or(0) / 3;
        const bool valid = h.colourType == png::Grey      ? *trns == 2
                           : h.colourType == png::Rgb     ? *trns == 6
                           : h.colourType == png::Palette ? entries > 0 && *trns <= entries
                                                          : true;
        if (!valid)
            return (reason = "PNG: bad tRNS chunk", false);
    }
    return true;
}

// Decodes row after row (pass after pass for an interlaced file) into a scratch row, and copies the pixels
// each row delivers, as straight 8-bit colour, into the image; then premultiplies the image row by row.
// A palette file is decoded to its indices, so that an index beyond the palette is found; the library
// would give such a pixel as black.
bool decodeRows(spng_ctx* ctx, const Header& h, Image& image, const ChunkTap& tap, std::string& reason) {
    const bool wide = h.depth == 16;
    const bool indexed = h.colourType == png::Palette;
    const std::size_t sampleBytes = wide ? 2 : 1;
    const Palette palette = indexed ? paletteOf(ctx) : Palette{};
    std::vector<std::uint8_t> scratch(indexed ? static_cast<std::size_t>(storedRowBytes(h))
                                              : std::size_t{h.width} * 4 * sampleBytes);
    const unsigned mask = (1u << h.depth) - 1;
    for (;;) {
        spng_row_info info{};
        int status = spng_get_row_info(ctx, &info);
        // After the last row of an interlaced file there is no row to copy; after that of a plain file
        // the decoding of the row itself says so.
        if (status == SPNG_EOI)
            return true;
        // The library sets the bits of packed indices into the row without clearing those around them.
        if (indexed && h.depth < 8)
            std::fill(scratch.begin(), scratch.end(), 0);
        if (status == 0)
            status = spng_decode_row(ctx, scratch.data(), scratch.size());
        if (status != 0 && status != SPNG_EOI)
            return (reason = libraryReason(status, tap), false);
        const std::uint32_t start = h.interlace != 0 ? passStart[info.pass] : 0;
        const std::uint32_t step = h.interlace != 0 ? passStep[info.pass] : 1;
        std::uint8_t* out = image.pixel(0, info.row_num);
        for (std::uint32_t x = start; x < h.width; x += step) {
            if (indexed) {
                const std::size_t bit = std::size_t{x} * h.depth;
                const unsigned index = scratch[bit / 8] >> (8 - h.depth - bit % 8) & mask;
                if (index >= palette.size)
                    return (reason = "PNG: palette index out of range", false);
                std::memcpy(out + std::size_t{x} * 4, palette.colours[index].data(), 4);
                continue;
            }
            for (std::size_t c = 0; c < 4; ++c) {
                const std::size_t at = (std::size_t{x} * 4 + c) * sampleBytes;
                std::uint16_t v = scratch[at];
                if (wide)
                    std::memcpy(&v, scratch.data() + at, 2); // the library gives host byte order
                out[std::size_t{x} * 4 + c] = wide ? narrow16(v) : static_cast<std::uint8_t>(v);
            }
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

// A failed reading: null, or std::bad_alloc when it ended because the budget refused a metadata block.
ImagePtr failed(const LibraryInput& input) {
    if (input.outOfMemory)
        throw std::bad_alloc();
    return nullptr;
}

// The library stops reading before the end chunk's checksum: it is read here, so that a file cut inside
// it is refused as any file cut short is, and a damaged one as any damaged chunk is.
bool finishEndChunk(LibraryInput& input, std::string& reason) {
    if (!input.tap.inEndChecksum())
        return true;
    std::uint8_t rest[4];
    const std::size_t n = input.tap.checksumBytesLeft();
    if (!input.source.readExactly(rest, n))
        return (reason = "PNG: file ends early", false);
    input.tap.see(rest, n);
    if (!input.tap.endChecksumMatches())
        return (reason = "PNG: checksum mismatch", false);
    return true;
}

} // namespace

ImagePtr png::decodeWithLibrary(ByteSource& source, const Header& h, std::string& reason,
                                FoundMetadata& found) {
    LibraryInput input{source, ChunkTap(found)};
    const std::unique_ptr<spng_ctx, SpngFree> ctx(spng_ctx_new(0));
    if (ctx == nullptr)
        throw std::bad_alloc();
    spng_set_png_stream(ctx.get(), readFromSource, &input);
    // Ancillary chunks the library keeps (text, profiles) are bounded, so that a file cannot make it hold
    // gigabytes of them.
    spng_set_chunk_limits(ctx.get(), chunkLimit, chunkLimit);
    // A damaged chunk of any kind makes the file unreadable, as it does for the 8-bit reader.
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_ERROR);
    // The rows the library and this reader work in count in the budget before they are taken (and before
    // the image): a file of a few bytes may declare a row of gigabytes.
    const MemoryReservation rows(workingBytes(h));
    ImagePtr image = createImageForOverwrite(h.width, h.height);
    const int format = h.colourType == png::Palette ? SPNG_FMT_PNG
                       : h.depth == 16              ? SPNG_FMT_RGBA16
                                                    : SPNG_FMT_RGBA8;
    const int flags =
        h.colourType == png::Palette ? SPNG_DECODE_PROGRESSIVE : SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE;
    const int status = spng_decode_image(ctx.get(), nullptr, 0, format, flags);
    if (status != 0) {
        reason = libraryReason(status, input.tap);
        return failed(input);
    }
    if (!checkChunks(input.tap, h, reason) || !decodeRows(ctx.get(), h, *image, input.tap, reason))
        return failed(input);
    // The rest of the file up to the end chunk, as the 8-bit reader reads it.
    if (const int rest = spng_decode_chunks(ctx.get()); rest != 0) {
        reason = libraryReason(rest, input.tap);
        return failed(input);
    }
    if (!checkChunks(input.tap, h, reason) || !finishEndChunk(input, reason))
        return failed(input);
    premultiplyInPlace(*image);
    return image;
}

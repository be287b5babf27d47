// Every PNG file that is not read by the program's own reader (1, 2, 4 or 16 bits per sample, or
// interlaced) is read through the PNG library, to the same pixels.

#include "formats/png_decoders.h"
#include "formats/png_metadata.h"

#include "image/straight_colour.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
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

    void see(const std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            std::size_t take = 0;
            switch (stage) {
            case Stage::Signature:
            case Stage::Checksum:
                take = std::min(n, wanted - got);
                got += take;
                if (got == wanted)
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

    png::MetadataChunks metadata;
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

// A failed reading: null, or std::bad_alloc when it ended because the budget refused a metadata block.
ImagePtr failed(const LibraryInput& input) {
    if (input.outOfMemory)
        throw std::bad_alloc();
    return nullptr;
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
    ImagePtr image = createImageForOverwrite(h.width, h.height);
    const int format = h.depth == 16 ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
    const int status =
        spng_decode_image(ctx.get(), nullptr, 0, format, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
    if (status != 0) {
        reason = libraryReason(status);
        return failed(input);
    }
    if (!decodeRows(ctx.get(), h, *image, reason))
        return failed(input);
    // The rest of the file up to the end chunk, as the 8-bit reader reads it.
    if (const int rest = spng_decode_chunks(ctx.get()); rest != 0) {
        reason = libraryReason(rest);
        return failed(input);
    }
    premultiplyInPlace(*image);
    return image;
}

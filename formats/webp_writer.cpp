#include "formats/codecs.h"
#include "formats/icc_profile.h"
#include "system/memory_budget.h"
#include "system/thread_pool.h"

#include "image/straight_colour.h"
#include "system/file_replacement.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>
#include <webp/encode.h>
#include <webp/mux.h>

namespace {

constexpr std::size_t outputBufferBytes = std::size_t{1} << 20;

// The effort of lossless compression, the library's preset level 0 (fastest) to 9 (smallest). On two
// 5120 x 2880 pictures, one photographic and one rendered, level 1 took 4 to 5 s of one core and wrote
// files 0.7 % and 5 % above the smallest of any level; level 0 took under 2 s but wrote 6 % and 9 % more
// than level 1, and the levels from 2 up took 5 s to 2 minutes for at most 5 % less.
constexpr int losslessLevel = 1;

// What the library holds while it encodes, in bytes a pixel: the picture of ARGB words and the encoder's
// own buffers, as measured at the peak of writing a 5120 x 2880 picture (about 7 times the image's size
// for lossless, 1.6 times for lossy).
constexpr std::size_t losslessEncoderBytesPerPixel = 28;
constexpr std::size_t lossyEncoderBytesPerPixel = 7;

// The library hands over the file in pieces; a failed write stops the encoding.
int writePiece(const std::uint8_t* data, std::size_t size, const WebPPicture* picture) {
    auto& out = *static_cast<OutputBuffer*>(picture->custom_ptr);
    while (size > 0) {
        const std::size_t n = std::min(size, out.capacity());
        std::uint8_t* room = out.room(n);
        if (room == nullptr)
            return 0;
        std::memcpy(room, data, n);
        out.commit(n);
        data += n;
        size -= n;
    }
    return 1;
}

// A WebPPicture released however the writing ends.
class Picture {
public:
    Picture() { WebPPictureInit(&picture); }
    ~Picture() { WebPPictureFree(&picture); }
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    WebPPicture* get() { return &picture; }

private:
    WebPPicture picture;
};

// The image's straight colour as the picture's ARGB words (alpha in the top byte, blue in the bottom one).
void fillPicture(WebPPicture& picture, const Image& image) {
    picture.use_argb = 1;
    picture.width = static_cast<int>(image.width);
    picture.height = static_cast<int>(image.height);
    if (WebPPictureAlloc(&picture) == 0)
        throw std::bad_alloc();
    std::vector<std::uint8_t> straight(image.rowBytes());
    for (std::uint32_t y = 0; y < image.height; ++y) {
        straightenPixels(image.pixel(0, y), image.width, straight.data(), ChannelOrder::Rgba);
        std::uint32_t* out = picture.argb + std::size_t{y} * static_cast<std::size_t>(picture.argb_stride);
        const std::uint8_t* p = straight.data();
        for (std::uint32_t x = 0; x < image.width; ++x, p += 4)
            out[x] = std::uint32_t{p[3]} << 24 | std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
    }
}

// Lossless keeps every straight pixel exactly, the colour under alpha 0 included; lossy uses the quality
// with the library's other defaults. Either way a picture whose every pixel is opaque is written without
// an alpha channel.
bool configure(WebPConfig& config, int quality) {
    if (WebPConfigInit(&config) == 0)
        return false;
    if (quality == 0) {
        if (WebPConfigLosslessPreset(&config, losslessLevel) == 0)
            return false;
        config.exact = 1;
    } else {
        config.lossless = 0;
        config.quality = static_cast<float>(quality);
    }
    // With more than one thread the library compresses a lossy picture's alpha plane beside its colour,
    // and splits its first analysis of the picture in two: the file's bytes are the same either way (on
    // 5120 x 2880 pictures, whole and cut, with and without alpha, lossy and lossless), the peak memory
    // too. A lossy picture with alpha spends close to half its work on the alpha plane, which then runs
    // beside the rest; one without gains a few per cent, and lossless at this level runs on one thread
    // whatever is asked.
    config.thread_level = threadCount() > 1 ? 1 : 0;
    return WebPValidateConfig(&config) != 0;
}

// The metadata an image's file carries: the profile when it is an RGB one (the pixels written are RGB),
// EXIF and XMP as they are. All empty when there is nothing to carry.
struct Blocks {
    const std::vector<std::uint8_t>* icc = nullptr;
    const std::vector<std::uint8_t>* exif = nullptr;
    const std::vector<std::uint8_t>* xmp = nullptr;
    bool empty() const { return icc == nullptr && exif == nullptr && xmp == nullptr; }
};

Blocks blocksOf(const Image& image) {
    Blocks b;
    if (image.metadata == nullptr)
        return b;
    const ImageMetadata& m = *image.metadata;
    if (iccColourSpace(m.icc()) == IccSpace::Rgb)
        b.icc = &m.icc();
    if (!m.exif().empty())
        b.exif = &m.exif();
    if (!m.xmp().empty())
        b.xmp = &m.xmp();
    return b;
}

struct MemoryWriter {
    MemoryWriter() { WebPMemoryWriterInit(&writer); }
    ~MemoryWriter() { WebPMemoryWriterClear(&writer); }
    MemoryWriter(const MemoryWriter&) = delete;
    MemoryWriter& operator=(const MemoryWriter&) = delete;
    WebPMemoryWriter writer;
};

struct MuxDeleter {
    void operator()(WebPMux* mux) const { WebPMuxDelete(mux); }
};

struct AssembledFile {
    AssembledFile() { WebPDataInit(&data); }
    ~AssembledFile() { WebPDataClear(&data); }
    AssembledFile(const AssembledFile&) = delete;
    AssembledFile& operator=(const AssembledFile&) = delete;
    WebPData data;
};

bool setChunk(WebPMux* mux, const char* fourcc, const std::vector<std::uint8_t>* block) {
    if (block == nullptr)
        return true;
    const WebPData data{block->data(), block->size()};
    return WebPMuxSetChunk(mux, fourcc, &data, 0) == WEBP_MUX_OK;
}

// The encoded image in the extended layout with the metadata's chunks: VP8X with the flags of what follows
// (profile, alpha, EXIF, XMP), ICCP, the image data (ALPH and VP8, or VP8L), EXIF, XMP.
bool writeWithMetadata(const std::uint8_t* encoded, std::size_t size, const Blocks& blocks,
                       OutputBuffer& out) {
    const WebPData bitstream{encoded, size};
    const std::unique_ptr<WebPMux, MuxDeleter> mux(WebPMuxCreate(&bitstream, 0));
    if (mux == nullptr)
        throw std::bad_alloc(); // the bitstream is the encoder's own: only memory can fail here
    if (!setChunk(mux.get(), "ICCP", blocks.icc) || !setChunk(mux.get(), "EXIF", blocks.exif) ||
        !setChunk(mux.get(), "XMP ", blocks.xmp))
        return false;
    AssembledFile file;
    if (WebPMuxAssemble(mux.get(), &file.data) != WEBP_MUX_OK)
        return false;
    out.put(file.data.bytes, file.data.size);
    return true;
}

} // namespace

bool encodeWebp(const Image& image, int quality, int fd) {
    WebPConfig config;
    if (!configure(config, quality))
        return false;
    const std::size_t perPixel = quality == 0 ? losslessEncoderBytesPerPixel : lossyEncoderBytesPerPixel;
    // The encoder's working copy, the output buffer, and the row straightened into the picture.
    const MemoryReservation encoder(std::size_t{image.width} * image.height * perPixel + outputBufferBytes +
                                    image.rowBytes());
    Picture picture;
    fillPicture(*picture.get(), image);
    OutputBuffer out(fd, outputBufferBytes);
    // Without metadata the encoder writes the file as it goes; with it, the encoded image is assembled
    // with the metadata's chunks in memory first.
    const Blocks blocks = blocksOf(image);
    MemoryWriter encoded;
    if (blocks.empty()) {
        picture.get()->writer = writePiece;
        picture.get()->custom_ptr = &out;
    } else {
        picture.get()->writer = WebPMemoryWrite;
        picture.get()->custom_ptr = &encoded.writer;
    }
    if (WebPEncode(&config, picture.get()) == 0) {
        const WebPEncodingError error = picture.get()->error_code;
        if (error == VP8_ENC_ERROR_OUT_OF_MEMORY || error == VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY)
            throw std::bad_alloc();
        return false;
    }
    if (!blocks.empty()) {
        // The encoded image and the assembled file, which holds it and the blocks again.
        const std::size_t blockBytes = (blocks.icc ? blocks.icc->size() : 0) +
                                       (blocks.exif ? blocks.exif->size() : 0) +
                                       (blocks.xmp ? blocks.xmp->size() : 0);
        const MemoryReservation assembly(2 * encoded.writer.size + blockBytes);
        if (!writeWithMetadata(encoded.writer.mem, encoded.writer.size, blocks, out))
            return false;
    }
    return out.flush();
}

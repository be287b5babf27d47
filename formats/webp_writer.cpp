#include "formats/codecs.h"
#include "system/memory_budget.h"

#include "image/straight_colour.h"
#include "system/file_replacement.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>
#include <webp/encode.h>

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
    return WebPValidateConfig(&config) != 0;
}

} // namespace

bool encodeWebp(const Image& image, int quality, int fd) {
    WebPConfig config;
    if (!configure(config, quality))
        return false;
    const std::size_t perPixel = quality == 0 ? losslessEncoderBytesPerPixel : lossyEncoderBytesPerPixel;
    const MemoryReservation encoder(std::size_t{image.width} * image.height * perPixel);
    Picture picture;
    fillPicture(*picture.get(), image);
    OutputBuffer out(fd, outputBufferBytes);
    picture.get()->writer = writePiece;
    picture.get()->custom_ptr = &out;
    if (WebPEncode(&config, picture.get()) == 0) {
        const WebPEncodingError error = picture.get()->error_code;
        if (error == VP8_ENC_ERROR_OUT_OF_MEMORY || error == VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY)
            throw std::bad_alloc();
        return false;
    }
    return out.flush();
}

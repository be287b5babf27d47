#include "tests/support/webp_files.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <webp/encode.h>

namespace {

// The bytes before a simple file's chunks: "RIFF", the size, "WEBP".
constexpr std::size_t riffHeaderBytes = 12;

int appendBytes(const std::uint8_t* data, std::size_t size, const WebPPicture* picture) {
    auto* out = static_cast<Bytes*>(picture->custom_ptr);
    out->insert(out->end(), data, data + size);
    return 1;
}

void putLittle(Bytes& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putChunk(Bytes& out, const char* tag, const Bytes& payload) {
    out.insert(out.end(), tag, tag + 4);
    putLittle(out, static_cast<std::uint32_t>(payload.size()), 4);
    out.insert(out.end(), payload.begin(), payload.end());
    if (payload.size() % 2 != 0)
        out.push_back(0);
}

// One animation frame: its place and size, a duration of 100 ms, no blending, no disposal, then the
// chunks of a simple lossless file of its pixels.
Bytes framePayload(const Bytes& rgba, unsigned width, unsigned height, unsigned x, unsigned y) {
    Bytes payload;
    putLittle(payload, x / 2, 3);
    putLittle(payload, y / 2, 3);
    putLittle(payload, width - 1, 3);
    putLittle(payload, height - 1, 3);
    putLittle(payload, 100, 3);
    payload.push_back(0x02); // do not blend
    const Bytes simple = makeWebp(rgba, width, height, 0);
    payload.insert(payload.end(), simple.begin() + riffHeaderBytes, simple.end());
    return payload;
}

} // namespace

Bytes makeWebp(const Bytes& rgba, unsigned width, unsigned height, int quality) {
    WebPConfig config;
    WebPConfigInit(&config);
    if (quality == 0) {
        config.lossless = 1;
        config.exact = 1;
    } else {
        config.quality = static_cast<float>(quality);
    }
    WebPPicture picture;
    WebPPictureInit(&picture);
    picture.use_argb = 1;
    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    Bytes out;
    picture.writer = appendBytes;
    picture.custom_ptr = &out;
    const bool ok = WebPPictureImportRGBA(&picture, rgba.data(), static_cast<int>(width * 4)) != 0 &&
                    WebPEncode(&config, &picture) != 0;
    WebPPictureFree(&picture);
    if (!ok)
        throw std::runtime_error("libwebp could not encode a test image");
    return out;
}

Bytes makeAnimatedWebp(unsigned width, unsigned height, const Bytes& rgba, unsigned frameWidth,
                       unsigned frameHeight, unsigned x, unsigned y) {
    Bytes vp8x;
    vp8x.push_back(0x12); // animation and alpha
    putLittle(vp8x, 0, 3);
    putLittle(vp8x, width - 1, 3);
    putLittle(vp8x, height - 1, 3);
    Bytes anim;
    putLittle(anim, 0xFF00FF00u, 4); // a background colour, which readers composing frames ignore
    putLittle(anim, 0, 2);           // loop forever
    Bytes red(std::size_t{width} * height * 4, 0);
    for (std::size_t i = 0; i < red.size(); i += 4)
        red[i] = red[i + 3] = 255;
    Bytes body{'W', 'E', 'B', 'P'};
    putChunk(body, "VP8X", vp8x);
    putChunk(body, "ANIM", anim);
    putChunk(body, "ANMF", framePayload(rgba, frameWidth, frameHeight, x, y));
    putChunk(body, "ANMF", framePayload(red, width, height, 0, 0));
    Bytes file{'R', 'I', 'F', 'F'};
    putLittle(file, static_cast<std::uint32_t>(body.size()), 4);
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

Bytes webpPattern(unsigned width, unsigned height, bool translucent) {
    Bytes out(std::size_t{width} * height * 4);
    std::uint32_t noise = 987654321;
    for (std::size_t i = 0, n = 0; i < out.size(); i += 4, ++n) {
        const auto x = static_cast<unsigned>(n % width);
        const auto y = static_cast<unsigned>(n / width);
        noise = noise * 1103515245u + 12345u;
        out[i] = static_cast<std::uint8_t>(x * 255 / width);
        out[i + 1] = static_cast<std::uint8_t>(y * 255 / height);
        out[i + 2] = static_cast<std::uint8_t>(noise >> 24);
        out[i + 3] = translucent ? static_cast<std::uint8_t>(n * 7) : 255;
    }
    return out;
}

#include "tests/support/png_files.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <spng.h>
#include <stdexcept>

namespace {

struct ContextFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Context = std::unique_ptr<spng_ctx, ContextFree>;

unsigned samplesPerPixel(std::uint8_t colourType) {
    switch (colourType) {
    case 2:
        return 3;
    case 4:
        return 2;
    case 6:
        return 4;
    default:
        return 1;
    }
}

void check(int status, const char* what) {
    if (status != 0)
        throw std::runtime_error(std::string(what) + ": " + spng_strerror(status));
}

} // namespace

std::size_t pngRowBytes(const PngLayout& layout) {
    const std::size_t bits = std::size_t{layout.width} * samplesPerPixel(layout.colourType) * layout.depth;
    return (bits + 7) / 8;
}

std::vector<std::uint8_t> encodeWithLibrary(const PngLayout& layout) {
    Context ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    check(spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1), "buffer");
    spng_ihdr ihdr{layout.width,
                   layout.height,
                   layout.depth,
                   layout.colourType,
                   0,
                   0,
                   static_cast<std::uint8_t>(layout.interlaced ? 1 : 0)};
    check(spng_set_ihdr(ctx.get(), &ihdr), "ihdr");
    if (!layout.palette.empty()) {
        spng_plte plte{};
        plte.n_entries = static_cast<std::uint32_t>(layout.palette.size() / 3);
        for (std::size_t i = 0; i < plte.n_entries; ++i)
            plte.entries[i] = {layout.palette[3 * i], layout.palette[3 * i + 1], layout.palette[3 * i + 2],
                               255};
        check(spng_set_plte(ctx.get(), &plte), "plte");
    }
    if (!layout.paletteAlpha.empty() || layout.hasKey) {
        spng_trns trns{};
        trns.gray = layout.key[0];
        trns.red = layout.key[0];
        trns.green = layout.key[1];
        trns.blue = layout.key[2];
        trns.n_type3_entries = static_cast<std::uint32_t>(layout.paletteAlpha.size());
        if (!layout.paletteAlpha.empty())
            std::memcpy(trns.type3_alpha, layout.paletteAlpha.data(), layout.paletteAlpha.size());
        check(spng_set_trns(ctx.get(), &trns), "trns");
    }
    // The library takes 16-bit samples in the machine's byte order.
    std::vector<std::uint8_t> samples = layout.samples;
    for (std::size_t i = 0; layout.depth == 16 && i + 1 < samples.size(); i += 2) {
        const std::uint16_t v = static_cast<std::uint16_t>(samples[i] << 8 | samples[i + 1]);
        std::memcpy(samples.data() + i, &v, 2);
    }
    check(spng_encode_image(ctx.get(), samples.data(), samples.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE),
          "encode");
    std::size_t size = 0;
    int error = 0;
    void* bytes = spng_get_png_buffer(ctx.get(), &size, &error);
    check(error, "buffer");
    std::vector<std::uint8_t> file(static_cast<std::uint8_t*>(bytes),
                                   static_cast<std::uint8_t*>(bytes) + size);
    std::free(bytes);
    return file;
}

std::vector<std::uint8_t> decodeWithLibrary(const std::vector<std::uint8_t>& file) {
    Context ctx(spng_ctx_new(0));
    spng_set_png_buffer(ctx.get(), file.data(), file.size());
    spng_ihdr ihdr{};
    if (spng_get_ihdr(ctx.get(), &ihdr) != 0)
        return {};
    const bool wide = ihdr.bit_depth == 16;
    const int format = wide ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
    std::size_t size = 0;
    if (spng_decoded_image_size(ctx.get(), format, &size) != 0)
        return {};
    std::vector<std::uint8_t> decoded(size);
    if (spng_decode_image(ctx.get(), decoded.data(), size, format, SPNG_DECODE_TRNS) != 0)
        return {};
    if (!wide)
        return decoded;
    std::vector<std::uint8_t> narrow(size / 2);
    for (std::size_t i = 0; i < narrow.size(); ++i) {
        std::uint16_t v;
        std::memcpy(&v, decoded.data() + 2 * i, 2);
        narrow[i] = static_cast<std::uint8_t>((std::uint32_t{v} * 255 + 32767) / 65535);
    }
    return narrow;
}

// Writing PNM and PAM files: P7 with the smallest tuple type that holds the image, P6 (colour) and P5 (grey),
// all with maxval 255. Pixels go out as straight colour; P6 and P5 drop alpha once the colour is straight.

#include "formats/codecs.h"
#include "image/straight_colour.h"
#include "system/file_replacement.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

namespace {

// The output is gathered in a buffer of at most this size, and rows are straightened in pieces that fit in
// it, so that neither grows with the width of the image.
constexpr std::size_t outputCapacity = std::size_t{1} << 20;
constexpr std::size_t piecePixels = 16384;
// Room for a header in the buffer of an image of few pixels, so that even an empty image has a buffer.
constexpr std::size_t headerRoom = 256;
static_assert(piecePixels * bytesPerPixel <= outputCapacity);

// What each pixel of the file holds, taken from its straight colour.
enum class Samples {
    Grey,      // red, for pixels whose three colours are equal
    GreyAlpha, // red and alpha, likewise
    Rgb,
    Rgba,
    Luminance, // the weighted grey value of the three colours
};

unsigned channelsOf(Samples samples) {
    switch (samples) {
    case Samples::Grey:
    case Samples::Luminance:
        return 1;
    case Samples::GreyAlpha:
        return 2;
    case Samples::Rgb:
        return 3;
    case Samples::Rgba:
        break;
    }
    return 4;
}

// Whether n pixels are all opaque, eight bytes at a time.
bool allOpaque(const std::uint8_t* in, std::size_t n) {
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t alphas = 0xFF000000FF000000u;
        std::uint64_t all = alphas;
        for (; i + 2 <= n; i += 2) {
            std::uint64_t w;
            std::memcpy(&w, in + 4 * i, sizeof w);
            all &= w;
        }
        if ((all & alphas) != alphas)
            return false;
    }
    for (; i < n; ++i)
        if (in[4 * i + 3] != 255)
            return false;
    return true;
}

// ---- The tuple type of a PAM file ----

struct Tone {
    bool grey = true;   // every pixel's straight red, green and blue are equal
    bool opaque = true; // every pixel has alpha 255
};

// Straight colour is what goes into the file, so greyness is judged on it: distinct premultiplied colours
// of a pixel can straighten to the same value. Once a colour pixel is found only alpha is left to check,
// which the premultiplied pixels show as they are.
Tone toneOf(const Image& image, std::uint8_t* straight) {
    Tone tone;
    for (std::uint32_t y = 0; y < image.height && (tone.grey || tone.opaque); ++y) {
        for (std::size_t x = 0; x < image.width; x += piecePixels) {
            const std::size_t n = std::min(piecePixels, std::size_t{image.width} - x);
            const std::uint8_t* in = image.pixel(static_cast<std::uint32_t>(x), y);
            bool grey = tone.grey;
            bool opaque = tone.opaque;
            if (grey) {
                straightenPixels(in, n, straight, ChannelOrder::Rgba);
                for (std::size_t i = 0; i < n; ++i) {
                    const std::uint8_t* p = straight + 4 * i;
                    grey &= p[0] == p[1] && p[1] == p[2];
                    opaque &= p[3] == 255;
                }
            } else {
                opaque = allOpaque(in, n);
            }
            tone = {grey, opaque};
        }
    }
    return tone;
}

struct PamType {
    const char* name;
    Samples samples;
};

PamType pamType(const Tone& tone) {
    if (tone.grey)
        return tone.opaque ? PamType{"GRAYSCALE", Samples::Grey}
                           : PamType{"GRAYSCALE_ALPHA", Samples::GreyAlpha};
    return tone.opaque ? PamType{"RGB", Samples::Rgb} : PamType{"RGB_ALPHA", Samples::Rgba};
}

// ---- Pixels ----

// The grey weights of red, green and blue: the single-precision values of 0.21, 0.72 and 0.07 used as
// doubles, the grey value the desaturate verb takes. They sum to slightly more than 1, which rounding the
// sum to single precision absorbs: a grey pixel keeps its value, and white stays 255.
struct GreyProducts {
    std::array<double, 256> red, green, blue;
};
const GreyProducts& greyProducts() {
    static const GreyProducts products = [] {
        GreyProducts p{};
        for (std::size_t c = 0; c < 256; ++c) {
            p.red[c] = static_cast<double>(c) * static_cast<double>(0.21f);
            p.green[c] = static_cast<double>(c) * static_cast<double>(0.72f);
            p.blue[c] = static_cast<double>(c) * static_cast<double>(0.07f);
        }
        return p;
    }();
    return products;
}

// Red, green and blue of n pixels, alpha dropped.
void packRgb(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Four pixels to three little-endian words: each pixel's low 24 bits, one after the other.
        constexpr std::uint32_t colour = 0xFFFFFFu;
        for (; i + 4 <= n; i += 4, in += 16, out += 12) {
            std::uint32_t p[4];
            std::memcpy(p, in, sizeof p);
            const std::uint32_t w[3] = {(p[0] & colour) | (p[1] << 24), ((p[1] & colour) >> 8) | (p[2] << 16),
                                        ((p[2] & colour) >> 16) | (p[3] << 8)};
            std::memcpy(out, w, sizeof w);
        }
    }
    for (; i < n; ++i, in += 4, out += 3) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
    }
}

// n pixels of straight colour (red, green, blue, alpha) to the samples of the file.
void pack(Samples samples, const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    switch (samples) {
    case Samples::Grey:
        for (std::size_t i = 0; i < n; ++i)
            out[i] = in[4 * i];
        break;
    case Samples::GreyAlpha:
        for (std::size_t i = 0; i < n; ++i) {
            out[2 * i] = in[4 * i];
            out[2 * i + 1] = in[4 * i + 3];
        }
        break;
    case Samples::Rgb:
        packRgb(in, n, out);
        break;
    case Samples::Rgba:
        std::copy(in, in + 4 * n, out);
        break;
    case Samples::Luminance: {
        const GreyProducts& w = greyProducts();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* p = in + 4 * i;
            // The sum lies in 0..255, and so does its rounding to single precision.
            const float grey = static_cast<float>((w.red[p[0]] + w.green[p[1]]) + w.blue[p[2]]);
            out[i] = truncToByte(grey);
        }
        break;
    }
    }
}

// The bytes of straight colour of the widest piece of a row of the image.
std::size_t pieceBytes(const Image& image) {
    return std::min(piecePixels, std::size_t{image.width}) * bytesPerPixel;
}

bool writePixels(const Image& image, Samples samples, OutputBuffer& out) {
    std::vector<std::uint8_t> straight(pieceBytes(image));
    const unsigned channels = channelsOf(samples);
    for (std::uint32_t y = 0; y < image.height; ++y) {
        for (std::size_t x = 0; x < image.width; x += piecePixels) {
            const std::size_t n = std::min(piecePixels, std::size_t{image.width} - x);
            std::uint8_t* to = out.room(n * channels);
            if (to == nullptr)
                return false;
            const std::uint8_t* in = image.pixel(static_cast<std::uint32_t>(x), y);
            if (samples == Samples::Rgba) {
                straightenPixels(in, n, to, ChannelOrder::Rgba);
            } else if (allOpaque(in, n)) {
                pack(samples, in, n, to); // at alpha 255 the straight colour is the stored colour
            } else {
                straightenPixels(in, n, straight.data(), ChannelOrder::Rgba);
                pack(samples, straight.data(), n, to);
            }
            out.commit(n * channels);
        }
    }
    return out.flush();
}

} // namespace

bool encodePnm(const Image& image, PnmKind kind, int fd) {
    // The output buffer (no larger than the pixels of a small image) and the piece of straight colour a
    // row is packed through count in the budget before they are taken. A piece of a row never needs more
    // room than the buffer has: it is at most a row, and the buffer holds every row of a small image.
    const std::size_t capacity = std::min<std::uint64_t>(outputCapacity, headerRoom + image.byteCount());
    const MemoryReservation reserved(capacity + pieceBytes(image));
    const std::string size = std::to_string(image.width) + " " + std::to_string(image.height);
    std::string header;
    Samples samples = Samples::Rgb;
    switch (kind) {
    case PnmKind::Pam: {
        std::vector<std::uint8_t> straight(pieceBytes(image));
        const PamType type = pamType(toneOf(image, straight.data()));
        samples = type.samples;
        header = "P7\nWIDTH " + std::to_string(image.width) + "\nHEIGHT " + std::to_string(image.height) +
                 "\nDEPTH " + std::to_string(channelsOf(samples)) + "\nMAXVAL 255\nTUPLTYPE " + type.name +
                 "\nENDHDR\n";
        break;
    }
    case PnmKind::Ppm:
        header = "P6\n" + size + "\n255\n";
        break;
    case PnmKind::Pgm:
        samples = Samples::Luminance;
        header = "P5\n" + size + "\n255\n";
        break;
    }
    OutputBuffer out(fd, capacity);
    out.put(header.data(), header.size());
    return writePixels(image, samples, out);
}

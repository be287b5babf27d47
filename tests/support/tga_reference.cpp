#include "tests/support/tga_reference.h"

#include <array>

std::uint8_t referencePremultiply(std::uint8_t c, std::uint8_t a) {
    const double colour = c / 255.0;
    const double coverage = a / 255.0;
    return static_cast<std::uint8_t>(static_cast<int>(colour * coverage * 255.0));
}

namespace {

// A 5-bit or 6-bit channel widened to a byte: times 8.2258 or 4.0476 rounded to single precision (written
// out here as the exact values of those floats), truncated; so 31 and 63 both give 254.
std::uint32_t widen(std::uint32_t value, unsigned bits) {
    const double factor = bits == 5 ? 8.225799560546875 : 4.04759979248046875;
    return static_cast<std::uint32_t>(value * factor);
}

// A byte stream whose reads past the end fail, like getc at end of file.
struct Stream {
    const std::vector<std::uint8_t>& data;
    std::size_t pos = 0;
    int get() { return pos < data.size() ? data[pos++] : -1; }
};

std::array<std::uint8_t, 4> toRgba(unsigned width, std::uint32_t v, unsigned alphaBits, bool grey,
                                   unsigned depth) {
    std::uint32_t w = v; // blue 0-7, green 8-15, red 16-23, alpha 24-31
    auto pack = [](std::uint32_t r, std::uint32_t g, std::uint32_t b, std::uint32_t a) {
        return (a << 24) | (r << 16) | (g << 8) | b;
    };
    if (grey && depth == 8) {
        w = pack(v & 255, v & 255, v & 255, 255);
    } else if (grey && depth == 16) {
        w = pack(v & 255, v & 255, v & 255, alphaBits != 0 ? (v >> 8) & 255 : 255);
    } else if (width == 15 || (width == 16 && alphaBits == 1)) {
        w = pack(widen((v >> 10) & 31, 5), widen((v >> 5) & 31, 5), widen(v & 31, 5), 255);
    } else if (width == 16) {
        w = pack(widen((v >> 11) & 31, 5), widen((v >> 5) & 63, 6), widen(v & 31, 5), 255);
    } else if (width == 24 || (width == 32 && alphaBits == 0)) {
        w = (v & 0xFFFFFF) | 0xFF000000u;
    }
    const auto a = static_cast<std::uint8_t>(w >> 24);
    return {referencePremultiply(static_cast<std::uint8_t>(w >> 16), a),
            referencePremultiply(static_cast<std::uint8_t>(w >> 8), a),
            referencePremultiply(static_cast<std::uint8_t>(w), a), a};
}

} // namespace

ImagePtr referenceDecode(const std::vector<std::uint8_t>& file, int& code) {
    code = 0;
    if (file.size() < 18) {
        code = 1;
        return nullptr;
    }
    const std::uint8_t* h = file.data();
    const unsigned idLength = h[0], mapType = h[1], type = h[2];
    const auto twoBytes = [h](int at) { return static_cast<unsigned>(h[at] | h[at + 1] << 8); };
    const unsigned mapLength = twoBytes(5), entrySize = h[7];
    const std::uint32_t width = twoBytes(12), height = twoBytes(14);
    const unsigned depth = h[16], descriptor = h[17];
    const std::uint32_t count = width * height;
    if (count == 0) {
        code = 11;
        return nullptr;
    }
    const unsigned alphaBits = descriptor & 15;
    Stream in{file, 18 + std::size_t{idLength}};
    if (type == 0) {
        code = 5;
        return nullptr;
    }
    const bool grey = type == 3 || type == 11;
    std::vector<std::uint32_t> map;
    unsigned entryBytes = 0;
    if (mapType != 0) {
        if (grey) {
            code = 6;
            return nullptr;
        }
        if (entrySize != 15 && entrySize != 16 && entrySize != 24 && entrySize != 32) {
            code = 7;
            return nullptr;
        }
        entryBytes = (entrySize + 7) / 8;
        for (unsigned k = 0; k < mapLength; ++k) {
            std::uint32_t e = 0;
            for (unsigned i = 0; i < entryBytes; ++i) {
                const int c = in.get();
                if (c < 0) {
                    code = 8;
                    return nullptr;
                }
                e |= std::uint32_t(c) << (8 * i);
            }
            map.push_back(e);
        }
    }
    if (type != 1 && type != 2 && type != 3 && type != 9 && type != 10 && type != 11) {
        code = 10;
        return nullptr;
    }
    const unsigned pixelBytes = depth == 0 ? 1 : (depth + 7) / 8;
    const unsigned valueWidth = mapType != 0 ? entrySize : depth;
    ImagePtr image = createImage(width, height); // bottom row first until the end

    bool bad = false;
    auto readPixel = [&]() -> std::array<std::uint8_t, 4> {
        std::uint32_t v = 0;
        for (unsigned i = 0; i < pixelBytes; ++i) {
            const int c = in.get();
            if (c < 0)
                v = 0;
            else if (i < 4)
                v |= std::uint32_t(c) << (8 * i);
        }
        if (pixelBytes == 2 && (v & 0x8000))
            v |= 0xFFFF0000u;
        if (mapType != 0) {
            if (v >= map.size()) {
                bad = true;
                return {};
            }
            v = map[v];
        }
        return toRgba(valueWidth, v, alphaBits, grey, depth);
    };
    auto store = [&](const std::array<std::uint8_t, 4>& p, std::uint32_t n) {
        std::uint32_t x = n % width, y = n / width;
        if (descriptor & 0x10)
            x = width - 1 - x;
        if (descriptor & 0x20)
            y = height - 1 - y;
        std::uint8_t* out = image->pixel(x, y);
        for (int i = 0; i < 4; ++i)
            out[i] = p[static_cast<std::size_t>(i)];
    };
    if (type < 9) {
        for (std::uint32_t n = 0; n < count && !bad; ++n) {
            const auto p = readPixel();
            store(p, n);
        }
    } else {
        for (std::uint32_t n = 0; n < count && !bad;) {
            int header = in.get();
            if (header < 0)
                header = 1;
            const std::uint32_t k = (header & 0x7F) + 1u;
            if (header & 0x80) {
                const auto p = readPixel();
                for (std::uint32_t i = 0; i < k && n + i < count; ++i)
                    store(p, n + i);
            } else {
                for (std::uint32_t i = 0; i < k && n + i < count && !bad; ++i)
                    store(readPixel(), n + i);
            }
            n += k;
        }
    }
    if (bad) {
        code = 8;
        return nullptr;
    }
    flipRows(*image);
    return image;
}

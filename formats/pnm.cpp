// Reading PNM and PAM files: P1 and P4 (bits), P2 and P5 (grey), P3 and P6 (colour), P7 (grey or colour,
// with or without alpha). Plain variants (P1 to P3) hold their samples as decimal text, raw ones (P4 to P7)
// as bytes. Only the first image of a file is read; whatever follows it is left alone.
//
// Every variant goes the same way: a reader gives the samples of the next piece of a row, scaled to 8
// bits, and the piece is turned into image pixels by its layout (grey, grey and alpha, colour, colour and
// alpha). Rows are taken in pieces so that the buffers stay small however wide the image is. A file that
// ends before its last pixel, or holds a sample it may not, is refused as a whole.

#include "formats/codecs.h"
#include "formats/pnm_header.h"
#include "image/straight_colour.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char endsEarly[] = "PNM: file ends early";
constexpr char aboveMaxval[] = "PNM: sample above maxval";
constexpr char badSample[] = "PNM: bad sample";

// Pixels decoded at a time. A multiple of 8, so that every piece of a P4 row but its last starts on a byte.
constexpr std::size_t piecePixels = 4096;
static_assert(piecePixels % 8 == 0);
constexpr std::size_t maxChannels = 4;
constexpr std::size_t maxSampleBytes = 2;
constexpr std::uint32_t byteMaxval = 255;
constexpr std::uint8_t white = 255;
constexpr std::uint8_t black = 0;
// The longest tuple type name a message repeats.
constexpr std::size_t shownNameLength = 40;

// How the samples of a pixel become an image pixel.
enum class Layout { Grey, GreyAlpha, Rgb, RgbAlpha };

unsigned channelsOf(Layout layout) {
    switch (layout) {
    case Layout::Grey:
        return 1;
    case Layout::GreyAlpha:
        return 2;
    case Layout::Rgb:
        return 3;
    case Layout::RgbAlpha:
        break;
    }
    return 4;
}

// ---- Which layout a header asks for ----

struct TupleType {
    const char* name;
    std::uint32_t depth;
    Layout layout;
    bool bitsOnly; // only with maxval 1
};
constexpr TupleType tupleTypes[] = {
    {"GRAYSCALE", 1, Layout::Grey, false},    {"GRAYSCALE_ALPHA", 2, Layout::GreyAlpha, false},
    {"RGB", 3, Layout::Rgb, false},           {"RGB_ALPHA", 4, Layout::RgbAlpha, false},
    {"BLACKANDWHITE", 1, Layout::Grey, true}, {"BLACKANDWHITE_ALPHA", 2, Layout::GreyAlpha, true},
};
// A P7 file without a tuple type: its depth decides.
constexpr Layout layoutsByDepth[] = {Layout::Grey, Layout::GreyAlpha, Layout::Rgb, Layout::RgbAlpha};

// A tuple type as a message shows it: printable characters only, cut short when long.
std::string shownName(const std::string& name) {
    std::string shown;
    for (const char c : name.substr(0, shownNameLength))
        shown += c >= ' ' && c <= '~' ? c : '?';
    return name.size() > shownNameLength ? shown + "..." : shown;
}

std::optional<Layout> pamLayout(const PnmHeader& h, std::string& reason) {
    if (!h.tupleType) {
        if (h.depth <= std::size(layoutsByDepth))
            return layoutsByDepth[h.depth - 1];
        reason = "PNM: unsupported depth " + std::to_string(h.depth);
        return std::nullopt;
    }
    const std::string refused = "PNM: unsupported tuple type " + shownName(*h.tupleType);
    for (const TupleType& t : tupleTypes) {
        if (*h.tupleType != t.name)
            continue;
        if (h.depth != t.depth) {
            reason = "PNM: unsupported depth " + std::to_string(h.depth);
            return std::nullopt;
        }
        if (t.bitsOnly && h.maxval != 1) {
            reason = "PNM: unsupported maxval " + std::to_string(h.maxval);
            return std::nullopt;
        }
        return t.layout;
    }
    reason = refused;
    return std::nullopt;
}

std::optional<Layout> chooseLayout(const PnmHeader& h, std::string& reason) {
    switch (h.variant) {
    case 3:
    case 6:
        return Layout::Rgb;
    case 7:
        return pamLayout(h, reason);
    default:
        return Layout::Grey;
    }
}

// ---- 8-bit samples to image pixels ----

void greyToPixels(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
#if defined(__SSE2__)
    // 16 pixels at a time: each grey byte paired with itself and with 255, then the pairs interleaved.
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    for (; i + 16 <= n; i += 16) {
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i greyLow = _mm_unpacklo_epi8(g, g);
        const __m128i alphaLow = _mm_unpacklo_epi8(g, opaque);
        const __m128i greyHigh = _mm_unpackhi_epi8(g, g);
        const __m128i alphaHigh = _mm_unpackhi_epi8(g, opaque);
        auto* to = reinterpret_cast<__m128i*>(out + 4 * i);
        _mm_storeu_si128(to, _mm_unpacklo_epi16(greyLow, alphaLow));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(greyLow, alphaLow));
        _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(greyHigh, alphaHigh));
        _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(greyHigh, alphaHigh));
    }
#endif
    for (; i < n; ++i) {
        out[4 * i] = out[4 * i + 1] = out[4 * i + 2] = in[i];
        out[4 * i + 3] = 255;
    }
}

void rgbToPixels(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Four pixels from three little-endian words, each pixel's red-green-blue gathered into the low 24
        // bits of a word and alpha set above them.
        constexpr std::uint32_t alpha = 0xFF000000u;
        for (; i + 4 <= n; i += 4, in += 12, out += 16) {
            std::uint32_t w[3];
            std::memcpy(w, in, sizeof w);
            const std::uint32_t p[4] = {w[0] | alpha, (w[0] >> 24) | (w[1] << 8) | alpha,
                                        (w[1] >> 16) | (w[2] << 16) | alpha, (w[2] >> 8) | alpha};
            std::memcpy(out, p, sizeof p);
        }
    }
    for (; i < n; ++i, in += 3, out += 4) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        out[3] = 255;
    }
}

// `straight` holds n pixels: grey and alpha become straight colour there, then premultiplied into `out`.
void greyAlphaToPixels(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::uint8_t* straight) {
    for (std::size_t i = 0; i < n; ++i) {
        straight[4 * i] = straight[4 * i + 1] = straight[4 * i + 2] = in[2 * i];
        straight[4 * i + 3] = in[2 * i + 1];
    }
    premultiplyPixels(straight, n, out, ChannelOrder::Rgba);
}

void samplesToPixels(Layout layout, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                     std::uint8_t* straight) {
    switch (layout) {
    case Layout::Grey:
        greyToPixels(in, n, out);
        break;
    case Layout::GreyAlpha:
        greyAlphaToPixels(in, n, out, straight);
        break;
    case Layout::Rgb:
        rgbToPixels(in, n, out);
        break;
    case Layout::RgbAlpha:
        premultiplyPixels(in, n, out, ChannelOrder::Rgba);
        break;
    }
}

// ---- Readers: the samples of the next piece of a row, scaled to 8 bits ----

// The working memory of one decode, sized for a piece of the widest pixels.
struct Buffers {
    std::vector<std::uint8_t> raw = std::vector<std::uint8_t>(piecePixels * maxChannels * maxSampleBytes);
    std::vector<std::uint8_t> samples = std::vector<std::uint8_t>(piecePixels * maxChannels);
    std::vector<std::uint8_t> straight = std::vector<std::uint8_t>(piecePixels * bytesPerPixel);
};

// Every sample 0..maxval scaled to 8 bits, rounded to nearest: (v * 255 + maxval / 2) / maxval.
std::vector<std::uint8_t> scaleTable(std::uint32_t maxval) {
    std::vector<std::uint8_t> table(std::size_t{maxval} + 1);
    for (std::uint32_t v = 0; v <= maxval; ++v)
        table[v] = static_cast<std::uint8_t>((v * 255 + maxval / 2) / maxval);
    return table;
}

// The next n bytes of the source, consumed: read in place where its buffer holds them whole, else copied to
// `spare`, which has room for them. Null when the data ends first.
const std::uint8_t* take(ByteSource& source, std::size_t n, std::uint8_t* spare) {
    if (source.available() >= n) {
        const std::uint8_t* bytes = source.data();
        source.advance(n);
        return bytes;
    }
    return source.readExactly(spare, n) ? spare : nullptr;
}

// P5, P6 and P7: samples of one byte, or of two bytes high byte first when the maxval is above 255.
class RawSamples {
public:
    RawSamples(ByteSource& s, const PnmHeader& h, unsigned channelCount, Buffers& b)
        : source(s), buffers(b), channels(channelCount), maxval(h.maxval),
          sampleBytes(h.maxval > byteMaxval ? 2 : 1), table(scaleTable(h.maxval)) {}

    const std::uint8_t* next(std::size_t pixels, std::string& reason) {
        const std::size_t count = pixels * channels;
        const std::uint8_t* bytes = take(source, count * sampleBytes, buffers.raw.data());
        if (bytes == nullptr) {
            reason = endsEarly;
            return nullptr;
        }
        if (sampleBytes == 1 && maxval == byteMaxval)
            return bytes; // already 8-bit samples
        if (!(sampleBytes == 1 ? scaleBytes(bytes, count) : scaleWords(bytes, count))) {
            reason = aboveMaxval;
            return nullptr;
        }
        return buffers.samples.data();
    }

private:
    // The whole piece is checked against the maxval first, so that both loops stay free of branches.
    bool scaleBytes(const std::uint8_t* in, std::size_t count) {
        std::uint8_t largest = 0;
        for (std::size_t i = 0; i < count; ++i)
            largest = std::max(largest, in[i]);
        if (largest > maxval)
            return false;
        std::uint8_t* out = buffers.samples.data();
        for (std::size_t i = 0; i < count; ++i)
            out[i] = table[in[i]];
        return true;
    }
    bool scaleWords(const std::uint8_t* in, std::size_t count) {
        auto word = [in](std::size_t i) { return std::uint32_t{in[2 * i]} << 8 | in[2 * i + 1]; };
        std::uint32_t largest = 0;
        for (std::size_t i = 0; i < count; ++i)
            largest = std::max(largest, word(i));
        if (largest > maxval)
            return false;
        std::uint8_t* out = buffers.samples.data();
        for (std::size_t i = 0; i < count; ++i)
            out[i] = table[word(i)];
        return true;
    }

    ByteSource& source;
    Buffers& buffers;
    unsigned channels;
    std::uint32_t maxval;
    unsigned sampleBytes;
    std::vector<std::uint8_t> table;
};

// P4: one bit a pixel, the first pixel in the high bit, 1 for black; each row fills whole bytes, and the
// bits that pad its last byte are ignored.
class RawBits {
public:
    RawBits(ByteSource& s, Buffers& b) : source(s), buffers(b) {}

    const std::uint8_t* next(std::size_t pixels, std::string& reason) {
        const std::uint8_t* bytes = take(source, (pixels + 7) / 8, buffers.raw.data());
        if (bytes == nullptr) {
            reason = endsEarly;
            return nullptr;
        }
        std::uint8_t* out = buffers.samples.data();
        for (std::size_t i = 0; i < pixels; ++i)
            out[i] = ((bytes[i / 8] >> (7 - i % 8)) & 1) != 0 ? black : white;
        return out;
    }

private:
    ByteSource& source;
    Buffers& buffers;
};

// P1, P2 and P3: samples as decimal text, separated by whitespace and comments. P1 has one digit a
// pixel, 1 for black, and its digits may follow each other without a separator.
class TextSamples {
public:
    TextSamples(ByteSource& s, const PnmHeader& h, unsigned channelCount, Buffers& b)
        : source(s), buffers(b), channels(channelCount), bits(h.variant == 1), maxval(h.maxval),
          table(scaleTable(h.maxval)) {}

    const std::uint8_t* next(std::size_t pixels, std::string& reason) {
        std::uint8_t* out = buffers.samples.data();
        for (std::size_t i = 0; i < pixels * channels; ++i) {
            const int c = nextSignificant();
            if (c < 0) {
                reason = endsEarly;
                return nullptr;
            }
            if (bits ? c != '0' && c != '1' : !isDigit(c)) {
                reason = badSample;
                return nullptr;
            }
            if (bits) {
                out[i] = c == '1' ? black : white;
                source.advance(1);
                continue;
            }
            const std::optional<std::uint32_t> value = number();
            if (!value) {
                reason = endsEarly;
                return nullptr;
            }
            if (*value > maxval) {
                reason = aboveMaxval;
                return nullptr;
            }
            out[i] = table[*value];
        }
        return out;
    }

private:
    static bool isDigit(int c) { return c >= '0' && c <= '9'; }
    static bool isWhitespace(int c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    }

    // The next byte that is neither whitespace nor in a comment, not consumed; -1 at the end of the data.
    int nextSignificant() {
        bool inComment = false;
        while (source.available() > 0) {
            const std::uint8_t c = *source.data();
            if (inComment)
                inComment = c != '\n' && c != '\r';
            else if (c == '#')
                inComment = true;
            else if (!isWhitespace(c))
                return c;
            source.advance(1);
        }
        return -1;
    }

    // The digits at the front of the source as a number; any number above the largest maxval reads as
    // 65536, so that a long run of digits cannot overflow. None when the data ends right after the
    // digits: the number may have been cut short ("12" read as "1"), so a plain file must end with
    // whitespace (or anything that is not a digit) after its last sample.
    std::optional<std::uint32_t> number() {
        constexpr std::uint32_t beyondAnyMaxval = 65536;
        std::uint32_t value = 0;
        for (;;) {
            if (source.available() == 0)
                return std::nullopt;
            if (!isDigit(*source.data()))
                return value;
            value = std::min(value * 10 + static_cast<std::uint32_t>(*source.data() - '0'), beyondAnyMaxval);
            source.advance(1);
        }
    }

    ByteSource& source;
    Buffers& buffers;
    unsigned channels;
    bool bits;
    std::uint32_t maxval;
    std::vector<std::uint8_t> table;
};

// ---- The pixels ----

template <typename Reader>
bool decodeRows(Reader& reader, Layout layout, Image& image, Buffers& buffers, std::string& reason) {
    for (std::uint32_t y = 0; y < image.height; ++y) {
        std::uint8_t* row = image.pixel(0, y);
        for (std::size_t x = 0; x < image.width;) {
            const std::size_t n = std::min(piecePixels, std::size_t{image.width} - x);
            const std::uint8_t* samples = reader.next(n, reason);
            if (samples == nullptr)
                return false;
            samplesToPixels(layout, samples, n, row + x * bytesPerPixel, buffers.straight.data());
            x += n;
        }
    }
    return true;
}

bool decodePixels(ByteSource& source, const PnmHeader& h, Layout layout, Image& image, std::string& reason) {
    // The pieces of rows and the table of scaled samples count in the budget like every reader's rows.
    constexpr std::size_t bufferBytes =
        piecePixels * maxChannels * maxSampleBytes + piecePixels * maxChannels + piecePixels * bytesPerPixel;
    const MemoryReservation reserved(bufferBytes + std::size_t{h.maxval} + 1);
    Buffers buffers;
    const unsigned channels = channelsOf(layout);
    switch (h.variant) {
    case 1:
    case 2:
    case 3: {
        TextSamples reader(source, h, channels, buffers);
        return decodeRows(reader, layout, image, buffers, reason);
    }
    case 4: {
        RawBits reader(source, buffers);
        return decodeRows(reader, layout, image, buffers, reason);
    }
    default: {
        RawSamples reader(source, h, channels, buffers);
        return decodeRows(reader, layout, image, buffers, reason);
    }
    }
}

} // namespace

bool matchesPnm(const std::uint8_t* head, std::size_t size) {
    return looksLikePnm(head, size);
}

ImagePtr decodePnm(ByteSource& source, std::string& reason) {
    const std::optional<PnmHeader> header = readPnmHeader(source, reason);
    if (!header)
        return nullptr;
    const std::optional<Layout> layout = chooseLayout(*header, reason);
    if (!layout)
        return nullptr;
    // Every pixel is written before the image is returned; a failure drops it whole.
    ImagePtr image = createImageForOverwrite(header->width, header->height);
    if (!decodePixels(source, *header, *layout, *image, reason))
        return nullptr;
    return image;
}

#include "image/straight_colour.h"

#include "system/thread_pool.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

std::uint8_t premultiplyFormula(std::uint8_t c, std::uint8_t a) {
    const double value = ((c / 255.0) * (a / 255.0)) * 255.0;
    // value lies in 0..255, so the conversion is defined.
    return static_cast<std::uint8_t>(static_cast<int>(value));
}

std::uint8_t straightColourFormula(std::uint8_t c, std::uint8_t a) {
    float v = static_cast<float>(c / 255.0);
    const float alpha = static_cast<float>(a / 255.0);
    // Only a zero alpha byte fails this test; such a pixel keeps its stored colour.
    if (alpha > 0.0001)
        v = static_cast<float>(static_cast<double>(v) / static_cast<double>(alpha));
    if (v > 1.0)
        return 255;
    const float scaled = static_cast<float>(static_cast<double>(v) * 255.0);
    // scaled lies in 0..255.
    return static_cast<std::uint8_t>(static_cast<int>(scaled));
}

std::uint8_t straightAlphaFormula(std::uint8_t a) {
    const float alpha = static_cast<float>(a / 255.0);
    return static_cast<std::uint8_t>(static_cast<int>(static_cast<double>(alpha) * 255.0));
}

namespace {

StraightColourTables buildTables() {
    StraightColourTables t{};
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned c = 0; c < 256; ++c) {
            const auto cb = static_cast<std::uint8_t>(c);
            const auto ab = static_cast<std::uint8_t>(a);
            t.premultiply[a * 256 + c] = premultiplyFormula(cb, ab);
            t.straightColour[a * 256 + c] = straightColourFormula(cb, ab);
        }
        t.straightAlpha[a] = straightAlphaFormula(static_cast<std::uint8_t>(a));
    }
    return t;
}

// Where red and blue sit in a pixel of the given order; green is always byte 1 and alpha byte 3.
template <ChannelOrder Order> constexpr unsigned redAt = Order == ChannelOrder::Rgba ? 0 : 2;
template <ChannelOrder Order> constexpr unsigned blueAt = 2 - redAt<Order>;

// ---- Straight colour to premultiplied ----
//
// The premultiplied value equals the integer quotient c * a / 255 except for a few pairs whose product is
// a multiple of 255 and for which the double arithmetic falls just short (c = 195, a = 17 gives 12, not
// 13). None of those pairs has c or a equal to 255. So where SSE2 is available, four pixels at a time take
// the quotient, and a group of four in which some colour times its alpha is a nonzero multiple of 255 (c
// and a below 255) is redone through the table, which holds the formula itself.

template <ChannelOrder Order>
void premultiplyOne(const std::uint8_t* in, std::uint8_t* out, const std::uint8_t* table) {
    const std::uint8_t alpha = in[3];
    const std::uint8_t* row = table + std::size_t{alpha} * 256;
    out[0] = row[in[redAt<Order>]];
    out[1] = row[in[1]];
    out[2] = row[in[blueAt<Order>]];
    out[3] = alpha;
}

#if defined(__SSE2__)
// Two pixels widened to 16-bit lanes in the file's order: red-green-blue-alpha out, colours premultiplied
// by the integer quotient, and in `doubtful` the lanes whose quotient may differ from the formula.
template <ChannelOrder Order> __m128i premultiplyTwo(__m128i v, __m128i& doubtful) {
    if constexpr (Order == ChannelOrder::Bgra) {
        constexpr int redGreenBlueAlpha = _MM_SHUFFLE(3, 0, 1, 2);
        v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, redGreenBlueAlpha), redGreenBlueAlpha);
    }
    constexpr int alphaEverywhere = _MM_SHUFFLE(3, 3, 3, 3);
    // Each lane's factor: the pixel's alpha, and 255 for the alpha lane itself, which so stays as it is.
    const __m128i a =
        _mm_or_si128(_mm_shufflehi_epi16(_mm_shufflelo_epi16(v, alphaEverywhere), alphaEverywhere),
                     _mm_set_epi16(255, 0, 0, 0, 255, 0, 0, 0));
    const __m128i x = _mm_mullo_epi16(v, a); // at most 255 * 255, exact in 16 bits
    // x / 255 for every 16-bit x.
    const __m128i q = _mm_srli_epi16(_mm_mulhi_epu16(x, _mm_set1_epi16(static_cast<short>(0x8081))), 7);
    // A quotient equal to c or a means a = 255 or c = 255 (or a product of 0): never an exception.
    const __m128i multiple = _mm_cmpeq_epi16(_mm_mullo_epi16(q, _mm_set1_epi16(255)), x);
    const __m128i exempt = _mm_or_si128(_mm_cmpeq_epi16(q, v), _mm_cmpeq_epi16(q, a));
    doubtful = _mm_andnot_si128(exempt, multiple);
    return q;
}

// Red and blue exchanged in four pixels.
inline __m128i swapRedBlue(__m128i v) {
    const __m128i greenAlpha = _mm_set1_epi32(static_cast<int>(0xFF00FF00u));
    const __m128i low = _mm_set1_epi32(0xFF);
    return _mm_or_si128(
        _mm_and_si128(v, greenAlpha),
        _mm_or_si128(_mm_and_si128(_mm_srli_epi32(v, 16), low), _mm_slli_epi32(_mm_and_si128(v, low), 16)));
}

// Four pixels; true when one of them must be redone through the table.
template <ChannelOrder Order> bool premultiplyFour(const std::uint8_t* in, std::uint8_t* out) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(v, alpha), alpha)) == 0xFFFF) {
        // Four opaque pixels: at most red and blue exchanged, nothing else.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Order == ChannelOrder::Bgra ? swapRedBlue(v) : v);
        return false;
    }
    const __m128i zero = _mm_setzero_si128();
    __m128i doubtfulLow, doubtfulHigh;
    const __m128i low = premultiplyTwo<Order>(_mm_unpacklo_epi8(v, zero), doubtfulLow);
    const __m128i high = premultiplyTwo<Order>(_mm_unpackhi_epi8(v, zero), doubtfulHigh);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(low, high));
    return _mm_movemask_epi8(_mm_or_si128(doubtfulLow, doubtfulHigh)) != 0;
}
#endif

template <ChannelOrder Order> void premultiplyAll(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    const std::uint8_t* table = straightColourTables().premultiply;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Groups of four with a doubtful lane are noted and redone afterwards, so that the loop over the groups
    // has no branch that depends on the pixels' values.
    constexpr std::size_t groupsPerPass = 256;
    std::size_t redo[groupsPerPass];
    while (n - i >= 4) {
        const std::size_t stop = i + 4 * std::min(groupsPerPass, (n - i) / 4);
        std::size_t count = 0;
        for (; i < stop; i += 4) {
            redo[count] = i;
            count += static_cast<std::size_t>(premultiplyFour<Order>(in + 4 * i, out + 4 * i));
        }
        for (std::size_t k = 0; k < count; ++k)
            for (std::size_t p = redo[k]; p < redo[k] + 4; ++p)
                premultiplyOne<Order>(in + 4 * p, out + 4 * p, table);
    }
#endif
    for (; i < n; ++i)
        premultiplyOne<Order>(in + 4 * i, out + 4 * i, table);
}

// ---- Premultiplied to straight colour ----

template <ChannelOrder Order>
void straightenOne(const std::uint8_t* in, std::uint8_t* out, const StraightColourTables& t) {
    const std::uint8_t alpha = in[3];
    if (alpha == 255) {
        out[redAt<Order>] = in[0];
        out[1] = in[1];
        out[blueAt<Order>] = in[2];
    } else {
        const std::uint8_t* straight = t.straightColour + std::size_t{alpha} * 256;
        out[redAt<Order>] = straight[in[0]];
        out[1] = straight[in[1]];
        out[blueAt<Order>] = straight[in[2]];
    }
    out[3] = t.straightAlpha[alpha];
}

// Two opaque pixels at a time keep their colour (red and blue exchanged where the order asks for it); the
// others go through the tables.
template <ChannelOrder Order> void straightenAll(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    const StraightColourTables& t = straightColourTables();
    std::size_t x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t alphas = 0xFF000000FF000000u;
        constexpr std::uint64_t greenAlpha = 0xFF00FF00FF00FF00u;
        constexpr std::uint64_t low = 0x000000FF000000FFu;
        for (; x + 2 <= n; x += 2, in += 8, out += 8) {
            std::uint64_t w;
            std::memcpy(&w, in, 8);
            if ((w & alphas) == alphas) {
                if constexpr (Order == ChannelOrder::Bgra)
                    w = (w & greenAlpha) | ((w >> 16) & low) | ((w & low) << 16);
                std::memcpy(out, &w, 8);
            } else {
                straightenOne<Order>(in, out, t);
                straightenOne<Order>(in + 4, out + 4, t);
            }
        }
    }
    for (; x < n; ++x, in += 4, out += 4)
        straightenOne<Order>(in, out, t);
}

} // namespace

const StraightColourTables& straightColourTables() {
    static const StraightColourTables tables = buildTables();
    return tables;
}

namespace {

// Runs convert(in, n, out) over the n pixels in pieces, in parallel when there are many: every pixel is
// converted on its own, so the pieces, whose edges follow from n alone, give the same bytes on any thread.
// A reader or writer that converts row by row passes too few pixels at a time to share, and runs inline.
template <class Convert>
void convertInPieces(const std::uint8_t* in, std::size_t n, std::uint8_t* out, Convert convert) {
    constexpr std::size_t pixelBytes = 4;
    straightColourTables(); // built here once, before any piece looks it up
    forEachRowBand(static_cast<std::int64_t>(n), pixelBytes, [&](RowBand piece) {
        const auto at = static_cast<std::size_t>(piece.begin);
        convert(in + pixelBytes * at, static_cast<std::size_t>(piece.end) - at, out + pixelBytes * at);
    });
}

} // namespace

void premultiplyPixels(const std::uint8_t* in, std::size_t n, std::uint8_t* out, ChannelOrder order) {
    if (order == ChannelOrder::Rgba)
        convertInPieces(in, n, out, premultiplyAll<ChannelOrder::Rgba>);
    else
        convertInPieces(in, n, out, premultiplyAll<ChannelOrder::Bgra>);
}

void straightenPixels(const std::uint8_t* in, std::size_t n, std::uint8_t* out, ChannelOrder order) {
    if (order == ChannelOrder::Rgba)
        convertInPieces(in, n, out, straightenAll<ChannelOrder::Rgba>);
    else
        convertInPieces(in, n, out, straightenAll<ChannelOrder::Bgra>);
}

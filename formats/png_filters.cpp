#include "formats/png_filters.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace png {

namespace {

std::uint8_t paethPredictor(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    if (pa <= pb && pa <= pc)
        return static_cast<std::uint8_t>(a);
    if (pb <= pc)
        return static_cast<std::uint8_t>(b);
    return static_cast<std::uint8_t>(c);
}

std::uint8_t predictor(std::uint8_t filter, int a, int b, int c) {
    switch (filter) {
    case Sub:
        return static_cast<std::uint8_t>(a);
    case Up:
        return static_cast<std::uint8_t>(b);
    case Average:
        return static_cast<std::uint8_t>((a + b) / 2);
    case Paeth:
        return paethPredictor(a, b, c);
    default:
        return 0;
    }
}

// The prediction of byte i of a row from the image bytes around it.
std::uint8_t predict(std::uint8_t filter, const std::uint8_t* row, const std::uint8_t* previous,
                     std::size_t i, unsigned bpp) {
    const int a = i >= bpp ? row[i - bpp] : 0;
    const int c = i >= bpp ? previous[i - bpp] : 0;
    return predictor(filter, a, previous[i], c);
}

// A filtered byte's distance from 0, taken as a signed byte.
unsigned distance(std::uint8_t v) {
    return v < 128 ? v : 256u - v;
}

// ---- Unfiltering, one filter at a time ----
//
// Sub, Average and Paeth depend on the byte just unfiltered one pixel to the left, so each pixel waits for
// the one before; the loops keep that chain as short as they can. Up depends only on the row above.

template <typename Predict>
void unfilterScalar(std::uint8_t* row, const std::uint8_t* previous, std::size_t n, unsigned bpp,
                    Predict predict) {
    for (std::size_t i = 0; i < bpp && i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + predict(0, previous[i], 0));
    for (std::size_t i = bpp; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + predict(row[i - bpp], previous[i], previous[i - bpp]));
}

#if defined(__SSE2__)
// Bytes as unsigned values: x <= y in every lane, as a mask.
inline __m128i lessOrEqual(__m128i x, __m128i y) {
    return _mm_cmpeq_epi8(_mm_subs_epu8(x, y), _mm_setzero_si128());
}
inline __m128i absoluteDifference(__m128i x, __m128i y) {
    return _mm_or_si128(_mm_subs_epu8(x, y), _mm_subs_epu8(y, x));
}

// The Paeth predictor in every byte lane. With pa = |b - c| and pb = |a - c|, the distance pc = |a + b - 2c|
// is pa + pb when b - c and a - c have the same sign and |pa - pb| otherwise; a sum that saturates at 255
// still compares as the true sum does, since pa and pb are at most 255.
inline __m128i paethLanes(__m128i a, __m128i b, __m128i c) {
    const __m128i pa = absoluteDifference(b, c);
    const __m128i pb = absoluteDifference(a, c);
    const __m128i bAtLeastC = lessOrEqual(c, b);
    const __m128i aAtLeastC = lessOrEqual(c, a);
    const __m128i sameSign = _mm_cmpeq_epi8(bAtLeastC, aAtLeastC);
    const __m128i pc = _mm_or_si128(_mm_and_si128(sameSign, _mm_adds_epu8(pa, pb)),
                                    _mm_andnot_si128(sameSign, absoluteDifference(pa, pb)));
    const __m128i takeA = _mm_and_si128(lessOrEqual(pa, pb), lessOrEqual(pa, pc));
    const __m128i takeB = _mm_andnot_si128(takeA, lessOrEqual(pb, pc));
    const __m128i takeC = _mm_andnot_si128(_mm_or_si128(takeA, takeB), _mm_set1_epi8(-1));
    return _mm_or_si128(_mm_or_si128(_mm_and_si128(takeA, a), _mm_and_si128(takeB, b)),
                        _mm_and_si128(takeC, c));
}

// The average predictor, rounded down, in every byte lane.
inline __m128i averageLanes(__m128i a, __m128i b) {
    return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

// A pixel's bytes to and from the low lanes of a register. The size is a constant, so that the copies
// are single loads and stores rather than a byte loop through memory.
template <unsigned Bpp> inline __m128i loadPixel(const std::uint8_t* p) {
    std::uint32_t v;
    if constexpr (Bpp == 4)
        std::memcpy(&v, p, 4);
    else
        v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
    return _mm_cvtsi32_si128(static_cast<int>(v));
}
template <unsigned Bpp> inline void storePixel(std::uint8_t* p, __m128i v) {
    const auto w = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    if constexpr (Bpp == 4) {
        std::memcpy(p, &w, 4);
    } else {
        p[0] = static_cast<std::uint8_t>(w);
        p[1] = static_cast<std::uint8_t>(w >> 8);
        p[2] = static_cast<std::uint8_t>(w >> 16);
    }
}

inline __m128i absolute16(__m128i x) {
    return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x));
}

// Pixels of 3 or 4 bytes, one pixel per step with its bytes side by side in one register, as 16-bit lanes.
// Each pixel waits for the one before it (a), so the work that needs only the row above (b, c and
// pa = |b - c|) is kept off that chain. With a - c known, pb = |a - c| and pc = |(a - c) + (b - c)|.
// The prediction of one pixel from a (left), b (above) and c (above left), as 16-bit lanes.
template <std::uint8_t Filter> inline __m128i predictPixel(__m128i a, __m128i b, __m128i c) {
    if constexpr (Filter == Sub) {
        return a;
    } else if constexpr (Filter == Average) {
        return _mm_srli_epi16(_mm_add_epi16(a, b), 1);
    } else {
        const __m128i bc = _mm_sub_epi16(b, c);
        const __m128i pa = absolute16(bc);
        const __m128i ac = _mm_sub_epi16(a, c);
        const __m128i pb = absolute16(ac);
        const __m128i pc = absolute16(_mm_add_epi16(ac, bc));
        const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        const __m128i takeC = _mm_cmpgt_epi16(pb, pc);
        const __m128i bOrC = _mm_or_si128(_mm_and_si128(takeC, c), _mm_andnot_si128(takeC, b));
        return _mm_or_si128(_mm_and_si128(notA, bOrC), _mm_andnot_si128(notA, a));
    }
}

// Pixels of 3 or 4 bytes, one pixel per step with its bytes side by side in one register, as 16-bit lanes.
// Each pixel waits for the one before it (a), so the work that needs only the row above (b, c and
// pa = |b - c|) is kept off that chain. With a - c known, pb = |a - c| and pc = |(a - c) + (b - c)|.
//
// Pixels of 3 bytes are moved as 4: the fourth lane carries the next pixel's first byte through unchanged
// (its prediction is cleared), so that a pixel is one load and one store; the last pixel, with no byte
// after it in the row, is moved as 3.
template <std::uint8_t Filter, unsigned Bpp>
void unfilterPixels(std::uint8_t* row, const std::uint8_t* previous, std::size_t n) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lowByte = _mm_set1_epi16(0xFF);
    const __m128i pixelLanes = Bpp == 4 ? _mm_set1_epi16(-1) : _mm_set_epi16(0, 0, 0, 0, 0, -1, -1, -1);
    __m128i a = zero;
    __m128i c = zero;
    std::size_t i = 0;
    // Each pixel's bytes are loaded before the pixel to its left is stored: for 3-byte pixels the two
    // overlap by a byte, and a load that waits on a store it overlaps only in part is slow.
    __m128i x = n >= 4 ? _mm_unpacklo_epi8(loadPixel<4>(row), zero) : zero;
    for (; i + Bpp + 4 <= n; i += Bpp) {
        const __m128i b = _mm_unpacklo_epi8(loadPixel<4>(previous + i), zero);
        const __m128i prediction = _mm_and_si128(predictPixel<Filter>(a, b, c), pixelLanes);
        a = _mm_and_si128(_mm_add_epi16(x, prediction), lowByte);
        x = _mm_unpacklo_epi8(loadPixel<4>(row + i + Bpp), zero);
        storePixel<4>(row + i, _mm_packus_epi16(a, a));
        c = b;
    }
    for (; i + Bpp <= n; i += Bpp) {
        const __m128i b = _mm_unpacklo_epi8(loadPixel<Bpp>(previous + i), zero);
        x = _mm_unpacklo_epi8(loadPixel<Bpp>(row + i), zero);
        a = _mm_and_si128(_mm_add_epi16(x, predictPixel<Filter>(a, b, c)), lowByte);
        storePixel<Bpp>(row + i, _mm_packus_epi16(a, a));
        c = b;
    }
}

template <unsigned Bpp>
void unfilterPixelsOf(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* previous, std::size_t n) {
    if (filter == Sub)
        unfilterPixels<Sub, Bpp>(row, previous, n);
    else if (filter == Average)
        unfilterPixels<Average, Bpp>(row, previous, n);
    else
        unfilterPixels<Paeth, Bpp>(row, previous, n);
}

// Sub, Average or Paeth on whole pixels of 3 or 4 bytes.
void unfilterPixelsOf(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* previous, std::size_t n,
                      unsigned bpp) {
    if (bpp == 3)
        unfilterPixelsOf<3>(filter, row, previous, n);
    else
        unfilterPixelsOf<4>(filter, row, previous, n);
}
#endif

void unfilterUp(std::uint8_t* row, const std::uint8_t* previous, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + previous[i]);
}

} // namespace

bool unfilterRowPlain(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* previous,
                      std::size_t rowBytes, unsigned bytesPerPixel) {
    if (filter >= filterCount)
        return false;
    for (std::size_t i = 0; i < rowBytes; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + predict(filter, row, previous, i, bytesPerPixel));
    return true;
}

bool unfilterRow(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* previous, std::size_t rowBytes,
                 unsigned bytesPerPixel) {
#if defined(__SSE2__)
    if ((bytesPerPixel == 3 || bytesPerPixel == 4) && rowBytes % bytesPerPixel == 0 &&
        (filter == Sub || filter == Average || filter == Paeth)) {
        unfilterPixelsOf(filter, row, previous, rowBytes, bytesPerPixel);
        return true;
    }
#endif
    switch (filter) {
    case None:
        return true;
    case Up:
        unfilterUp(row, previous, rowBytes);
        return true;
    case Sub:
    case Average:
    case Paeth:
        unfilterScalar(row, previous, rowBytes, bytesPerPixel,
                       [filter](int a, int b, int c) { return predictor(filter, a, b, c); });
        return true;
    default:
        return false;
    }
}

// ---- Filtering for writing ----

void filterRowPlain(const std::uint8_t* row, const std::uint8_t* previous, std::size_t rowBytes,
                    unsigned bytesPerPixel, std::uint8_t* out) {
    std::uint64_t best = 0;
    for (std::uint8_t filter = 0; filter < filterCount; ++filter) {
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < rowBytes; ++i)
            sum += distance(
                static_cast<std::uint8_t>(row[i] - predict(filter, row, previous, i, bytesPerPixel)));
        if (filter == 0 || sum < best) {
            best = sum;
            out[0] = filter;
        }
    }
    for (std::size_t i = 0; i < rowBytes; ++i)
        out[1 + i] = static_cast<std::uint8_t>(row[i] - predict(out[0], row, previous, i, bytesPerPixel));
}

namespace {

#if defined(__SSE2__)
// The predictions of all five filters for the 16 bytes at i (i at least bpp, so that a and c can be loaded
// from one pixel before), with each filtered byte's distance from 0 added to its filter's sum.
struct Predictions {
    __m128i lanes[filterCount];
};
inline Predictions predictLanes(const std::uint8_t* row, const std::uint8_t* previous, std::size_t i,
                                unsigned bpp) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i - bpp));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(previous + i));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(previous + i - bpp));
    return Predictions{{_mm_setzero_si128(), a, b, averageLanes(a, b), paethLanes(a, b, c)}};
}

// The sum of every filter's distances over bytes [from, to) with to - from a multiple of 16.
void sumLanes(const std::uint8_t* row, const std::uint8_t* previous, std::size_t from, std::size_t to,
              unsigned bpp, std::uint64_t (&sums)[filterCount]) {
    __m128i totals[filterCount];
    for (__m128i& t : totals)
        t = _mm_setzero_si128();
    for (std::size_t i = from; i < to; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        const Predictions p = predictLanes(row, previous, i, bpp);
        for (unsigned f = 0; f < filterCount; ++f) {
            const __m128i d = _mm_sub_epi8(x, p.lanes[f]);
            const __m128i distances = _mm_min_epu8(d, _mm_sub_epi8(_mm_setzero_si128(), d));
            totals[f] = _mm_add_epi64(totals[f], _mm_sad_epu8(distances, _mm_setzero_si128()));
        }
    }
    for (unsigned f = 0; f < filterCount; ++f) {
        std::uint64_t halves[2];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), totals[f]);
        sums[f] += halves[0] + halves[1];
    }
}

void filterLanes(const std::uint8_t* row, const std::uint8_t* previous, std::size_t from, std::size_t to,
                 unsigned bpp, std::uint8_t filter, std::uint8_t* out) {
    for (std::size_t i = from; i < to; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        const Predictions p = predictLanes(row, previous, i, bpp);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_sub_epi8(x, p.lanes[filter]));
    }
}
#endif

} // namespace

void filterRow(const std::uint8_t* row, const std::uint8_t* previous, std::size_t rowBytes,
               unsigned bytesPerPixel, std::uint8_t* out) {
    // The first pixel (nothing to its left) and the bytes after the last whole 16 are done one at a time.
    const std::size_t head = std::min<std::size_t>(bytesPerPixel, rowBytes);
    std::size_t tail = head;
#if defined(__SSE2__)
    tail = head + (rowBytes - head) / 16 * 16;
#endif
    std::uint64_t sums[filterCount] = {};
    auto scalarSums = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            for (std::uint8_t f = 0; f < filterCount; ++f)
                sums[f] +=
                    distance(static_cast<std::uint8_t>(row[i] - predict(f, row, previous, i, bytesPerPixel)));
    };
    scalarSums(0, head);
#if defined(__SSE2__)
    sumLanes(row, previous, head, tail, bytesPerPixel, sums);
#endif
    scalarSums(tail, rowBytes);
    std::uint8_t best = 0;
    for (std::uint8_t f = 1; f < filterCount; ++f)
        if (sums[f] < sums[best])
            best = f;
    out[0] = best;
    std::uint8_t* filtered = out + 1;
    auto scalarFilter = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            filtered[i] = static_cast<std::uint8_t>(row[i] - predict(best, row, previous, i, bytesPerPixel));
    };
    scalarFilter(0, head);
#if defined(__SSE2__)
    filterLanes(row, previous, head, tail, bytesPerPixel, best, filtered);
#endif
    scalarFilter(tail, rowBytes);
}

} // namespace png

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

inline __m128i loadPixel(const std::uint8_t* p, unsigned bpp) {
    std::uint32_t v = 0;
    std::memcpy(&v, p, bpp);
    return _mm_cvtsi32_si128(static_cast<int>(v));
}
inline void storePixel(std::uint8_t* p, __m128i v, unsigned bpp) {
    const auto w = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    std::memcpy(p, &w, bpp);
}

// Pixels of 3 or 4 bytes, one pixel per step with its bytes side by side in one register.
template <std::uint8_t Filter>
void unfilterPixels(std::uint8_t* row, const std::uint8_t* previous, std::size_t n, unsigned bpp) {
    __m128i a = _mm_setzero_si128();
    __m128i c = _mm_setzero_si128();
    for (std::size_t i = 0; i + bpp <= n; i += bpp) {
        const __m128i b = loadPixel(previous + i, bpp);
        __m128i prediction;
        if constexpr (Filter == Sub)
            prediction = a;
        else if constexpr (Filter == Average)
            prediction = averageLanes(a, b);
        else
            prediction = paethLanes(a, b, c);
        a = _mm_add_epi8(loadPixel(row + i, bpp), prediction);
        storePixel(row + i, a, bpp);
        c = b;
    }
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
    const bool wholePixels = (bytesPerPixel == 3 || bytesPerPixel == 4) && rowBytes % bytesPerPixel == 0;
    if (wholePixels && filter == Sub)
        return unfilterPixels<Sub>(row, previous, rowBytes, bytesPerPixel), true;
    if (wholePixels && filter == Average)
        return unfilterPixels<Average>(row, previous, rowBytes, bytesPerPixel), true;
    if (wholePixels && filter == Paeth)
        return unfilterPixels<Paeth>(row, previous, rowBytes, bytesPerPixel), true;
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

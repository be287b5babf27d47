#include "image/resample.h"

#include "system/memory_budget.h"
#include "system/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr std::int32_t weightOne = std::int32_t{1} << resampleWeightBits;
constexpr std::int32_t weightHalf = weightOne / 2;
// The filter's reach on each side of a target pixel, in (stretched) source pixels.
constexpr double lanczosLobes = 3.0;
// At least this many source pixels per target pixel remain after the box reduction.
constexpr std::uint64_t pixelsLeftPerTarget = 3;
// The box factor's bound: the sum of a block (factor x factor values of at most 255) stays within 32 bits.
constexpr std::uint32_t maxBoxFactor = 4096;

double lanczos3(double x) {
    x = std::fabs(x);
    if (x >= lanczosLobes)
        return 0.0;
    if (x == 0.0)
        return 1.0;
    const double px = std::numbers::pi * x;
    return lanczosLobes * std::sin(px) * std::sin(px / lanczosLobes) / (px * px);
}

// floor(x + 0.5) as a whole number: the nearest, halves up.
std::int64_t nearest(double x) {
    return static_cast<std::int64_t>(std::floor(x + 0.5));
}

// A filtered sum in units of 1/16384 back to a byte value, not yet clamped.
inline std::int32_t unweight(std::int32_t sum) {
    return (sum + weightHalf) >> resampleWeightBits;
}

// Stores a filtered pixel: alpha clamped to 0..255, colour to 0..alpha.
inline void storePixel(std::int32_t r, std::int32_t g, std::int32_t b, std::int32_t a, std::uint8_t* out) {
    const std::int32_t alpha = std::clamp(unweight(a), 0, 255);
    out[0] = static_cast<std::uint8_t>(std::clamp(unweight(r), 0, alpha));
    out[1] = static_cast<std::uint8_t>(std::clamp(unweight(g), 0, alpha));
    out[2] = static_cast<std::uint8_t>(std::clamp(unweight(b), 0, alpha));
    out[3] = static_cast<std::uint8_t>(alpha);
}

// Exact (S + n div 2) div n for S below 2^24 and n up to 65536 by a multiplication: with m = 2^40 div n + 1,
// S x m / 2^40 exceeds S / n by less than 1/n, which never reaches the next whole number. Larger blocks
// divide.
struct BoxDivider {
    std::uint64_t n = 1;
    std::uint64_t multiplier = 0;
    explicit BoxDivider(std::uint64_t count) : n(count) {
        if (n <= 65536)
            multiplier = (std::uint64_t{1} << 40) / n + 1;
    }
    std::uint8_t operator()(std::uint32_t sum) const {
        const std::uint64_t rounded = std::uint64_t{sum} + n / 2;
        return static_cast<std::uint8_t>(multiplier != 0 ? (rounded * multiplier) >> 40 : rounded / n);
    }
};

#if defined(__SSE2__)
// (S + n div 2) div n in each 32-bit lane for 2 <= n <= 4096 and S up to 255 n: with m = 2^32 div n + 1,
// S' x m / 2^32 exceeds S' / n by less than 1/n (S' = S + n div 2 < 2^32 / n), so its whole part is exact.
struct LaneDivider {
    __m128i half, multiplier;
    explicit LaneDivider(std::uint32_t n)
        : half(_mm_set1_epi32(static_cast<std::int32_t>(n / 2))),
          multiplier(_mm_set1_epi32(static_cast<std::int32_t>((std::uint64_t{1} << 32) / n + 1))) {}
    static bool handles(std::uint64_t n) { return n >= 2 && n <= 4096; }
    // The four quotients as the low 4 bytes.
    std::int32_t operator()(__m128i sum) const {
        const __m128i x = _mm_add_epi32(sum, half);
        const __m128i even = _mm_srli_epi64(_mm_mul_epu32(x, multiplier), 32);
        const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(x, 32), multiplier);
        const __m128i q = _mm_or_si128(even, _mm_and_si128(odd, _mm_set_epi32(-1, 0, -1, 0)));
        const __m128i packed = _mm_packs_epi32(q, q);
        return _mm_cvtsi128_si32(_mm_packus_epi16(packed, packed));
    }
};
#endif

// The box average of rows [top, bottom) of `source` over blocks of `factor` columns, into `out` (reduced
// width). `sums` has room for a column sum per channel of the source width.
void boxRow(const Image& source, std::uint32_t top, std::uint32_t bottom, std::uint32_t factor,
            std::uint32_t reducedWidth, std::uint32_t* sums, std::uint8_t* out) {
    const std::size_t values = source.rowBytes();
    std::size_t v = 0;
    std::uint32_t* s = sums;
#if defined(__SSE2__)
    // Sixteen bytes at a time, widened to 32 bits.
    const __m128i zero = _mm_setzero_si128();
    for (; v + 16 <= values; v += 16) {
        __m128i s0 = zero, s1 = zero, s2 = zero, s3 = zero;
        for (std::uint32_t y = top; y < bottom; ++y) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source.pixel(0, y) + v));
            const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
            s0 = _mm_add_epi32(s0, _mm_unpacklo_epi16(low, zero));
            s1 = _mm_add_epi32(s1, _mm_unpackhi_epi16(low, zero));
            s2 = _mm_add_epi32(s2, _mm_unpacklo_epi16(high, zero));
            s3 = _mm_add_epi32(s3, _mm_unpackhi_epi16(high, zero));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(s + v), s0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(s + v + 4), s1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(s + v + 8), s2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(s + v + 12), s3);
    }
#endif
    for (std::size_t i = v; i < values; ++i)
        s[i] = 0;
    for (std::uint32_t y = top; y < bottom; ++y) {
        const std::uint8_t* row = source.pixel(0, y);
        for (std::size_t i = v; i < values; ++i)
            s[i] += row[i];
    }

    const std::uint32_t rows = bottom - top;
    const std::uint32_t lastColumns = source.width - (reducedWidth - 1) * factor;
    std::uint32_t k = 0;
#if defined(__SSE2__)
    // The full blocks, a pixel's four sums in one register.
    const std::uint64_t blockCount = std::uint64_t{rows} * factor;
    if (LaneDivider::handles(blockCount)) {
        const LaneDivider divide(static_cast<std::uint32_t>(blockCount));
        for (; k + 1 < reducedWidth; ++k, out += bytesPerPixel) {
            const std::uint32_t* block = s + std::size_t{k} * factor * bytesPerPixel;
            __m128i sum = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
            for (std::uint32_t c = 1; c < factor; ++c)
                sum = _mm_add_epi32(
                    sum, _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + c * bytesPerPixel)));
            const std::int32_t pixel = divide(sum);
            std::memcpy(out, &pixel, sizeof pixel);
        }
    }
#endif
    const BoxDivider full(std::uint64_t{rows} * factor);
    const BoxDivider last(std::uint64_t{rows} * lastColumns);
    for (; k < reducedWidth; ++k, out += bytesPerPixel) {
        const std::uint32_t columns = k + 1 == reducedWidth ? lastColumns : factor;
        const BoxDivider& divide = k + 1 == reducedWidth ? last : full;
        const std::uint32_t* block = s + std::size_t{k} * factor * bytesPerPixel;
        std::uint32_t r = 0, g = 0, b = 0, a = 0;
        for (std::uint32_t c = 0; c < columns; ++c, block += bytesPerPixel) {
            r += block[0];
            g += block[1];
            b += block[2];
            a += block[3];
        }
        out[0] = divide(r);
        out[1] = divide(g);
        out[2] = divide(b);
        out[3] = divide(a);
    }
}

// Whether every weight of the axis fits in 16 bits, as the SSE2 kernels take them (always, in practice: a
// weight is at most about one and a half).
bool narrowWeights(const ResampleAxis& axis) {
    return std::all_of(axis.weights.begin(), axis.weights.end(),
                       [](std::int32_t w) { return w >= INT16_MIN && w <= INT16_MAX; });
}

#if defined(__SSE2__)
// Four filtered sums (one pixel's channels, or one channel of four pixels each...) in 32-bit lanes to bytes:
// (sum + 8192) >> 14 and clamped to 0..255, the low 4 bytes of the result for one pixel's sums.
inline __m128i unweightLanes(__m128i a, __m128i b, __m128i c, __m128i d) {
    const __m128i half = _mm_set1_epi32(weightHalf);
    a = _mm_srai_epi32(_mm_add_epi32(a, half), resampleWeightBits);
    b = _mm_srai_epi32(_mm_add_epi32(b, half), resampleWeightBits);
    c = _mm_srai_epi32(_mm_add_epi32(c, half), resampleWeightBits);
    d = _mm_srai_epi32(_mm_add_epi32(d, half), resampleWeightBits);
    return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
}

// Each pixel's colour bytes limited to its alpha byte.
inline __m128i limitToAlpha(__m128i pixels) {
    const __m128i alpha = _mm_srli_epi32(pixels, 24);
    const __m128i spread = _mm_or_si128(_mm_or_si128(alpha, _mm_slli_epi32(alpha, 8)),
                                        _mm_or_si128(_mm_slli_epi32(alpha, 16), _mm_slli_epi32(alpha, 24)));
    return _mm_min_epu8(pixels, spread);
}

// Two weights side by side, as _mm_madd_epi16 pairs them with two interleaved values.
inline __m128i weightPair(std::int32_t first, std::int32_t second) {
    return _mm_set1_epi32(static_cast<std::int32_t>(static_cast<std::uint16_t>(first) |
                                                    static_cast<std::uint32_t>(second) << 16));
}
#endif

// Columns pass on one row: `width` pixels, each the weighted sum of `taps` neighbouring pixels of `in`.
void filterAcross(const std::uint8_t* in, const ResampleAxis& axis, bool narrow, std::uint32_t width,
                  std::uint8_t* out) {
    const std::uint32_t taps = axis.taps;
    const std::int32_t* w = axis.weights.data();
#if defined(__SSE2__)
    if (narrow) {
        const __m128i zero = _mm_setzero_si128();
        for (std::uint32_t i = 0; i < width; ++i, w += taps, out += bytesPerPixel) {
            const std::uint8_t* p = in + std::size_t{axis.first[i]} * bytesPerPixel;
            __m128i sum = zero;
            std::uint32_t k = 0;
            // Two pixels at a time: r0 r1 g0 g1 b0 b1 a0 a1 against w0 w1 in each pair.
            for (; k + 2 <= taps; k += 2, p += 2 * bytesPerPixel) {
                const __m128i two =
                    _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
                const __m128i paired = _mm_unpacklo_epi16(two, _mm_srli_si128(two, 8));
                sum = _mm_add_epi32(sum, _mm_madd_epi16(paired, weightPair(w[k], w[k + 1])));
            }
            if (k < taps) {
                std::int32_t one;
                std::memcpy(&one, p, sizeof one);
                const __m128i single =
                    _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(one), zero), zero);
                sum = _mm_add_epi32(sum, _mm_madd_epi16(single, weightPair(w[k], 0)));
            }
            const std::int32_t pixel = _mm_cvtsi128_si32(limitToAlpha(unweightLanes(sum, zero, zero, zero)));
            std::memcpy(out, &pixel, sizeof pixel);
        }
        return;
    }
#endif
    (void)narrow;
    for (std::uint32_t i = 0; i < width; ++i, w += taps, out += bytesPerPixel) {
        const std::uint8_t* p = in + std::size_t{axis.first[i]} * bytesPerPixel;
        std::int32_t r = 0, g = 0, b = 0, a = 0;
        for (std::uint32_t k = 0; k < taps; ++k, p += bytesPerPixel) {
            const std::int32_t weight = w[k];
            r += weight * p[0];
            g += weight * p[1];
            b += weight * p[2];
            a += weight * p[3];
        }
        storePixel(r, g, b, a, out);
    }
}

// Rows pass for one row: every byte of `out` (`bytes` of them) the weighted sum of the same byte in `taps`
// rows.
void filterDown(const std::uint8_t* const* rows, const std::int32_t* w, std::uint32_t taps, bool narrow,
                std::size_t bytes, std::int32_t* sums, std::uint8_t* out) {
    std::size_t v = 0;
#if defined(__SSE2__)
    if (narrow) {
        const __m128i zero = _mm_setzero_si128();
        // Sixteen bytes (four pixels) at a time, with every row's weight applied before they are stored: two
        // rows at a time, each byte of the one beside the same byte of the other.
        for (; v + 16 <= bytes; v += 16) {
            __m128i s0 = zero, s1 = zero, s2 = zero, s3 = zero;
            std::uint32_t k = 0;
            for (; k + 2 <= taps; k += 2) {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + v));
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k + 1] + v));
                const __m128i pair = weightPair(w[k], w[k + 1]);
                const __m128i low = _mm_unpacklo_epi8(a, b), high = _mm_unpackhi_epi8(a, b);
                s0 = _mm_add_epi32(s0, _mm_madd_epi16(_mm_unpacklo_epi8(low, zero), pair));
                s1 = _mm_add_epi32(s1, _mm_madd_epi16(_mm_unpackhi_epi8(low, zero), pair));
                s2 = _mm_add_epi32(s2, _mm_madd_epi16(_mm_unpacklo_epi8(high, zero), pair));
                s3 = _mm_add_epi32(s3, _mm_madd_epi16(_mm_unpackhi_epi8(high, zero), pair));
            }
            if (k < taps) {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + v));
                const __m128i pair = weightPair(w[k], 0);
                const __m128i low = _mm_unpacklo_epi8(a, zero), high = _mm_unpackhi_epi8(a, zero);
                s0 = _mm_add_epi32(s0, _mm_madd_epi16(_mm_unpacklo_epi16(low, zero), pair));
                s1 = _mm_add_epi32(s1, _mm_madd_epi16(_mm_unpackhi_epi16(low, zero), pair));
                s2 = _mm_add_epi32(s2, _mm_madd_epi16(_mm_unpacklo_epi16(high, zero), pair));
                s3 = _mm_add_epi32(s3, _mm_madd_epi16(_mm_unpackhi_epi16(high, zero), pair));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + v),
                             limitToAlpha(unweightLanes(s0, s1, s2, s3)));
        }
    }
#endif
    (void)narrow;
    // The bytes left (all of them without SSE2), a row at a time.
    if (v == bytes)
        return;
    std::fill(sums + v, sums + bytes, 0);
    for (std::uint32_t k = 0; k < taps; ++k) {
        const std::int32_t weight = w[k];
        const std::uint8_t* in = rows[k];
        for (std::size_t i = v; i < bytes; ++i)
            sums[i] += weight * in[i];
    }
    for (std::size_t i = v; i < bytes; i += bytesPerPixel)
        storePixel(sums[i], sums[i + 1], sums[i + 2], sums[i + 3], out + i);
}

} // namespace

ResampleAxis resampleAxis(std::uint32_t sourceSize, std::uint32_t targetSize) {
    ResampleAxis axis;
    const std::uint64_t source = sourceSize, target = targetSize;
    if (source >= 2 * pixelsLeftPerTarget * target)
        axis.factor = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(source / (pixelsLeftPerTarget * target), maxBoxFactor));
    axis.reduced = static_cast<std::uint32_t>((source + axis.factor - 1) / axis.factor);

    // Reduced pixels per target pixel, and the filter stretched by it when shrinking.
    const double scale =
        static_cast<double>(source) / (static_cast<double>(axis.factor) * static_cast<double>(target));
    const double stretch = std::max(scale, 1.0);
    const double reach = lanczosLobes * stretch;

    // Each target pixel's weights over the reduced pixels [low, high), in double, then in whole units.
    std::vector<std::int64_t> low(targetSize), high(targetSize);
    std::uint32_t taps = 0;
    for (std::uint32_t i = 0; i < targetSize; ++i) {
        const double centre = (i + 0.5) * scale;
        low[i] = std::max<std::int64_t>(nearest(centre - reach), 0);
        high[i] = std::min<std::int64_t>(nearest(centre + reach), axis.reduced);
        high[i] = std::max(high[i], low[i] + 1);
        if (high[i] > axis.reduced) // a centre beyond the last pixel (not reached, but kept safe)
            low[i] = axis.reduced - 1, high[i] = axis.reduced;
        taps = std::max(taps, static_cast<std::uint32_t>(high[i] - low[i]));
    }
    axis.taps = taps;
    axis.first.resize(targetSize);
    axis.weights.assign(std::size_t{targetSize} * taps, 0);
    std::vector<double> raw(taps);
    for (std::uint32_t i = 0; i < targetSize; ++i) {
        const double centre = (i + 0.5) * scale;
        const auto count = static_cast<std::uint32_t>(high[i] - low[i]);
        double total = 0;
        for (std::uint32_t k = 0; k < count; ++k) {
            raw[k] = lanczos3((static_cast<double>(low[i] + k) + 0.5 - centre) / stretch);
            total += raw[k];
        }
        // The reads start where the full width of taps still lies in the reduced row; the weights of this
        // pixel sit at their offset within them, zeros around.
        const auto first = static_cast<std::uint32_t>(std::min<std::int64_t>(low[i], axis.reduced - taps));
        axis.first[i] = first;
        std::int32_t* w = axis.weights.data() + std::size_t{i} * taps + (low[i] - first);
        std::int64_t sum = 0;
        std::uint32_t largest = 0;
        for (std::uint32_t k = 0; k < count; ++k) {
            w[k] = total != 0 ? static_cast<std::int32_t>(nearest(raw[k] / total * weightOne)) : 0;
            sum += w[k];
            if (w[k] > w[largest])
                largest = k;
        }
        // Whatever rounding left over goes to the largest weight, so that the weights sum to exactly one.
        w[largest] += static_cast<std::int32_t>(weightOne - sum);
    }
    return axis;
}

namespace {

// Runs fn(slot, task) for every task in [0, tasks), spread over the pool, where `slot` (below `slots`) is
// the same for no two tasks running at once: each slot owns a set of working buffers. What a task makes
// does not depend on its slot.
template <class Fn> void runInSlots(std::size_t slots, std::size_t tasks, Fn&& fn) {
    std::atomic<std::size_t> next{0};
    runParallel(slots, [&](std::size_t slot) {
        for (std::size_t task; (task = next.fetch_add(1, std::memory_order_relaxed)) < tasks;)
            fn(slot, task);
    });
}

} // namespace

ImagePtr resampleImage(const Image& source, std::uint32_t width, std::uint32_t height) {
    const bool sameWidth = width == source.width, sameHeight = height == source.height;
    if (sameWidth && sameHeight)
        return cloneImage(source);
    const ResampleAxis columns = resampleAxis(source.width, width);
    const ResampleAxis rows = resampleAxis(source.height, height);
    const bool boxed = columns.factor > 1 || rows.factor > 1;
    const std::size_t reducedBytes = std::size_t{columns.reduced} * bytesPerPixel;

    // The result is made in bands of rows in parallel, each band of at least minimumBandRows rows. Band i
    // reads the reduced rows [low(i), high(i)).
    constexpr std::uint64_t minimumBandRows = 32;
    const std::uint64_t rowWork =
        std::uint64_t{source.rowBytes()} * std::max<std::uint64_t>(1, source.height / height) +
        std::uint64_t{width} * bytesPerPixel;
    const std::int64_t bandHeight = bandRows(height, std::min(rowWork, bandWorkBytes / minimumBandRows));
    const auto bands = static_cast<std::size_t>((height + bandHeight - 1) / bandHeight);
    const auto bandBegin = [&](std::size_t i) {
        return static_cast<std::uint32_t>(std::int64_t(i) * bandHeight);
    };
    const auto bandEnd = [&](std::size_t i) {
        return static_cast<std::uint32_t>(std::min<std::int64_t>(height, std::int64_t(i + 1) * bandHeight));
    };
    const auto low = [&](std::size_t i) { return sameHeight ? bandBegin(i) : rows.first[bandBegin(i)]; };
    const auto high = [&](std::size_t i) {
        return sameHeight ? bandEnd(i) : rows.first[bandEnd(i) - 1] + rows.taps;
    };

    // Box-reduced rows are made as a band's rows pass first needs them and kept in a ring of as many rows as
    // it reads at once (its reads only move down); without a box the source rows are read where they are.
    // The reduced rows that two bands read (where the ranges of neighbouring bands overlap) are made once,
    // before the bands, into a buffer of their own.
    const std::uint32_t ringRows = boxed ? (sameHeight ? 1 : rows.taps) : 0;
    // Edge k between bands k and k + 1 makes the rows both read that edge k - 1 has not made.
    std::vector<std::uint32_t> edgeFirst(boxed ? bands - 1 : 0), edgeEnd(edgeFirst.size());
    std::size_t sharedRows = 0;
    for (std::size_t k = 0; k < edgeFirst.size(); ++k) {
        edgeFirst[k] = std::max(low(k + 1), k == 0 ? std::uint32_t{0} : high(k - 1));
        edgeEnd[k] = std::max(high(k), edgeFirst[k]);
        sharedRows += edgeEnd[k] - edgeFirst[k];
    }
    // Working buffers for each thread that can work at once; each takes bands until none is left.
    const std::size_t slots = std::min<std::size_t>(bands, threadCount());
    const std::size_t sumValues = boxed ? source.rowBytes() : 0;
    const std::size_t downBytes = sameWidth || sameHeight ? 0 : reducedBytes;
    const std::size_t downSumValues = sameHeight ? 0 : reducedBytes;
    // The tables, the rings, the shared rows and the row buffers count in the budget beside the images.
    const std::size_t tableBytes = (columns.weights.size() + rows.weights.size()) * sizeof(std::int32_t) +
                                   (columns.first.size() + rows.first.size()) * sizeof(std::uint32_t);
    const std::size_t slotBytes = ringRows * reducedBytes + sumValues * sizeof(std::uint32_t) + downBytes +
                                  downSumValues * sizeof(std::int32_t) +
                                  rows.taps * sizeof(const std::uint8_t*);
    const std::size_t sharedBytes =
        sharedRows * reducedBytes + (sharedRows != 0 ? rows.reduced * sizeof(std::uint32_t) : 0);
    MemoryReservation working(tableBytes + slots * slotBytes + sharedBytes);
    ImagePtr result = createImageForOverwrite(width, height);

    std::vector<std::uint8_t> ring(slots * ringRows * reducedBytes);
    std::vector<std::uint32_t> sums(slots * sumValues);
    std::vector<std::uint8_t> down(slots * downBytes);
    std::vector<std::int32_t> downSums(slots * downSumValues);
    std::vector<const std::uint8_t*> taps(slots * rows.taps);
    constexpr std::uint32_t notShared = UINT32_MAX;
    std::vector<std::uint8_t> shared(sharedRows * reducedBytes);
    std::vector<std::uint32_t> sharedIndex(sharedRows != 0 ? rows.reduced : 0, notShared);

    const auto makeReducedRow = [&](std::uint32_t y, std::size_t slot, std::uint8_t* out) {
        const std::uint32_t top = y * rows.factor;
        const auto bottom = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(std::uint64_t{top} + rows.factor, source.height));
        boxRow(source, top, bottom, columns.factor, columns.reduced, sums.data() + slot * sumValues, out);
    };
    if (sharedRows != 0) {
        std::uint32_t index = 0;
        for (std::size_t k = 0; k < edgeFirst.size(); ++k)
            for (std::uint32_t y = edgeFirst[k]; y < edgeEnd[k]; ++y)
                sharedIndex[y] = index++;
        runInSlots(slots, bands - 1, [&](std::size_t slot, std::size_t k) {
            for (std::uint32_t y = edgeFirst[k]; y < edgeEnd[k]; ++y)
                makeReducedRow(y, slot, shared.data() + std::size_t{sharedIndex[y]} * reducedBytes);
        });
    }

    const bool narrowColumns = narrowWeights(columns), narrowRows = narrowWeights(rows);
    runInSlots(slots, bands, [&](std::size_t slot, std::size_t band) {
        std::uint8_t* slotRing = ring.data() + slot * ringRows * reducedBytes;
        std::uint32_t made = low(band); // the box-reduced rows before it are made
        const auto reducedRow = [&](std::uint32_t y) -> const std::uint8_t* {
            if (!boxed)
                return source.pixel(0, y);
            for (; made <= y; ++made)
                if (sharedIndex.empty() || sharedIndex[made] == notShared)
                    makeReducedRow(made, slot, slotRing + (made % ringRows) * reducedBytes);
            if (!sharedIndex.empty() && sharedIndex[y] != notShared)
                return shared.data() + std::size_t{sharedIndex[y]} * reducedBytes;
            return slotRing + (y % ringRows) * reducedBytes;
        };
        std::uint8_t* slotDown = down.data() + slot * downBytes;
        std::int32_t* slotDownSums = downSums.data() + slot * downSumValues;
        const std::uint8_t** slotTaps = taps.data() + slot * rows.taps;
        for (std::uint32_t j = bandBegin(band); j < bandEnd(band); ++j) {
            std::uint8_t* out = result->pixel(0, j);
            // Rows pass (none when the rows keep their count), straight into the result when the width
            // stays.
            const std::uint8_t* row;
            if (sameHeight) {
                row = reducedRow(j);
            } else {
                for (std::uint32_t k = 0; k < rows.taps; ++k)
                    slotTaps[k] = reducedRow(rows.first[j] + k);
                std::uint8_t* target = sameWidth ? out : slotDown;
                filterDown(slotTaps, rows.weights.data() + std::size_t{j} * rows.taps, rows.taps, narrowRows,
                           reducedBytes, slotDownSums, target);
                row = target;
            }
            // Columns pass.
            if (!sameWidth)
                filterAcross(row, columns, narrowColumns, width, out);
            else if (row != out)
                std::memcpy(out, row, result->rowBytes());
        }
    });
    return result;
}

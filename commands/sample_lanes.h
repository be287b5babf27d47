#pragma once

// The sampling machinery of the verbs that copy each result pixel from a computed source position (rotate,
// warp). The result is made in tiles, each a list of stretches of adjacent pixels of one row. For every
// result pixel the verb computes the index of its source pixel; the indices of the next tile are computed,
// and their source pixels prefetched, while the pixels of the current tile are fetched, so that the reads
// of a tile find the source rows it needs in the cache instead of waiting on memory one by one.
//
// With SSE2 the positions are computed four at a time in pairs of doubles, with exactly the operations of
// the one-pixel arithmetic, and truncated in 32-bit lanes.

#include "commands/sampling.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The index of a source position outside the source: its result pixel is transparent black.
inline constexpr std::uint32_t outsideIndex = 0xFFFFFFFFu;

// Whether an image is small enough for 32-bit lanes and indices: every column, row and centre offset (at most
// a side and a half) fits a signed 32-bit integer and every pixel index lies below outsideIndex. Larger
// images take the one-pixel path.
inline bool fitsLanes(const Image& image) {
    return image.width < (1u << 30) && image.height < (1u << 30) &&
           std::uint64_t{image.width} * image.height < (std::uint64_t{1} << 31);
}

// The index of source pixel (sx, sy), or outsideIndex.
inline std::uint32_t sourceIndex(const Image& source, std::int64_t sx, std::int64_t sy) {
    if (sx >= 0 && sx < std::int64_t{source.width} && sy >= 0 && sy < std::int64_t{source.height})
        return static_cast<std::uint32_t>(sy * std::int64_t{source.width} + sx);
    return outsideIndex;
}

#if defined(__SSE2__)

// Two pairs of offsets truncated toward zero, as four 32-bit lanes. An offset outside the 32-bit range comes
// out as -2^31, which lies outside the image once a centre below 2^30 is added, as the one-pixel code's
// truncateOffset does for offsets too large for any image.
inline __m128i truncatePairs(__m128d low, __m128d high) {
    return _mm_unpacklo_epi64(_mm_cvttpd_epi32(low), _mm_cvttpd_epi32(high));
}

// The doubles first and first + step.
inline __m128d countingPair(double first, double step) {
    return _mm_set_pd(first + step, first);
}

// The source indices of four positions (columns and rows in 32-bit lanes), outsideIndex for the positions
// outside the source, for a source that fitsLanes.
class LaneIndexer {
public:
    explicit LaneIndexer(const Image& source)
        : width(_mm_set1_epi32(static_cast<int>(source.width))),
          height(_mm_set1_epi32(static_cast<int>(source.height))),
          biasedWidth(_mm_xor_si128(width, _mm_set1_epi32(INT32_MIN))),
          biasedHeight(_mm_xor_si128(height, _mm_set1_epi32(INT32_MIN))) {}

    __m128i operator()(__m128i sx, __m128i sy) const {
        // 0 <= sx < width as one comparison: with the sign bits flipped, a signed comparison compares the
        // values as unsigned, and a negative sx is then larger than any width.
        const __m128i bias = _mm_set1_epi32(INT32_MIN);
        const __m128i inside = _mm_and_si128(_mm_cmplt_epi32(_mm_xor_si128(sx, bias), biasedWidth),
                                             _mm_cmplt_epi32(_mm_xor_si128(sy, bias), biasedHeight));
        // sy * width + sx: the 32 x 32-bit products of lanes 0 and 2, then of lanes 1 and 3. For positions
        // outside the product may be anything; those lanes become outsideIndex.
        const __m128i even = _mm_mul_epu32(sy, width);
        const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(sy, 32), width);
        const __m128i rows = _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(3, 1, 2, 0)),
                                                _mm_shuffle_epi32(odd, _MM_SHUFFLE(3, 1, 2, 0)));
        return _mm_or_si128(_mm_add_epi32(rows, sx), _mm_andnot_si128(inside, _mm_set1_epi32(-1)));
    }

private:
    __m128i width;
    __m128i height;
    __m128i biasedWidth;
    __m128i biasedHeight;
};

#endif

// Copies the source pixel of each of `count` indices to `out`, transparent black for outsideIndex.
void fetchPixels(const Image& source, const std::uint32_t* index, std::size_t count, std::uint8_t* out);

// Asks the processor to bring the source pixels of `count` indices, and the `count` result pixels at `out`
// they will be copied to, into the cache.
void prefetchPixels(const Image& source, const std::uint32_t* index, std::size_t count, std::uint8_t* out);

// The lists of stretches and indices of sampleInTiles, kept by a caller that runs many sets of tiles so that
// they are not made again for each.
template <typename Stretch> struct SampleBuffers {
    std::vector<Stretch> stretches[2];
    std::vector<std::uint32_t> index[2];
};

// Runs a verb's tiles: `tiles.next(stretches)` fills the stretches of the next tile (false after the last),
// each with `out` (its leftmost result pixel) and `count`; `tiles.indices(stretch, index)` writes the source
// index of each of its pixels, left to right. What a tile's stretches point to besides the result need only
// last until the next call to next(): indices() is called for all of them before that.
// The lists are taken from `buffers`; the second form makes its own.
template <typename Tiles>
void sampleInTiles(const Image& source, Tiles& tiles, SampleBuffers<typename Tiles::Stretch>& buffers) {
    using Stretch = typename Tiles::Stretch;
    auto& stretches = buffers.stretches;
    auto& index = buffers.index;
    auto computeIndices = [&](int which, std::size_t row, std::size_t& at) {
        const Stretch& s = stretches[which][row];
        if (index[which].size() < at + s.count)
            index[which].resize(at + s.count);
        tiles.indices(s, index[which].data() + at);
        prefetchPixels(source, index[which].data() + at, s.count, s.out);
        at += s.count;
    };
    int now = 0;
    bool more = tiles.next(stretches[now]);
    std::size_t ahead = 0;
    for (std::size_t r = 0; more && r < stretches[now].size(); ++r)
        computeIndices(now, r, ahead);
    while (more) {
        const int next = 1 - now;
        more = tiles.next(stretches[next]);
        if (!more)
            stretches[next].clear();
        std::size_t fetched = 0;
        ahead = 0;
        const std::size_t rows = std::max(stretches[now].size(), stretches[next].size());
        for (std::size_t r = 0; r < rows; ++r) {
            if (r < stretches[next].size())
                computeIndices(next, r, ahead);
            if (r < stretches[now].size()) {
                const Stretch& s = stretches[now][r];
                fetchPixels(source, index[now].data() + fetched, s.count, s.out);
                fetched += s.count;
            }
        }
        now = next;
    }
}

template <typename Tiles> void sampleInTiles(const Image& source, Tiles& tiles) {
    SampleBuffers<typename Tiles::Stretch> buffers;
    sampleInTiles(source, tiles, buffers);
}

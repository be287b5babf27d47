#include "commands/sample_lanes.h"

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace {

// The source pixel of one index as a 32-bit word in memory order, 0 for outsideIndex.
std::uint32_t sourceWord(const std::uint8_t* pixels, std::uint32_t index) {
    std::uint32_t word = 0;
    if (index != outsideIndex)
        std::memcpy(&word, pixels + std::size_t{index} * bytesPerPixel, bytesPerPixel);
    return word;
}

} // namespace

void fetchPixels(const Image& source, const std::uint32_t* index, std::size_t count, std::uint8_t* out) {
    const std::uint8_t* pixels = source.pixels.get();
    std::size_t k = 0;
#if defined(__SSE2__)
    // Four at a time without a branch: an outside index reads pixel 0, which every image with pixels has,
    // and its lane is cleared afterwards.
    const __m128i outside = _mm_set1_epi32(-1);
    for (; k + 4 <= count; k += 4, out += 4 * bytesPerPixel) {
        const __m128i at = _mm_loadu_si128(reinterpret_cast<const __m128i*>(index + k));
        const __m128i isOutside = _mm_cmpeq_epi32(at, outside);
        const __m128i clamped = _mm_andnot_si128(isOutside, at);
        std::uint32_t words[4];
        const auto i0 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(clamped));
        const auto i1 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(clamped, 1)));
        const auto i2 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(clamped, 2)));
        const auto i3 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(clamped, 3)));
        std::memcpy(&words[0], pixels + std::size_t{i0} * bytesPerPixel, bytesPerPixel);
        std::memcpy(&words[1], pixels + std::size_t{i1} * bytesPerPixel, bytesPerPixel);
        std::memcpy(&words[2], pixels + std::size_t{i2} * bytesPerPixel, bytesPerPixel);
        std::memcpy(&words[3], pixels + std::size_t{i3} * bytesPerPixel, bytesPerPixel);
        const __m128i gathered = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_andnot_si128(isOutside, gathered));
    }
#endif
    for (; k < count; ++k, out += bytesPerPixel) {
        const std::uint32_t word = sourceWord(pixels, index[k]);
        std::memcpy(out, &word, bytesPerPixel);
    }
}

void prefetchPixels(const Image& source, const std::uint32_t* index, std::size_t count, std::uint8_t* out) {
#if defined(__SSE2__)
    if (count == 0)
        return;
    // The result bytes too: a fresh result is not in the cache, and a store to a line that is not waits for
    // it.
    for (std::size_t at = 0; at < count * bytesPerPixel; at += 64)
        _mm_prefetch(reinterpret_cast<const char*>(out + at), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(out + count * bytesPerPixel - 1), _MM_HINT_T0);
    const std::uint8_t* pixels = source.pixels.get();
    // Without a branch: an outside index asks for pixel 0, which costs next to nothing.
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t at = index[k] == outsideIndex ? 0 : index[k];
        _mm_prefetch(reinterpret_cast<const char*>(pixels + std::size_t{at} * bytesPerPixel), _MM_HINT_T0);
    }
#else
    (void)source;
    (void)index;
    (void)count;
    (void)out;
#endif
}

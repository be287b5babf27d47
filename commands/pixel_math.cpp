#include "commands/pixel_math.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void scaleBytes(std::uint8_t* bytes, std::size_t count, const ByteTable& table, double amount,
                bool keepAlpha) {
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time in 16-bit lanes: the high half of c * m is table[c].
    if (const std::optional<std::uint16_t> multiplier = byteMultiplier(table, amount)) {
        const __m128i m = _mm_set1_epi16(static_cast<short>(*multiplier));
        const __m128i zero = _mm_setzero_si128();
        // The alpha byte is the highest byte of each pixel read as a little-endian 32-bit lane.
        const __m128i kept = keepAlpha ? _mm_set1_epi32(static_cast<int>(0xFF000000u)) : zero;
        for (; i + 16 <= count; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
            const __m128i low = _mm_mulhi_epu16(_mm_unpacklo_epi8(v, zero), m);
            const __m128i high = _mm_mulhi_epu16(_mm_unpackhi_epi8(v, zero), m);
            const __m128i scaled = _mm_packus_epi16(low, high);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + i),
                             _mm_or_si128(_mm_andnot_si128(kept, scaled), _mm_and_si128(kept, v)));
        }
    }
#else
    (void)amount;
#endif
    for (; i < count; ++i)
        if (!keepAlpha || i % bytesPerPixel != 3)
            bytes[i] = table[bytes[i]];
}

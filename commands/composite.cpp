#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The blend factors of every alpha byte: alpha / 255 and 1 - alpha / 255, exactly as computed per pixel.
struct BlendFactors {
    std::array<double, 256> front;
    std::array<double, 256> back;
};

BlendFactors makeBlendFactors() {
    BlendFactors f{};
    for (int a = 0; a < 256; ++a) {
        f.front[static_cast<std::size_t>(a)] = a / 255.0;
        f.back[static_cast<std::size_t>(a)] = 1.0 - f.front[static_cast<std::size_t>(a)];
    }
    return f;
}

// composite A over B x y: lays the image of A over the image of B with A's top-left pixel at column x, row y
// of B, blending by A's alpha; B changes in place, A stays as it is.
//
// The colour result is A's stored colour times A's alpha plus B's colour times (1 - alpha): A's colour is
// weighted by its alpha again although it is already premultiplied, so a half-transparent A contributes
// about a quarter of its straight colour. Scripts rely on that look, so it stays. The alpha result is the
// usual A + B * (1 - A), capped at 255.
//
// Placement: A's pixels land on B from A's top-left corner while they fall inside B, so A is clipped at
// B's right and bottom edges; an offset below 0 in either direction blends nothing at all (the very first
// pixel is already outside B), and that is not an error.
class CompositeCmd final : public Command {
public:
    CompositeCmd()
        : Command("composite", {arg::image("a", Lookup::NameFirst, "Image A is nowhere to be found"),
                                arg::word("over", "Sorry... I only know the 'over' operation"),
                                arg::image("b", Lookup::NameFirst, "Image B is nowhere to be found"),
                                arg::integer("x"), arg::integer("y")}) {}

    int execute(const Arguments& args, ScriptContext&) override {
        const Image* source = &args.image(0);
        Image* target = &args.image(2);
        const std::int64_t x = args.integer(3);
        const std::int64_t y = args.integer(4);
        if (x < 0 || y < 0)
            return 0;
        const std::int64_t columns = std::min<std::int64_t>(source->width, target->width - x);
        const std::int64_t rows = std::min<std::int64_t>(source->height, target->height - y);
        if (columns <= 0 || rows <= 0)
            return 0;

        // Row by row over the covered rectangle. When A and B are the same image, the pixel that lands on
        // (x + i, y + j) is read from (i, j), which, for offsets of 0 or more, has either been blended
        // already (it lies above or to the left) or is the very pixel being blended; so this order reads
        // exactly what a walk column by column reads, and each pixel is read before it is written.
        //
        // Four pixels at a time read four of A before writing four of B. That reads the same as the
        // pixel-by-pixel walk unless A is B one to three pixels to the left on the same row, where a pixel
        // written in a group is read again in the same group; that case goes pixel by pixel.
        //
        // Each row of B reads only its own row of A, so rows can be blended in any order, on any thread,
        // except when A is B lower down: then a row reads rows blended earlier in the walk, and the rows go
        // one after another on this thread, as before.
        static const BlendFactors factors = makeBlendFactors();
        const bool fours = !(source == target && y == 0 && x > 0 && x < 4);
        const auto blendRows = [&](RowBand band) {
            for (std::int64_t j = band.begin; j < band.end; ++j)
                blendRow(source->pixel(0, static_cast<std::uint32_t>(j)),
                         target->pixel(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y + j)),
                         columns, fours, factors);
        };
        if (source == target && y > 0)
            blendRows(RowBand{0, rows});
        else
            // Blending costs several times a copy per byte: bands of a quarter of the usual rows.
            forEachRowBand(rows, 4 * static_cast<std::uint64_t>(columns) * bytesPerPixel, blendRows);
        return 0;
    }

private:
    // `columns` pixels of A from `a` over B from `b`, four at a time when `fours` allows.
    static void blendRow(const std::uint8_t* a, std::uint8_t* b, std::int64_t columns, bool fours,
                         const BlendFactors& factors) {
        std::int64_t i = 0;
#if defined(__SSE2__)
        if (fours)
            for (; i + 4 <= columns; i += 4, a += 4 * bytesPerPixel, b += 4 * bytesPerPixel)
                blendFour(a, b, factors);
#else
        (void)fours;
#endif
        for (; i < columns; ++i, a += bytesPerPixel, b += bytesPerPixel) {
            std::uint8_t front[bytesPerPixel];
            std::memcpy(front, a, bytesPerPixel);
            // An opaque pixel gives trunc(A * 1 + B * 0) = A in every channel and 255 for alpha; a
            // transparent one gives trunc(A * 0 + B * 1) = B. Both are exact, so both skip the blend.
            if (front[3] == 255) {
                std::memcpy(b, front, bytesPerPixel);
                continue;
            }
            if (front[3] == 0)
                continue;
            blend(front, b, factors.front[front[3]], factors.back[front[3]]);
        }
    }

#if defined(__SSE2__)
    // Four pixels of A over four of B, each channel in a column of two pairs of doubles with the blend of
    // blend() below: front * alpha + back * rest, truncated, and for alpha 255 * alpha + back * rest capped
    // at 255. An opaque or transparent A pixel gives exactly A or B that way too; groups of four of them are
    // copied or left as they are.
    static void blendFour(const std::uint8_t* front, std::uint8_t* back, const BlendFactors& factors) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(front));
        const __m128i alphaBytes = _mm_srli_epi32(a, 24);
        const int opaque = _mm_movemask_epi8(_mm_cmpeq_epi32(alphaBytes, _mm_set1_epi32(255)));
        if (opaque == 0xFFFF) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(back), a);
            return;
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(alphaBytes, _mm_setzero_si128())) == 0xFFFF)
            return;
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(back));
        const __m128d one = _mm_set1_pd(1.0);
        const __m128d alphas[2] = {_mm_set_pd(factors.front[front[7]], factors.front[front[3]]),
                                   _mm_set_pd(factors.front[front[15]], factors.front[front[11]])};
        const __m128d rests[2] = {_mm_sub_pd(one, alphas[0]), _mm_sub_pd(one, alphas[1])};
        const __m128i low = _mm_set1_epi32(0xFF);
        __m128i out = _mm_setzero_si128();
        for (int c = 0; c < 4; ++c) {
            const __m128i backChannel = _mm_and_si128(_mm_srli_epi32(b, 8 * c), low);
            const __m128i frontChannel = c < 3 ? _mm_and_si128(_mm_srli_epi32(a, 8 * c), low) : low;
            __m128i parts[2];
            // Pixels 0 and 1 are the low lanes, which the conversion takes; pixels 2 and 3 are moved there.
            const __m128i fronts[2] = {frontChannel,
                                       _mm_shuffle_epi32(frontChannel, _MM_SHUFFLE(3, 2, 3, 2))};
            const __m128i backs[2] = {backChannel, _mm_shuffle_epi32(backChannel, _MM_SHUFFLE(3, 2, 3, 2))};
            for (int h = 0; h < 2; ++h) {
                const __m128d f = _mm_cvtepi32_pd(fronts[h]);
                const __m128d k = _mm_cvtepi32_pd(backs[h]);
                __m128d sum = _mm_add_pd(_mm_mul_pd(f, alphas[h]), _mm_mul_pd(k, rests[h]));
                if (c == 3)
                    sum = _mm_min_pd(sum, _mm_set1_pd(255.0));
                parts[h] = _mm_cvttpd_epi32(sum);
            }
            out = _mm_or_si128(out, _mm_slli_epi32(_mm_unpacklo_epi64(parts[0], parts[1]), 8 * c));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(back), out);
    }

    // The four bytes of a pixel as doubles: red and green in `low`, blue and alpha in `high`.
    static void widen(__m128i bytes, __m128d& low, __m128d& high) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i words = _mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero);
        low = _mm_cvtepi32_pd(words);
        high = _mm_cvtepi32_pd(_mm_shuffle_epi32(words, _MM_SHUFFLE(1, 0, 3, 2)));
    }
#endif

    // Blends one pixel of A over one of B, the red and green pair and the blue and alpha pair side by side.
    // Each channel is front * alpha + back * rest, as one multiplication each and one sum, truncated; for
    // alpha the front value is 255, which gives alpha * 255, and the sum is capped at 255. Every result
    // lies in 0..255, so packing the four with saturation keeps them as they are.
    static void blend(const std::uint8_t* front, std::uint8_t* back, double alpha, double rest) {
#if defined(__SSE2__)
        std::uint32_t a = 0;
        std::uint32_t b = 0;
        std::memcpy(&b, back, bytesPerPixel);
        // A's alpha byte replaced by 255 (the pixel bytes are red, green, blue, alpha in memory order).
        std::uint8_t opaqueFront[bytesPerPixel] = {front[0], front[1], front[2], 255};
        std::memcpy(&a, opaqueFront, bytesPerPixel);
        __m128d frontLow;
        __m128d frontHigh;
        __m128d backLow;
        __m128d backHigh;
        widen(_mm_cvtsi32_si128(static_cast<int>(a)), frontLow, frontHigh);
        widen(_mm_cvtsi32_si128(static_cast<int>(b)), backLow, backHigh);
        const __m128d alphas = _mm_set1_pd(alpha);
        const __m128d rests = _mm_set1_pd(rest);
        const __m128d low = _mm_add_pd(_mm_mul_pd(frontLow, alphas), _mm_mul_pd(backLow, rests));
        __m128d high = _mm_add_pd(_mm_mul_pd(frontHigh, alphas), _mm_mul_pd(backHigh, rests));
        // The cap applies to alpha only; blue is compared with the largest double, which leaves it as it is.
        high = _mm_min_pd(high, _mm_set_pd(255.0, DBL_MAX));
        const __m128i ints = _mm_unpacklo_epi64(_mm_cvttpd_epi32(low), _mm_cvttpd_epi32(high));
        const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(ints, ints), ints);
        const std::uint32_t result = static_cast<std::uint32_t>(_mm_cvtsi128_si32(packed));
        std::memcpy(back, &result, bytesPerPixel);
#else
        for (std::size_t c = 0; c < 3; ++c)
            back[c] = truncToByte(front[c] * alpha + back[c] * rest);
        back[3] = truncToByte(std::min(alpha * 255 + back[3] * rest, 255.0));
#endif
    }
};

} // namespace

Command& compositeCommand() {
    static CompositeCmd command;
    return command;
}

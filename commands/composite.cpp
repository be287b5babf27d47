#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

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
    CompositeCmd() : Command("composite", 6, "a over b x y") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const Image* source = ctx.checkNameThenFetch(args[1], "Image A is nowhere to be found").image;
        if (source == nullptr)
            return 1;
        if (std::strcmp(args[2], "over") != 0) {
            ctx.report("Sorry... I only know the 'over' operation");
            return 1;
        }
        Image* target = ctx.checkNameThenFetch(args[3], "Image B is nowhere to be found").image;
        if (target == nullptr)
            return 1;
        const std::int64_t x = parseInt(args[4]);
        const std::int64_t y = parseInt(args[5]);
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
        static const BlendFactors factors = makeBlendFactors();
        for (std::int64_t j = 0; j < rows; ++j) {
            const std::uint8_t* a = source->pixel(0, static_cast<std::uint32_t>(j));
            std::uint8_t* b = target->pixel(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y + j));
            for (std::int64_t i = 0; i < columns; ++i, a += bytesPerPixel, b += bytesPerPixel) {
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
        return 0;
    }

private:
#if defined(__SSE2__)
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

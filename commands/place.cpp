#include "commands/gravity.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// One channel of a front pixel over a back one, both premultiplied: front + back * (255 - alpha) / 255, the
// quotient rounded to the nearest whole number (255 is odd, so there is never a tie), the sum capped at 255.
// A well-formed front pixel (no channel above its alpha) never reaches the cap; the cap keeps a colour
// stored above its alpha (fill can store one) from wrapping round.
inline std::uint8_t overChannel(std::uint8_t front, std::uint8_t back, std::uint8_t alpha) {
    const unsigned behind = (back * (255u - alpha) + 127u) / 255u;
    return static_cast<std::uint8_t>(std::min(255u, front + behind));
}

// `n` pixels of `front` drawn over `back`, channel by channel, alpha included.
void overRow(const std::uint8_t* front, std::uint8_t* back, std::size_t n) {
    std::size_t i = 0;
#if defined(__SSE2__)
    // Four pixels at a time in 16-bit lanes. t = back * (255 - alpha) is at most 65025, and for such t the
    // rounded quotient (t + 127) div 255 equals (u + (u >> 8)) >> 8 with u = t + 128, which stays below
    // 65536; a saturating add does the cap.
    const __m128i zero = _mm_setzero_si128();
    const __m128i full = _mm_set1_epi32(255);
    const __m128i half = _mm_set1_epi16(128);
    for (; i + 4 <= n; i += 4) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(front + i * bytesPerPixel));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(back + i * bytesPerPixel));
        // 255 - alpha in both 16-bit halves of each pixel's 32 bits, then once per channel.
        const __m128i rest = _mm_sub_epi32(full, _mm_srli_epi32(a, 24));
        const __m128i rest2 = _mm_or_si128(rest, _mm_slli_epi32(rest, 16));
        const __m128i restLow = _mm_unpacklo_epi32(rest2, rest2);
        const __m128i restHigh = _mm_unpackhi_epi32(rest2, rest2);
        __m128i low = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(b, zero), restLow), half);
        __m128i high = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(b, zero), restHigh), half);
        low = _mm_srli_epi16(_mm_add_epi16(low, _mm_srli_epi16(low, 8)), 8);
        high = _mm_srli_epi16(_mm_add_epi16(high, _mm_srli_epi16(high, 8)), 8);
        const __m128i out = _mm_adds_epu8(a, _mm_packus_epi16(low, high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(back + i * bytesPerPixel), out);
    }
#endif
    for (; i < n; ++i) {
        const std::uint8_t* f = front + i * bytesPerPixel;
        std::uint8_t* b = back + i * bytesPerPixel;
        for (std::size_t c = 0; c < bytesPerPixel; ++c)
            b[c] = overChannel(f[c], b[c], f[3]);
    }
}

// place a b gravity dx dy: draws the image in a over the image in b, premultiplied "over": each channel of
// the result is a + b * (1 - alpha of a), rounded as overChannel says. a lies against the edge or corner of
// b the gravity names (nw n ne w c e sw s se), or in the middle, moved dx and dy pixels inward: right for the
// west side and left for the east side, down for the north side and up for the south side; along an axis
// where a is centred, dx moves it right and dy down. Negative distances move it the other way, past the
// edge. The part of a outside b is cut off, and b keeps its size and metadata; a is not changed.
class PlaceCmd final : public Command {
public:
    PlaceCmd()
        : Command("place", {arg::image("a", Lookup::NameFirst, "No image to place"),
                            arg::image("b", Lookup::NameFirst, "No image to place on"), arg::text("gravity"),
                            arg::integer("dx"), arg::integer("dy")}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        const Image* front = &args.image(0);
        Image* back = &args.image(1);
        const std::optional<Gravity> gravity = parseGravity(args.text(2));
        if (!gravity) {
            ctx.report("%s", gravityRefusal);
            return 1;
        }
        const std::int64_t x = anchoredStart(gravity->horizontal, back->width, front->width, args.integer(3));
        const std::int64_t y = anchoredStart(gravity->vertical, back->height, front->height, args.integer(4));
        const std::int64_t left = std::max<std::int64_t>(x, 0);
        const std::int64_t right = std::min<std::int64_t>(x + front->width, back->width);
        const std::int64_t top = std::max<std::int64_t>(y, 0);
        const std::int64_t bottom = std::min<std::int64_t>(y + front->height, back->height);
        if (left >= right || top >= bottom)
            return 0;
        // An image placed on itself is read from a copy, so that no pixel is read after it has been drawn on.
        ImagePtr copy;
        if (front == back) {
            copy = cloneImage(*front);
            front = copy.get();
        }
        // Each row of b is drawn from one row of a alone: bands of rows give the same bytes on any thread.
        const auto width = static_cast<std::size_t>(right - left);
        forEachRowBand(bottom - top, 2 * width * bytesPerPixel, [&](RowBand band) {
            for (std::int64_t row = top + band.begin; row < top + band.end; ++row)
                overRow(
                    front->pixel(static_cast<std::uint32_t>(left - x), static_cast<std::uint32_t>(row - y)),
                    back->pixel(static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(row)), width);
        });
        return 0;
    }
};

} // namespace

Command& placeCommand() {
    static PlaceCmd command;
    return command;
}

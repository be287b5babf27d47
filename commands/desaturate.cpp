#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

#include <array>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The grey weights of red, green and blue: the single-precision values of 0.21, 0.72 and 0.07, used as
// doubles. They sum to slightly more than 1, which the grey value's rounding to float absorbs.
constexpr double redWeight = static_cast<double>(0.21f);
constexpr double greenWeight = static_cast<double>(0.72f);
constexpr double blueWeight = static_cast<double>(0.07f);

// A double rounded to single precision and back, the same rounding as a cast to float and back. Both
// conversions start from a zeroed register, so that one pixel never waits for the register the previous pixel
// left behind.
inline double roundToFloat(double value) {
#if defined(__SSE2__)
    const __m128 single = _mm_cvtsd_ss(_mm_setzero_ps(), _mm_set_sd(value));
    return _mm_cvtsd_f64(_mm_cvtss_sd(_mm_setzero_pd(), single));
#else
    return static_cast<float>(value);
#endif
}

// Every byte times a factor, indexed by the byte. A byte converts to a double exactly, so each entry is the
// very product the per-pixel arithmetic would form.
using Products = std::array<double, 256>;
Products makeProducts(double factor) {
    Products table{};
    for (int c = 0; c < 256; ++c)
        table[static_cast<std::size_t>(c)] = c * factor;
    return table;
}

#if defined(__SSE2__)
// Four pixels at a time with each channel in a column of two pairs of doubles: the same operations, in the
// same order, as the one-pixel code below. The grey value's products and sums are exact (each weight is a
// multiple of 2^-27 below 2^27 of them, so every partial sum is an integer multiple of 2^-27 below 2^35),
// then it is rounded to single precision; each colour is the rounded sum of the grey part and the kept part,
// truncated. Returns the first byte not done.
std::uint8_t* desaturateFours(std::uint8_t* p, std::uint8_t* end, double amount) {
    const __m128d weights[3] = {_mm_set1_pd(redWeight), _mm_set1_pd(greenWeight), _mm_set1_pd(blueWeight)};
    const __m128d towards = _mm_set1_pd(amount);
    const __m128d kept = _mm_set1_pd(1.0 - amount);
    const __m128i low = _mm_set1_epi32(0xFF);
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i channels[3] = {_mm_and_si128(v, low), _mm_and_si128(_mm_srli_epi32(v, 8), low),
                                     _mm_and_si128(_mm_srli_epi32(v, 16), low)};
        __m128d colour[3][2];
        for (int c = 0; c < 3; ++c) {
            colour[c][0] = _mm_cvtepi32_pd(channels[c]);
            colour[c][1] = _mm_cvtepi32_pd(_mm_shuffle_epi32(channels[c], _MM_SHUFFLE(3, 2, 3, 2)));
        }
        __m128i result[3][2];
        for (int h = 0; h < 2; ++h) {
            const __m128d grey = _mm_add_pd(
                _mm_add_pd(_mm_mul_pd(colour[0][h], weights[0]), _mm_mul_pd(colour[1][h], weights[1])),
                _mm_mul_pd(colour[2][h], weights[2]));
            const __m128d greyPart = _mm_mul_pd(_mm_cvtps_pd(_mm_cvtpd_ps(grey)), towards);
            for (int c = 0; c < 3; ++c)
                result[c][h] = _mm_cvttpd_epi32(_mm_add_pd(greyPart, _mm_mul_pd(colour[c][h], kept)));
        }
        const __m128i r = _mm_unpacklo_epi64(result[0][0], result[0][1]);
        const __m128i g = _mm_unpacklo_epi64(result[1][0], result[1][1]);
        const __m128i b = _mm_unpacklo_epi64(result[2][0], result[2][1]);
        const __m128i alpha = _mm_andnot_si128(_mm_set1_epi32(0xFFFFFF), v);
        const __m128i out =
            _mm_or_si128(_mm_or_si128(r, _mm_slli_epi32(g, 8)), _mm_or_si128(_mm_slli_epi32(b, 16), alpha));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), out);
    }
    return p;
}
#endif

// desaturate v a: moves the colour of every pixel the fraction a (0 <= a <= 1) of the way to its grey value;
// alpha stays. At a = 0 nothing changes, at a = 1 each colour byte becomes the truncated grey value.
class DesaturateCmd final : public Command {
public:
    DesaturateCmd()
        : Command("desaturate", {arg::image("v", Lookup::Fetch, "No image to Desaturate"),
                                 arg::amount("0<=a<=1", 0.0, true, 1.0, true,
                                             "Desaturate amount out of range (0 <= a <= 1)")}) {}

    int execute(const Arguments& args, ScriptContext&) override {
        Image* image = &args.image(0);
        const double amount = args.amount(1);
        // At 0 every channel becomes trunc(0 + c * 1) = c: nothing changes.
        if (amount == 0.0)
            return 0;
        static const Products red = makeProducts(redWeight);
        static const Products green = makeProducts(greenWeight);
        static const Products blue = makeProducts(blueWeight);
        const Products kept = makeProducts(1.0 - amount);
        // Each pixel is a function of itself alone: bands of rows give the same bytes on any thread. The
        // work per byte is several times a copy's, so bands are cut at a quarter of the usual rows.
        const std::size_t rowBytes = image->rowBytes();
        forEachRowBand(image->height, 4 * rowBytes, [&](RowBand band) {
            std::uint8_t* p = image->pixel(0, static_cast<std::uint32_t>(band.begin));
            std::uint8_t* const end = p + static_cast<std::size_t>(band.end - band.begin) * rowBytes;
#if defined(__SSE2__)
            p = desaturateFours(p, end, amount);
#endif
            for (; p != end; p += bytesPerPixel) {
                // The grey value is rounded to single precision. Every result below lies in 0..255 (the
                // grey value of 255, 255, 255 rounds to exactly 255), so the conversions are safe.
                const std::uint8_t r = p[0];
                const std::uint8_t g = p[1];
                const std::uint8_t b = p[2];
                const double grey = roundToFloat((red[r] + green[g]) + blue[b]);
                const double towardsGrey = grey * amount;
                const double newR = towardsGrey + kept[r];
                const double newG = towardsGrey + kept[g];
                const double newB = towardsGrey + kept[b];
                p[0] = truncToByte(newR);
                p[1] = truncToByte(newG);
                p[2] = truncToByte(newB);
            }
        });
        return 0;
    }
};

} // namespace

Command& desaturateCommand() {
    static DesaturateCmd command;
    return command;
}

#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <array>
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

// desaturate v a: moves the colour of every pixel the fraction a (0 <= a <= 1) of the way to its grey value;
// alpha stays. At a = 0 nothing changes, at a = 1 each colour byte becomes the truncated grey value.
class DesaturateCmd final : public Command {
public:
    DesaturateCmd() : Command("desaturate", 3, "v 0<=a<=1") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        Image* image = ctx.fetchImage(args[1], "No image to Desaturate").image;
        if (image == nullptr)
            return 1;
        const double amount = amountArg(args[2]);
        if (!(amount >= 0.0 && amount <= 1.0)) {
            ctx.report("Desaturate amount out of range (0 <= a <= 1)");
            return 1;
        }
        // At 0 every channel becomes trunc(0 + c * 1) = c: nothing changes.
        if (amount == 0.0)
            return 0;
        static const Products red = makeProducts(redWeight);
        static const Products green = makeProducts(greenWeight);
        static const Products blue = makeProducts(blueWeight);
        const Products kept = makeProducts(1.0 - amount);
        std::uint8_t* p = image->pixels.get();
        std::uint8_t* const end = p + image->byteCount();
        for (; p != end; p += bytesPerPixel) {
            // The grey value is rounded to single precision. Every result below lies in 0..255 (the grey
            // value of 255, 255, 255 rounds to exactly 255), so the conversions are safe.
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
        return 0;
    }
};

} // namespace

Command& desaturateCommand() {
    static DesaturateCmd command;
    return command;
}

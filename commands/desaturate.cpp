#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <cstdint>

namespace {

// The grey weights of red, green and blue: the single-precision values of 0.21, 0.72 and 0.07, used as
// doubles. They sum to slightly more than 1, which the grey value's rounding to float absorbs.
constexpr double redWeight = static_cast<double>(0.21f);
constexpr double greenWeight = static_cast<double>(0.72f);
constexpr double blueWeight = static_cast<double>(0.07f);

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
        const double keep = 1.0 - amount;
        std::uint8_t* p = image->pixels.get();
        std::uint8_t* const end = p + image->byteCount();
        for (; p != end; p += bytesPerPixel) {
            const double r = p[0];
            const double g = p[1];
            const double b = p[2];
            // The grey value is rounded to single precision. Every result below lies in 0..255 (the grey
            // value of 255, 255, 255 rounds to exactly 255), so the conversions are safe.
            const double grey = static_cast<float>((r * redWeight + g * greenWeight) + b * blueWeight);
            const double towardsGrey = grey * amount;
            p[0] = truncToByte(towardsGrey + r * keep);
            p[1] = truncToByte(towardsGrey + g * keep);
            p[2] = truncToByte(towardsGrey + b * keep);
        }
        return 0;
    }
};

} // namespace

Command& desaturateCommand() {
    static DesaturateCmd command;
    return command;
}

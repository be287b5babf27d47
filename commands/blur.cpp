#include "commands/pixel_math.h"
#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <algorithm>
#include <cstdint>
#include <span>

namespace {

// Binomial weights, offset -k/2 first.
constexpr std::uint32_t weights3[] = {1, 2, 1};
constexpr std::uint32_t weights5[] = {1, 4, 6, 4, 1};

// The taps of a kernel that fall inside a line of `length` pixels when centred on `position`, and the sum of
// their weights: the divisor there. Near an edge taps drop out and the divisor shrinks with them (3 instead
// of 4 for the 3-tap kernel at an edge); in a line shorter than the kernel taps may drop out on both sides.
struct Taps {
    std::size_t first;
    std::size_t last; // inclusive
    std::uint32_t weightSum;
};

Taps tapsAt(std::span<const std::uint32_t> kernel, std::uint32_t position, std::uint32_t length) {
    const std::int64_t half = static_cast<std::int64_t>(kernel.size() / 2);
    const std::int64_t first = std::max<std::int64_t>(0, half - position);
    const std::int64_t last = std::min<std::int64_t>(static_cast<std::int64_t>(kernel.size()) - 1,
                                                     std::int64_t{length} - 1 - position + half);
    Taps taps{static_cast<std::size_t>(first), static_cast<std::size_t>(last), 0};
    for (std::size_t t = taps.first; t <= taps.last; ++t)
        taps.weightSum += kernel[t];
    return taps;
}

// The filter works on whole integers: every weighted sum is an exact integer no larger than 255 * 16, so
// floor(sum / divisor) is exactly what a floating-point accumulation followed by truncation gives.

// Along the rows, from `source` into `target` (same size).
void blurRows(const Image& source, Image& target, std::span<const std::uint32_t> kernel) {
    const std::size_t half = kernel.size() / 2;
    for (std::uint32_t y = 0; y < source.height; ++y) {
        const std::uint8_t* in = source.pixel(0, y);
        std::uint8_t* out = target.pixel(0, y);
        for (std::uint32_t x = 0; x < source.width; ++x, out += 4) {
            const Taps taps = tapsAt(kernel, x, source.width);
            const SmallDivisor divisor(taps.weightSum);
            std::uint32_t sum[4] = {0, 0, 0, 0};
            for (std::size_t t = taps.first; t <= taps.last; ++t) {
                const std::uint8_t* p = in + (x + t - half) * 4;
                for (int c = 0; c < 4; ++c)
                    sum[c] += p[c] * kernel[t];
            }
            for (int c = 0; c < 4; ++c)
                out[c] = divisor.divide(sum[c]);
        }
    }
}

// Along the columns, from `source` into `target` (same size). Each output row is a weighted sum of whole
// input rows, so the inner loop runs straight along memory.
void blurColumns(const Image& source, Image& target, std::span<const std::uint32_t> kernel) {
    const std::size_t half = kernel.size() / 2;
    const std::size_t rowBytes = source.rowBytes();
    for (std::uint32_t y = 0; y < source.height; ++y) {
        const Taps taps = tapsAt(kernel, y, source.height);
        const SmallDivisor divisor(taps.weightSum);
        const std::uint8_t* in[5];
        std::uint32_t weight[5];
        std::size_t count = 0;
        for (std::size_t t = taps.first; t <= taps.last; ++t, ++count) {
            in[count] = source.pixel(0, static_cast<std::uint32_t>(y + t - half));
            weight[count] = kernel[t];
        }
        std::uint8_t* out = target.pixel(0, y);
        for (std::size_t i = 0; i < rowBytes; ++i) {
            std::uint32_t sum = 0;
            for (std::size_t n = 0; n < count; ++n)
                sum += in[n][i] * weight[n];
            out[i] = divisor.divide(sum);
        }
    }
}

// blur v k: smooths the image with a binomial kernel of 3 or 5 taps, along the rows into a temporary image
// and then along the columns back into the variable's image. All four channels are filtered alike, alpha
// included, which is right for premultiplied colour.
class BlurCmd final : public Command {
public:
    BlurCmd() : Command("blur", 3) {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        Image* image = ctx.getImage(args[1]);
        if (image == nullptr) {
            ctx.report("No image to blur");
            return 1;
        }
        const int size = parseInt(args[2]);
        if (size != 3 && size != 5) {
            ctx.report("Only k=3,5 is supported");
            return 1;
        }
        const std::span<const std::uint32_t> kernel =
            size == 3 ? std::span<const std::uint32_t>(weights3) : std::span<const std::uint32_t>(weights5);
        ImagePtr rows = createImage(image->width, image->height);
        blurRows(*image, *rows, kernel);
        blurColumns(*rows, *image, kernel);
        return 0;
    }
};

} // namespace

Command& blurCommand() {
    static BlurCmd command;
    return command;
}

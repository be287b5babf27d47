#include "commands/pixel_math.h"
#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace {

template <std::size_t N> using Kernel = std::array<std::uint32_t, N>;

// Binomial weights, offset -N/2 first.
constexpr Kernel<3> kernel3 = {1, 2, 1};
constexpr Kernel<5> kernel5 = {1, 4, 6, 4, 1};

// The taps of a kernel that fall inside a line of `length` pixels when centred on `position`, and the sum of
// their weights: the divisor there. Near an edge taps drop out and the divisor shrinks with them (3 instead
// of 4 for the 3-tap kernel at an edge); in a line shorter than the kernel taps may drop out on both sides.
struct Taps {
    std::ptrdiff_t first;
    std::ptrdiff_t last; // inclusive
    std::uint32_t weightSum;
    bool all;
};

template <std::size_t N> Taps tapsAt(const Kernel<N>& kernel, std::uint32_t position, std::uint32_t length) {
    constexpr std::int64_t half = N / 2;
    const std::int64_t first = std::max<std::int64_t>(0, half - position);
    const std::int64_t last = std::min<std::int64_t>(N - 1, std::int64_t{length} - 1 - position + half);
    Taps taps{static_cast<std::ptrdiff_t>(first), static_cast<std::ptrdiff_t>(last), 0,
              first == 0 && last == N - 1};
    for (std::ptrdiff_t t = taps.first; t <= taps.last; ++t)
        taps.weightSum += kernel[static_cast<std::size_t>(t)];
    return taps;
}

// The filter works on whole integers: every weighted sum is an exact integer no larger than 255 * 16, so
// floor(sum / divisor) is exactly what a floating-point accumulation followed by truncation gives.
//
// Both passes come down to one step: output byte i is the weighted sum of the input bytes i + (t - N/2) *
// stride over the taps t, divided by the taps' weight sum. The stride is 4 bytes (one pixel) along a row
// and one row's bytes down a column; either way consecutive output bytes read consecutive input bytes, so
// the loops run straight through memory.

// `count` output bytes where all taps are inside the image (the common case, unrolled).
template <std::size_t N>
void filterAll(const std::uint8_t* in, std::uint8_t* out, std::size_t count, std::ptrdiff_t stride,
               const Kernel<N>& kernel, SmallDivisor divisor) {
    constexpr std::ptrdiff_t half = N / 2;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t sum = 0;
        for (std::size_t t = 0; t < N; ++t)
            sum += in[static_cast<std::ptrdiff_t>(i) + (static_cast<std::ptrdiff_t>(t) - half) * stride] *
                   kernel[t];
        out[i] = divisor.divide(sum);
    }
}

// `count` output bytes near an edge, using only the taps `taps` names.
template <std::size_t N>
void filterSome(const std::uint8_t* in, std::uint8_t* out, std::size_t count, std::ptrdiff_t stride,
                const Kernel<N>& kernel, const Taps& taps) {
    constexpr std::ptrdiff_t half = N / 2;
    const SmallDivisor divisor(taps.weightSum);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t sum = 0;
        for (std::ptrdiff_t t = taps.first; t <= taps.last; ++t)
            sum += in[static_cast<std::ptrdiff_t>(i) + (t - half) * stride] *
                   kernel[static_cast<std::size_t>(t)];
        out[i] = divisor.divide(sum);
    }
}

// Along the rows, from `source` into `target` (same size): the pixels near the left and right edges one by
// one with their own taps, the run between them in one go.
template <std::size_t N> void blurRows(const Image& source, Image& target, const Kernel<N>& kernel) {
    constexpr std::uint32_t half = N / 2;
    const std::uint32_t width = source.width;
    // Pixels innerBegin..innerEnd-1 have every tap inside the row (none when the row is shorter than the
    // kernel).
    const std::uint32_t innerEnd = width > half ? width - half : 0;
    const std::uint32_t innerBegin = std::min(half, innerEnd);
    const SmallDivisor full(tapsAt(kernel, half, N).weightSum);
    for (std::uint32_t y = 0; y < source.height; ++y) {
        const std::uint8_t* in = source.pixel(0, y);
        std::uint8_t* out = target.pixel(0, y);
        auto edgePixel = [&](std::uint32_t x) {
            filterSome(in + std::size_t{x} * 4, out + std::size_t{x} * 4, 4, 4, kernel,
                       tapsAt(kernel, x, width));
        };
        for (std::uint32_t x = 0; x < innerBegin; ++x)
            edgePixel(x);
        filterAll(in + std::size_t{innerBegin} * 4, out + std::size_t{innerBegin} * 4,
                  std::size_t{innerEnd - innerBegin} * 4, 4, kernel, full);
        for (std::uint32_t x = innerEnd; x < width; ++x)
            edgePixel(x);
    }
}

// Along the columns, from `source` into `target` (same size), one whole row of output at a time.
template <std::size_t N> void blurColumns(const Image& source, Image& target, const Kernel<N>& kernel) {
    const std::size_t rowBytes = source.rowBytes();
    const auto stride = static_cast<std::ptrdiff_t>(rowBytes);
    for (std::uint32_t y = 0; y < source.height; ++y) {
        const Taps taps = tapsAt(kernel, y, source.height);
        const std::uint8_t* in = source.pixel(0, y);
        std::uint8_t* out = target.pixel(0, y);
        if (taps.all)
            filterAll(in, out, rowBytes, stride, kernel, SmallDivisor(taps.weightSum));
        else
            filterSome(in, out, rowBytes, stride, kernel, taps);
    }
}

template <std::size_t N> void blurImage(Image& image, const Kernel<N>& kernel) {
    ImagePtr rows = createImage(image.width, image.height);
    blurRows(image, *rows, kernel);
    blurColumns(*rows, image, kernel);
}

// blur v k: smooths the image with a binomial kernel of 3 or 5 taps, along the rows into a temporary image
// and then along the columns back into the variable's image. All four channels are filtered alike, alpha
// included, which is right for premultiplied colour.
class BlurCmd final : public Command {
public:
    BlurCmd() : Command("blur", 3, "v 3|5") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        Image* image = ctx.fetchImage(args[1], "No image to blur").image;
        if (image == nullptr)
            return 1;
        const int size = parseInt(args[2]);
        if (size != 3 && size != 5) {
            ctx.report("Only k=3,5 is supported");
            return 1;
        }
        // The temporary image is allocated before any pixel changes.
        if (size == 3)
            blurImage(*image, kernel3);
        else
            blurImage(*image, kernel5);
        return 0;
    }
};

} // namespace

Command& blurCommand() {
    static BlurCmd command;
    return command;
}

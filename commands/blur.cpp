#include "commands/pixel_math.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/pixel_memory.h"
#include "system/thread_pool.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace {

template <std::size_t N> using Kernel = std::array<std::uint32_t, N>;

// Binomial weights, offset -N/2 first. Their sums, 4 and 16, are powers of two.
constexpr Kernel<3> kernel3 = {1, 2, 1};
constexpr Kernel<5> kernel5 = {1, 4, 6, 4, 1};

template <std::size_t N> constexpr unsigned fullShift = N == 3 ? 2 : 4;

// The taps of a kernel that fall inside a line of `length` pixels when centred on `position`, and the sum of
// their weights: the divisor there. Near an edge taps drop out and the divisor shrinks with them (3 instead
// of 4 for the 3-tap kernel at an edge); in a line shorter than the kernel taps may drop out on both sides.
struct Taps {
    std::size_t first;
    std::size_t last; // inclusive
    std::uint32_t weightSum;
    bool all;
};

template <std::size_t N> Taps tapsAt(const Kernel<N>& kernel, std::uint32_t position, std::uint32_t length) {
    constexpr std::int64_t half = N / 2;
    const std::int64_t first = std::max<std::int64_t>(0, half - position);
    const std::int64_t last = std::min<std::int64_t>(N - 1, std::int64_t{length} - 1 - position + half);
    Taps taps{static_cast<std::size_t>(first), static_cast<std::size_t>(last), 0,
              first == 0 && last == N - 1};
    for (std::size_t t = taps.first; t <= taps.last; ++t)
        taps.weightSum += kernel[t];
    return taps;
}

// The filter works on whole integers: every weighted sum is an exact integer no larger than 255 * 16, so
// floor(sum / divisor) is exactly what a floating-point accumulation followed by truncation gives.
//
// Both passes come down to one step: output byte i is the weighted sum of byte i of N input lines, divided
// by the weight sum. Along a row the lines are the row itself shifted by whole pixels; down a column they
// are the rows above and below. Either way consecutive output bytes read consecutive input bytes.

// `count` output bytes with every tap present. The sum fits 16 bits and the divisor is a power of two, so
// the loop runs in 16-bit lanes with a shift.
template <std::size_t N>
void filterAll(const std::array<const std::uint8_t*, N>& in, std::uint8_t* __restrict out, std::size_t count,
               const Kernel<N>& kernel) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t sum = 0;
        for (std::size_t t = 0; t < N; ++t)
            sum = static_cast<std::uint16_t>(sum + in[t][i] * kernel[t]);
        out[i] = static_cast<std::uint8_t>(sum >> fullShift<N>);
    }
}

// `count` output bytes near an edge, using only the taps `taps` names (in[t] for those t).
template <std::size_t N>
void filterSome(const std::array<const std::uint8_t*, N>& in, std::uint8_t* out, std::size_t count,
                const Kernel<N>& kernel, const Taps& taps) {
    const SmallDivisor divisor(taps.weightSum);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t sum = 0;
        for (std::size_t t = taps.first; t <= taps.last; ++t)
            sum += in[t][i] * kernel[t];
        out[i] = divisor.divide(sum);
    }
}

// The N lines centred on `centre` at `stride` bytes apart. Lines for taps that fall outside are never read.
template <std::size_t N>
std::array<const std::uint8_t*, N> linesAround(const std::uint8_t* centre, std::ptrdiff_t stride) {
    std::array<const std::uint8_t*, N> lines{};
    for (std::size_t t = 0; t < N; ++t)
        lines[t] = centre + (static_cast<std::ptrdiff_t>(t) - static_cast<std::ptrdiff_t>(N / 2)) * stride;
    return lines;
}

// One row along its length, `in` to `out`: the pixels near the left and right edges one by one with their
// own taps, the run between them in one go.
template <std::size_t N>
void blurRow(const std::uint8_t* in, std::uint8_t* out, std::uint32_t width, const Kernel<N>& kernel) {
    constexpr std::uint32_t half = N / 2;
    constexpr auto pixel = static_cast<std::ptrdiff_t>(bytesPerPixel);
    // Pixels innerBegin..innerEnd-1 have every tap inside the row (none when the row is shorter than the
    // kernel).
    const std::uint32_t innerEnd = width > half ? width - half : 0;
    const std::uint32_t innerBegin = std::min(half, innerEnd);
    auto edgePixel = [&](std::uint32_t x) {
        const std::size_t at = std::size_t{x} * bytesPerPixel;
        filterSome(linesAround<N>(in + at, pixel), out + at, bytesPerPixel, kernel, tapsAt(kernel, x, width));
    };
    for (std::uint32_t x = 0; x < innerBegin; ++x)
        edgePixel(x);
    const std::size_t begin = std::size_t{innerBegin} * bytesPerPixel;
    filterAll(linesAround<N>(in + begin, pixel), out + begin,
              std::size_t{innerEnd - innerBegin} * bytesPerPixel, kernel);
    for (std::uint32_t x = innerEnd; x < width; ++x)
        edgePixel(x);
}

// Blurs the image in place, in bands of rows that run in parallel. Output row y needs the row-blurred rows
// y - N/2 .. y + N/2, so a band also needs a few rows of its neighbours, which they overwrite in their own
// time. Those rows, the N/2 on each side of every edge between bands, are therefore row-blurred first, all
// of them, into a buffer of their own; then every band works on its own rows alone, reading the edge rows
// from that buffer and keeping the others in a ring of N rows (fewer for a shorter image). Row r of a band
// is blurred along its length just before output row r - N/2 is written, while image row r still holds its
// original pixels, and output row y is written only after row y has gone through the ring. So no
// image-sized buffer is needed, and every output row is the same whichever thread makes it.
template <std::size_t N> void blurImage(Image& image, const Kernel<N>& kernel) {
    constexpr std::int64_t half = N / 2;
    const std::int64_t height = image.height;
    const std::size_t rowBytes = image.rowBytes();
    // Bands of at least minimumBandRows rows, so that the edge rows are a small share of the work.
    constexpr std::uint64_t minimumBandRows = 64;
    const std::int64_t bandHeight =
        bandRows(height, std::min<std::uint64_t>(rowBytes, bandWorkBytes / minimumBandRows));
    const auto bands = static_cast<std::size_t>((height + bandHeight - 1) / bandHeight);
    const auto ringRows = static_cast<std::size_t>(std::min<std::int64_t>(N, height));
    // One ring for each thread that can work at once; each takes bands until none is left.
    const std::size_t rings = std::min<std::size_t>(bands, threadCount());

    // Everything is taken before any pixel changes, so a refusal leaves the image as it was.
    const std::size_t edgeRowsEach = 2 * half;
    const PixelBuffer edges = allocatePixels((bands - 1) * edgeRowsEach * rowBytes, PixelFill::Unset);
    const PixelBuffer ringMemory = allocatePixels(rings * ringRows * rowBytes, PixelFill::Unset);

    // The row-blurred copy of row r in the edge buffer, or null for a row that only its own band reads. With
    // bands of more than N rows the rows around different edges never overlap.
    auto edgeRow = [&](std::int64_t r) -> std::uint8_t* {
        const std::int64_t edge = (r + half) / bandHeight; // the edge at or just after r - N/2
        if (edge < 1 || static_cast<std::size_t>(edge) >= bands)
            return nullptr;
        const std::int64_t first = edge * bandHeight - half;
        if (r < first || r >= first + 2 * half)
            return nullptr;
        return edges.get() +
               ((static_cast<std::size_t>(edge) - 1) * edgeRowsEach + static_cast<std::size_t>(r - first)) *
                   rowBytes;
    };
    auto blurRowAt = [&](std::int64_t r, std::uint8_t* out) {
        blurRow(image.pixel(0, static_cast<std::uint32_t>(r)), out, image.width, kernel);
    };

    if (bands > 1)
        runParallel(bands - 1, [&](std::size_t i) {
            const auto edge = static_cast<std::int64_t>(i + 1) * bandHeight;
            for (std::int64_t r = std::max<std::int64_t>(0, edge - half); r < std::min(height, edge + half);
                 ++r)
                blurRowAt(r, edgeRow(r));
        });

    auto blurBand = [&](std::int64_t begin, std::int64_t end, std::uint8_t* ring) {
        auto ringRow = [&](std::int64_t r) {
            return ring + static_cast<std::size_t>(r) % ringRows * rowBytes;
        };
        auto blurred = [&](std::int64_t r) -> const std::uint8_t* {
            const std::uint8_t* edge = edgeRow(r);
            return edge != nullptr ? edge : ringRow(r);
        };
        std::int64_t ready = std::max<std::int64_t>(0, begin - half); // rows before it are blurred
        for (std::int64_t y = begin; y < end; ++y) {
            for (const std::int64_t needed = std::min(y + half + 1, height); ready < needed; ++ready)
                if (edgeRow(ready) == nullptr)
                    blurRowAt(ready, ringRow(ready));

            std::array<const std::uint8_t*, N> lines{};
            const Taps taps = tapsAt(kernel, static_cast<std::uint32_t>(y), image.height);
            for (std::size_t t = taps.first; t <= taps.last; ++t)
                lines[t] = blurred(y + static_cast<std::int64_t>(t) - half);
            std::uint8_t* out = image.pixel(0, static_cast<std::uint32_t>(y));
            if (taps.all)
                filterAll(lines, out, rowBytes, kernel);
            else
                filterSome(lines, out, rowBytes, kernel, taps);
        }
    };
    std::atomic<std::size_t> nextBand{0};
    runParallel(rings, [&](std::size_t ring) {
        for (std::size_t band; (band = nextBand.fetch_add(1, std::memory_order_relaxed)) < bands;) {
            const auto begin = static_cast<std::int64_t>(band) * bandHeight;
            blurBand(begin, std::min(height, begin + bandHeight),
                     ringMemory.get() + ring * ringRows * rowBytes);
        }
    });
}

// blur v k: smooths the image with a binomial kernel of 3 or 5 taps, along the rows and then along the
// columns. All four channels are filtered alike, alpha included, which is right for premultiplied colour.
class BlurCmd final : public Command {
public:
    BlurCmd()
        : Command("blur", {arg::image("v", Lookup::Fetch, "No image to blur"),
                           arg::integerOf("3|5", {3, 5}, "Only k=3,5 is supported")}) {}

    int execute(const Arguments& args, ScriptContext&) override {
        Image* image = &args.image(0);
        const int size = args.integer(1);
        if (image->width == 0 || image->height == 0)
            return 0;
        // The working rows are allocated before any pixel changes.
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

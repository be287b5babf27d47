#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// resize v sa sb: scales the image in v by sa/sb with nearest-neighbour sampling. Result pixel (k, j) is
// source pixel ((k * sb) div sa, (j * sb) div sa), and the result is (width * sa) div sb by
// (height * sa) div sb. This is the same as replicating every pixel into an sa x sa block and then taking
// every sb-th pixel of every sb-th row, but needs no memory beyond the source and the result.
class ResizeCmd final : public Command {
public:
    ResizeCmd()
        : Command("resize", {arg::image("v", Lookup::Fetch, "No image to resize"),
                             arg::integerIn("sa", 1, INT32_MAX, "sa and sb can't be zero"),
                             arg::integerIn("sb", 1, INT32_MAX, "sa and sb can't be zero")}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        const Image* source = &args.image(0);
        const int sa = args.integer(1);
        const int sb = args.integer(2);
        // The enlarged sides must be 32-bit sizes like every image side; beyond that the scaled size is
        // meaningless, so such factors are refused rather than wrapped.
        const std::uint64_t enlargedWidth = std::uint64_t{source->width} * static_cast<std::uint64_t>(sa);
        const std::uint64_t enlargedHeight = std::uint64_t{source->height} * static_cast<std::uint64_t>(sa);
        constexpr std::uint64_t maxSide = std::numeric_limits<std::uint32_t>::max();
        if (enlargedWidth > maxSide || enlargedHeight > maxSide) {
            ctx.report("resize factors too large");
            return 1;
        }
        // By n/n the result would be a copy of the source, so the source stays.
        if (sa == sb)
            return 0;
        // The result's sides are the source's times sa over sb.
        const auto up = static_cast<std::uint64_t>(sa);
        const auto down = static_cast<std::uint64_t>(sb);
        ImagePtr result = createImageForOverwrite(static_cast<std::uint32_t>(enlargedWidth / down),
                                                  static_cast<std::uint32_t>(enlargedHeight / down));
        if (result->width != 0 && result->height != 0)
            scale(*source, *result, up, down);
        ctx.setImage(args.index(0), std::move(result));
        return 0;
    }

private:
    // Result column k (and row j) shows source column k * down / up: the nearest neighbour of scaling by
    // up / down.
    static void scale(const Image& source, Image& result, std::uint64_t up, std::uint64_t down) {
        // The source column of every result column; k * down stays below 2^63 since k < 2^32, down < 2^31.
        std::vector<std::uint32_t> column(result.width);
        for (std::uint64_t k = 0; k < result.width; ++k)
            column[k] = static_cast<std::uint32_t>(k * down / up);

        // Bands of result rows in parallel; each band's first row is made from the source, so a band never
        // reads a row of another.
        const std::size_t rowBytes = result.rowBytes();
        forEachRowBand(result.height, rowBytes, [&](RowBand band) {
            std::uint64_t previousRow = std::numeric_limits<std::uint64_t>::max();
            for (auto j = static_cast<std::uint32_t>(band.begin); j < band.end; ++j) {
                const std::uint64_t sourceRow = j * down / up;
                std::uint8_t* out = result.pixel(0, j);
                if (sourceRow == previousRow) {
                    // An enlarged row repeats the result row above it.
                    std::memcpy(out, out - rowBytes, rowBytes);
                    continue;
                }
                previousRow = sourceRow;
                const std::uint8_t* in = source.pixel(0, static_cast<std::uint32_t>(sourceRow));
                for (std::size_t k = 0; k < result.width; ++k)
                    std::memcpy(out + k * bytesPerPixel, in + std::size_t{column[k]} * bytesPerPixel,
                                bytesPerPixel);
            }
        });
    }
};

} // namespace

Command& resizeCommand() {
    static ResizeCmd command;
    return command;
}

#include "commands/sampling.h"
#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// warp v option: a radial distortion about the centre pixel (width div 2, height div 2) of the image in v.
// t is a pixel's distance from the centre divided by R, the distance of pixel (0, 0), which is the largest
// in the image.
//   1, pinch: samples the point pulled toward the centre by the fraction t * t / 3.
//   2, swirl: samples the point turned counter-clockwise about the centre by 50 * t degrees; points from
//      outside the frame become transparent black.
// Samples are truncated toward zero and copied whole. The size does not change.
class WarpCmd final : public Command {
public:
    WarpCmd() : Command("warp", 3, "v 1|2") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const auto [index, source] = ctx.checkNameThenFetch(args[1], "No image");
        if (source == nullptr)
            return 1;
        const int option = parseInt(args[2]);
        if (option != pinch && option != swirl) {
            ctx.report("Only option = 1 and 2 is supported");
            return 1;
        }
        ImagePtr result;
        if (source->width == 0 || source->height == 0 || (source->width == 1 && source->height == 1)) {
            // An image without pixels stays as it is. In a single pixel the centre is pixel (0, 0) itself,
            // so R is 0 and t would be 0 / 0: the pixel stays where it is, as the centre pixel of every
            // larger image does.
            result = cloneImage(*source);
        } else {
            result = createImageForOverwrite(source->width, source->height);
            distort(*source, *result, option);
        }
        ctx.setImage(index, std::move(result));
        return 0;
    }

private:
    static constexpr int pinch = 1;
    static constexpr int swirl = 2;
    // 50 degrees at t = 1, in radians with the shortened pi: (t * 157.0796325) / 180.
    static constexpr double swirlDegreesTimesPi = 157.0796325;

    // Both distortions depend on a pixel's distance from the centre, which is the same double for the up to
    // four pixels (cx +- a, cy +- b): the squared offsets are the same exact integers. So rows are taken in
    // pairs mirrored about the centre row, and the per-distance values (the pinch fraction, or the cosine
    // and sine of the swirl angle) are computed once for each column offset and serve the pixels on both
    // sides of the centre column in both rows. Every sampled position is then computed for its own pixel
    // with the same arithmetic as a pixel-by-pixel walk.
    static void distort(const Image& source, Image& result, int option) {
        const std::int64_t width = source.width;
        const std::int64_t height = source.height;
        const std::int64_t cxi = width / 2;
        const std::int64_t cyi = height / 2;
        const auto cx = static_cast<double>(cxi);
        const auto cy = static_cast<double>(cyi);
        const double radius = std::sqrt(cx * cx + cy * cy);

        // Column i and its mirror 2 * cx - i share the offset cx - i; every column of the image lies within
        // cx of the centre column, since cx is width div 2.
        const auto offsets = static_cast<std::size_t>(cxi) + 1;
        std::vector<double> first(offsets);
        std::vector<double> second(offsets);

        for (std::int64_t j = 0; j <= cyi && j < height; ++j) {
            const std::int64_t mirror = 2 * cyi - j;
            const auto y = static_cast<double>(j);
            const double rowDistance = (cy - y) * (cy - y);
            for (std::size_t a = 0; a < offsets; ++a) {
                const auto x = static_cast<double>(cxi - static_cast<std::int64_t>(a));
                const double t = std::sqrt(rowDistance + (cx - x) * (cx - x)) / radius;
                if (option == pinch) {
                    first[a] = (t * t) / 3;
                } else {
                    const double theta = (t * swirlDegreesTimesPi) / 180;
                    first[a] = std::cos(theta);
                    second[a] = std::sin(theta);
                }
            }
            sampleRow(source, result, option, j, first, second);
            if (mirror != j && mirror < height)
                sampleRow(source, result, option, mirror, first, second);
        }
    }

    // Row j of the result, from the per-offset values of its distance from the centre row.
    static void sampleRow(const Image& source, Image& result, int option, std::int64_t j,
                          const std::vector<double>& first, const std::vector<double>& second) {
        const std::int64_t width = source.width;
        const std::int64_t cxi = width / 2;
        const std::int64_t cyi = std::int64_t{source.height} / 2;
        const auto cx = static_cast<double>(cxi);
        const auto cy = static_cast<double>(cyi);
        const auto y = static_cast<double>(j);
        const auto dy = static_cast<double>(j - cyi);
        std::uint8_t* out = result.pixel(0, static_cast<std::uint32_t>(j));
        for (std::int64_t i = 0; i < width; ++i, out += bytesPerPixel) {
            const auto a = static_cast<std::size_t>(i < cxi ? cxi - i : i - cxi);
            const auto x = static_cast<double>(i);
            std::int64_t sx;
            std::int64_t sy;
            if (option == pinch) {
                const double v = first[a];
                sx = truncateOffset((1 - v) * x + v * cx);
                sy = truncateOffset((1 - v) * y + v * cy);
            } else {
                const double cosT = first[a];
                const double sinT = second[a];
                const auto dx = static_cast<double>(i - cxi);
                sx = cxi + truncateOffset(cosT * dx - sinT * dy);
                sy = cyi + truncateOffset(sinT * dx + cosT * dy);
            }
            // The pinch always samples between the pixel and the centre; the test costs little and keeps
            // every read inside the source whatever the rounding.
            copyIfInside(source, sx, sy, out);
        }
    }
};

} // namespace

Command& warpCommand() {
    static WarpCmd command;
    return command;
}

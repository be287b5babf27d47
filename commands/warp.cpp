#include "commands/sampling.h"
#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <cmath>
#include <cstdint>
#include <cstring>

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
        if (source->width <= 1 && source->height <= 1) {
            // The centre is pixel (0, 0) itself, so R is 0 and t would be 0 / 0: the one pixel (if any)
            // stays where it is, as the centre pixel of every larger image does.
            result = cloneImage(*source);
        } else {
            result = createImage(source->width, source->height);
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

    static void distort(const Image& source, Image& result, int option) {
        const std::int64_t width = source.width;
        const std::int64_t height = source.height;
        const std::int64_t cxi = width / 2;
        const std::int64_t cyi = height / 2;
        const auto cx = static_cast<double>(cxi);
        const auto cy = static_cast<double>(cyi);
        const double radius = std::sqrt(cx * cx + cy * cy);

        for (std::int64_t j = 0; j < height; ++j) {
            const auto y = static_cast<double>(j);
            const double rowDistance = (cy - y) * (cy - y);
            const auto dy = static_cast<double>(j - cyi);
            std::uint8_t* out = result.pixel(0, static_cast<std::uint32_t>(j));
            for (std::int64_t i = 0; i < width; ++i, out += 4) {
                const auto x = static_cast<double>(i);
                const double t = std::sqrt(rowDistance + (cx - x) * (cx - x)) / radius;
                std::int64_t sx;
                std::int64_t sy;
                if (option == pinch) {
                    const double v = (t * t) / 3;
                    sx = truncateOffset((1 - v) * x + v * cx);
                    sy = truncateOffset((1 - v) * y + v * cy);
                } else {
                    const double theta = (t * swirlDegreesTimesPi) / 180;
                    const double cosT = std::cos(theta);
                    const double sinT = std::sin(theta);
                    const auto dx = static_cast<double>(i - cxi);
                    sx = cxi + truncateOffset(cosT * dx - sinT * dy);
                    sy = cyi + truncateOffset(sinT * dx + cosT * dy);
                }
                // The pinch always samples between the pixel and the centre; the test costs nothing and keeps
                // every read inside the source whatever the rounding. Pixels left alone stay transparent
                // black.
                if (sx >= 0 && sx < width && sy >= 0 && sy < height)
                    std::memcpy(
                        out, source.pixel(static_cast<std::uint32_t>(sx), static_cast<std::uint32_t>(sy)), 4);
            }
        }
    }
};

} // namespace

Command& warpCommand() {
    static WarpCmd command;
    return command;
}

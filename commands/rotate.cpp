#include "commands/sampling.h"
#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// rotate v degrees: turns the image in v about its centre pixel (width div 2, height div 2) by a whole
// number of degrees, counter-clockwise with row 0 at the top. Each result pixel copies the source pixel at
// its centre offset turned by the angle and truncated toward zero; pixels whose source lies outside the
// frame become transparent black. The size does not change.
class RotateCmd final : public Command {
public:
    RotateCmd() : Command("rotate", 3, "v degrees") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const auto [index, source] = ctx.checkNameThenFetch(args[1], "No image");
        if (source == nullptr)
            return 1;
        const double theta = (static_cast<double>(parseInt(args[2])) * anglePi) / 180;
        ImagePtr result = createImageForOverwrite(source->width, source->height);
        if (result->width != 0 && result->height != 0)
            turn(*source, *result, std::cos(theta), std::sin(theta));
        ctx.setImage(index, std::move(result));
        return 0;
    }

private:
    static void turn(const Image& source, Image& result, double cosT, double sinT) {
        const std::int64_t width = source.width;
        const std::int64_t height = source.height;
        const std::int64_t cx = width / 2;
        const std::int64_t cy = height / 2;

        // cos * dx and sin * dx depend only on the column, cos * dy and sin * dy only on the row; each
        // product is the same double whether computed here or beside the sum it enters.
        std::vector<double> cosDx(source.width);
        std::vector<double> sinDx(source.width);
        for (std::int64_t i = 0; i < width; ++i) {
            const auto dx = static_cast<double>(i - cx);
            cosDx[static_cast<std::size_t>(i)] = cosT * dx;
            sinDx[static_cast<std::size_t>(i)] = sinT * dx;
        }

        // The result is built in square tiles rather than whole rows: the source pixels a tile reads lie
        // close together, while a whole result row reads along a slanted line through many source rows.
        constexpr std::int64_t tile = 64;
        for (std::int64_t top = 0; top < height; top += tile) {
            const std::int64_t bottom = std::min(top + tile, height);
            for (std::int64_t left = 0; left < width; left += tile) {
                const std::int64_t right = std::min(left + tile, width);
                for (std::int64_t j = top; j < bottom; ++j) {
                    const auto dy = static_cast<double>(j - cy);
                    const double sinDy = sinT * dy;
                    const double cosDy = cosT * dy;
                    std::uint8_t* out =
                        result.pixel(static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(j));
                    for (auto i = static_cast<std::size_t>(left); i < static_cast<std::size_t>(right);
                         ++i, out += bytesPerPixel) {
                        const std::int64_t sx = cx + truncateOffset(cosDx[i] - sinDy);
                        const std::int64_t sy = cy + truncateOffset(sinDx[i] + cosDy);
                        copyIfInside(source, sx, sy, out);
                    }
                }
            }
        }
    }
};

} // namespace

Command& rotateCommand() {
    static RotateCmd command;
    return command;
}

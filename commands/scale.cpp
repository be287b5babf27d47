#include "image/resample.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "tga/tga.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace {

constexpr int maxScaleSide = static_cast<int>(maxTgaSide);

// The side that keeps the aspect ratio: `other` x side / otherSide, rounded to nearest (halves up), at
// least 1.
std::uint64_t keptSide(std::uint64_t side, std::uint64_t otherSide, std::uint64_t other) {
    return std::max<std::uint64_t>((2 * other * side + otherSide) / (2 * otherSide), 1);
}

// scale v width height: resamples the image in v to exactly width x height (0..65535 each) with the
// Lanczos-3 resampling of image/resample.h, enlarging or shrinking. A 0 side follows the other, keeping the
// aspect ratio; both 0, or a side so computed beyond 65535, is refused. An image without pixels has no
// colour to scale and is refused.
class ScaleCmd final : public Command {
public:
    ScaleCmd()
        : Command("scale", {arg::image("v", Lookup::NameFirst, "No image to scale"),
                            arg::integerIn("width", 0, maxScaleSide, "invalid size for scale", 2),
                            arg::integerIn("height", 0, maxScaleSide, "invalid size for scale", 2)}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        const Image& source = args.image(0);
        std::uint64_t width = static_cast<std::uint64_t>(args.integer(1));
        std::uint64_t height = static_cast<std::uint64_t>(args.integer(2));
        if (width == 0 && height == 0) {
            ctx.report("invalid size for scale");
            return 2;
        }
        if (source.width == 0 || source.height == 0) {
            ctx.report("no pixels to scale");
            return 1;
        }
        if (width == 0)
            width = keptSide(source.width, source.height, height);
        if (height == 0)
            height = keptSide(source.height, source.width, width);
        if (width > maxScaleSide || height > maxScaleSide) {
            ctx.report("invalid size for scale");
            return 2;
        }
        if (width == source.width && height == source.height)
            return 0;
        ctx.setImage(args.index(0), resampleImage(source, static_cast<std::uint32_t>(width),
                                                  static_cast<std::uint32_t>(height)));
        return 0;
    }
};

} // namespace

Command& scaleCommand() {
    static ScaleCmd command;
    return command;
}

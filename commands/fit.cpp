#include "image/resample.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "tga/tga.h"

#include <cstdint>
#include <utility>

namespace {

// The sides fit, scale and thumbnail take: up to what a TGA file holds, like blank's.
constexpr int maxFitSide = static_cast<int>(maxTgaSide);

// fit v width height: scales the image in v down to fit inside width x height (1..65535 each), keeping its
// aspect ratio, with the Lanczos-3 resampling of image/resample.h. An image already inside the box, and an
// image without pixels, stay as they are: fit never enlarges.
class FitCmd final : public Command {
public:
    FitCmd()
        : Command("fit", {arg::image("v", Lookup::NameFirst, "No image to fit"),
                          arg::integerIn("width", 1, maxFitSide, "invalid size for fit", 2),
                          arg::integerIn("height", 1, maxFitSide, "invalid size for fit", 2)}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        const Image& source = args.image(0);
        const FitSize size =
            fitInside(source.width, source.height, static_cast<std::uint32_t>(args.integer(1)),
                      static_cast<std::uint32_t>(args.integer(2)));
        if (size.width == source.width && size.height == source.height)
            return 0;
        ctx.setImage(args.index(0), resampleImage(source, size.width, size.height));
        return 0;
    }
};

} // namespace

Command& fitCommand() {
    static FitCmd command;
    return command;
}

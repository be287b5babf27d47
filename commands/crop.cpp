#include "commands/span.h"
#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// crop v x0 y0 x1 y1: replaces the image in v by the rectangle between the two corners, both inclusive,
// given in either order and clamped to the image. A rectangle off the image gives an empty image.
class CropCmd final : public Command {
public:
    CropCmd() : Command("crop", 6, "v x0 y0 x1 y1") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const auto [index, source] = ctx.checkNameThenFetch(args[1], "No image to crop");
        if (source == nullptr)
            return 1;
        const Span xs = clampSpan(parseInt(args[2]), parseInt(args[4]), source->width);
        const Span ys = clampSpan(parseInt(args[3]), parseInt(args[5]), source->height);

        // The whole image: the result would be a copy of the source, so the source stays.
        if (xs.start == 0 && xs.length == source->width && ys.start == 0 && ys.length == source->height)
            return 0;
        // Both lengths are at most the source's sides, so they fit the image's fields.
        ImagePtr result = createImageForOverwrite(static_cast<std::uint32_t>(xs.length),
                                                  static_cast<std::uint32_t>(ys.length));
        const std::size_t rowBytes = result->rowBytes();
        if (rowBytes != 0) {
            for (std::uint32_t j = 0; j < result->height; ++j) {
                const auto sourceRow = static_cast<std::uint32_t>(ys.start + j);
                std::memcpy(result->pixel(0, j),
                            source->pixel(static_cast<std::uint32_t>(xs.start), sourceRow), rowBytes);
            }
        }
        ctx.setImage(index, std::move(result));
        return 0;
    }
};

} // namespace

Command& cropCommand() {
    static CropCmd command;
    return command;
}

#include "commands/span.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// crop v x0 y0 x1 y1: replaces the image in v by the rectangle between the two corners, both inclusive,
// given in either order and clamped to the image. A rectangle off the image gives an empty image.
class CropCmd final : public Command {
public:
    CropCmd()
        : Command("crop", {arg::image("v", Lookup::NameFirst, "No image to crop"), arg::integer("x0"),
                           arg::integer("y0"), arg::integer("x1"), arg::integer("y1")}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        const Image* source = &args.image(0);
        const Span xs = clampSpan(args.integer(1), args.integer(3), source->width);
        const Span ys = clampSpan(args.integer(2), args.integer(4), source->height);

        // The whole image: the result would be a copy of the source, so the source stays.
        if (xs.start == 0 && xs.length == source->width && ys.start == 0 && ys.length == source->height)
            return 0;
        // Both lengths are at most the source's sides, so they fit the image's fields.
        ImagePtr result = createImageForOverwrite(static_cast<std::uint32_t>(xs.length),
                                                  static_cast<std::uint32_t>(ys.length));
        const std::size_t rowBytes = result->rowBytes();
        if (rowBytes != 0) {
            // Bands of rows in parallel.
            forEachRowBand(result->height, rowBytes, [&](RowBand band) {
                for (auto j = static_cast<std::uint32_t>(band.begin); j < band.end; ++j) {
                    const auto sourceRow = static_cast<std::uint32_t>(ys.start + j);
                    std::memcpy(result->pixel(0, j),
                                source->pixel(static_cast<std::uint32_t>(xs.start), sourceRow), rowBytes);
                }
            });
        }
        ctx.setImage(args.index(0), std::move(result));
        return 0;
    }
};

} // namespace

Command& cropCommand() {
    static CropCmd command;
    return command;
}

#include "commands/span.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

#include <cstdint>
#include <cstring>

namespace {

// fill v x0 y0 x1 y1 r g b a: sets every pixel of the rectangle with the two corners (both included) to the
// given bytes, stored as they are (not premultiplied). The corners may come in any order and are clipped to
// the image; a rectangle wholly outside it changes nothing. Only a missing image is an error.
class FillCmd final : public Command {
public:
    FillCmd()
        : Command("fill", {arg::image("v", Lookup::Fetch, "No image to fill"), arg::integer("x0"),
                           arg::integer("y0"), arg::integer("x1"), arg::integer("y1"), arg::channel("r"),
                           arg::channel("g"), arg::channel("b"), arg::channel("a")}) {}

    int execute(const Arguments& args, ScriptContext&) override {
        Image* image = &args.image(0);
        const Span xs = clampSpan(args.integer(1), args.integer(3), image->width);
        const Span ys = clampSpan(args.integer(2), args.integer(4), image->height);
        const std::uint8_t value[bytesPerPixel] = {args.channel(5), args.channel(6), args.channel(7),
                                                   args.channel(8)};
        if (xs.length == 0 || ys.length == 0)
            return 0;
        // The first row of the rectangle pixel by pixel, every other row as a copy of it, in bands of rows
        // that only read the first row once it is written.
        const auto rowBytes = static_cast<std::size_t>(xs.length) * bytesPerPixel;
        const auto x0 = static_cast<std::uint32_t>(xs.start);
        const auto y0 = static_cast<std::uint32_t>(ys.start);
        const std::uint8_t* first = image->pixel(x0, y0);
        for (std::size_t at = 0; at < rowBytes; at += bytesPerPixel)
            std::memcpy(image->pixel(x0, y0) + at, value, bytesPerPixel);
        forEachRowBand(ys.length - 1, rowBytes, [&](RowBand band) {
            for (std::int64_t j = band.begin + 1; j < band.end + 1; ++j)
                std::memcpy(image->pixel(x0, static_cast<std::uint32_t>(ys.start + j)), first, rowBytes);
        });
        return 0;
    }
};

} // namespace

Command& fillCommand() {
    static FillCmd command;
    return command;
}

#include "commands/span.h"
#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <cstdint>
#include <cstring>

namespace {

// fill v x0 y0 x1 y1 r g b a: sets every pixel of the rectangle with the two corners (both included) to the
// given bytes, stored as they are (not premultiplied). The corners may come in any order and are clipped to
// the image; a rectangle wholly outside it changes nothing. Only a missing image is an error.
class FillCmd final : public Command {
public:
    FillCmd() : Command("fill", 10, "v x0 y0 x1 y1 r g b a") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        Image* image = ctx.fetchImage(args[1], "No image to fill").image;
        if (image == nullptr)
            return 1;
        const Span xs = clampSpan(parseInt(args[2]), parseInt(args[4]), image->width);
        const Span ys = clampSpan(parseInt(args[3]), parseInt(args[5]), image->height);
        const std::uint8_t value[bytesPerPixel] = {parseChannel(args[6]), parseChannel(args[7]),
                                                   parseChannel(args[8]), parseChannel(args[9])};
        if (xs.length == 0 || ys.length == 0)
            return 0;
        // The first row of the rectangle pixel by pixel, every other row as a copy of it.
        const auto rowBytes = static_cast<std::size_t>(xs.length) * bytesPerPixel;
        const auto x0 = static_cast<std::uint32_t>(xs.start);
        const auto y0 = static_cast<std::uint32_t>(ys.start);
        std::uint8_t* first = image->pixel(x0, y0);
        for (std::size_t at = 0; at < rowBytes; at += bytesPerPixel)
            std::memcpy(first + at, value, bytesPerPixel);
        for (std::int64_t j = 1; j < ys.length; ++j)
            std::memcpy(image->pixel(x0, static_cast<std::uint32_t>(ys.start + j)), first, rowBytes);
        return 0;
    }
};

} // namespace

Command& fillCommand() {
    static FillCmd command;
    return command;
}

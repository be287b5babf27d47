#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

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
        // 64-bit, so that neither the clipping nor the image's width and height can overflow.
        std::int64_t x0 = parseInt(args[2]);
        std::int64_t y0 = parseInt(args[3]);
        std::int64_t x1 = parseInt(args[4]);
        std::int64_t y1 = parseInt(args[5]);
        if (x0 > x1)
            std::swap(x0, x1);
        if (y0 > y1)
            std::swap(y0, y1);
        x0 = std::max<std::int64_t>(x0, 0);
        y0 = std::max<std::int64_t>(y0, 0);
        x1 = std::min<std::int64_t>(x1, std::int64_t{image->width} - 1);
        y1 = std::min<std::int64_t>(y1, std::int64_t{image->height} - 1);
        const std::uint8_t value[4] = {parseChannel(args[6]), parseChannel(args[7]), parseChannel(args[8]),
                                       parseChannel(args[9])};
        if (x0 > x1 || y0 > y1)
            return 0;
        for (std::int64_t y = y0; y <= y1; ++y) {
            std::uint8_t* p = image->pixel(static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(y));
            for (std::int64_t x = x0; x <= x1; ++x, p += 4)
                std::memcpy(p, value, 4);
        }
        return 0;
    }
};

} // namespace

Command& fillCommand() {
    static FillCmd command;
    return command;
}

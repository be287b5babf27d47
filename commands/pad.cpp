#include "commands/gravity.h"
#include "image/straight_colour.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"
#include "tga/tga.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Padded images are limited to what a TGA file can hold, as blank images are.
constexpr int maxPadSide = static_cast<int>(maxTgaSide);

// pad v width height gravity r g b a: puts the image in v on a new canvas of width x height pixels of the
// colour r g b a, at the edge, corner or middle the gravity names (nw n ne w c e sw s se), with the same
// placement as place at a distance of 0. The image's pixels replace the canvas's where they land, alpha and
// all (a letterbox, not a blend), so every pixel of the image that fits is kept exactly; a canvas smaller
// than the image cuts it. The colour is straight, as in a file, and is premultiplied as read premultiplies
// a file's pixels: 255 255 255 128 is half-transparent white.
class PadCmd final : public Command {
public:
    PadCmd()
        : Command("pad", {arg::image("v", Lookup::NameFirst, "No image to pad"),
                          arg::integerIn("width", 1, maxPadSide, "invalid size for padded image"),
                          arg::integerIn("height", 1, maxPadSide, "invalid size for padded image"),
                          arg::text("gravity"), arg::channel("r"), arg::channel("g"), arg::channel("b"),
                          arg::channel("a")}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        const Image& image = args.image(0);
        const std::optional<Gravity> gravity = parseGravity(args.text(3));
        if (!gravity) {
            ctx.report("%s", gravityRefusal);
            return 1;
        }
        const std::uint8_t straight[bytesPerPixel] = {args.channel(4), args.channel(5), args.channel(6),
                                                      args.channel(7)};
        std::uint8_t colour[bytesPerPixel];
        premultiplyPixels(straight, 1, colour, ChannelOrder::Rgba);

        ImagePtr canvas = createImageForOverwrite(static_cast<std::uint32_t>(args.integer(1)),
                                                  static_cast<std::uint32_t>(args.integer(2)));
        const std::int64_t x = anchoredStart(gravity->horizontal, canvas->width, image.width, 0);
        const std::int64_t y = anchoredStart(gravity->vertical, canvas->height, image.height, 0);
        // The canvas columns and rows the image covers; none when it has no pixels.
        std::int64_t left = std::max<std::int64_t>(x, 0);
        std::int64_t right = std::min<std::int64_t>(x + image.width, canvas->width);
        std::int64_t top = std::max<std::int64_t>(y, 0);
        std::int64_t bottom = std::min<std::int64_t>(y + image.height, canvas->height);
        if (left >= right || top >= bottom)
            left = right = top = bottom = 0;

        // Every canvas byte is written once: a row of the colour where the image does not reach, the
        // colour beside it and the image's own pixels where it does.
        const std::size_t rowBytes = canvas->rowBytes();
        std::vector<std::uint8_t> colourRow(rowBytes);
        for (std::size_t at = 0; at < rowBytes; at += bytesPerPixel)
            std::memcpy(colourRow.data() + at, colour, bytesPerPixel);
        const auto leftBytes = static_cast<std::size_t>(left) * bytesPerPixel;
        const auto rightBytes = static_cast<std::size_t>(right) * bytesPerPixel;
        // Each canvas row is written from the colour row and one row of the image alone, so bands of rows
        // give the same bytes on any thread.
        forEachRowBand(canvas->height, rowBytes, [&](RowBand band) {
            for (std::int64_t row = band.begin; row < band.end; ++row) {
                std::uint8_t* out = canvas->pixel(0, static_cast<std::uint32_t>(row));
                if (row < top || row >= bottom) {
                    std::memcpy(out, colourRow.data(), rowBytes);
                    continue;
                }
                std::memcpy(out, colourRow.data(), leftBytes);
                std::memcpy(
                    out + leftBytes,
                    image.pixel(static_cast<std::uint32_t>(left - x), static_cast<std::uint32_t>(row - y)),
                    rightBytes - leftBytes);
                std::memcpy(out + rightBytes, colourRow.data(), rowBytes - rightBytes);
            }
        });
        ctx.setImage(args.index(0), std::move(canvas));
        return 0;
    }
};

} // namespace

Command& padCommand() {
    static PadCmd command;
    return command;
}

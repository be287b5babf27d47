#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// The inclusive span [near, far] of one axis after ordering and clamping to an image side of `size`
// pixels, as a start and a length. A span that lies wholly outside the image has length 0, never a
// negative one.
struct Span {
    std::int64_t start = 0;
    std::int64_t length = 0;
};

Span clampSpan(std::int64_t near, std::int64_t far, std::int64_t size) {
    if (near > far)
        std::swap(near, far);
    if (near < 0)
        near = 0;
    // A far corner below the image is left as it is; the length then comes out 0 or below.
    if (far > size - 1)
        far = size - 1;
    const std::int64_t length = far - near + 1;
    return {near, length > 0 ? length : 0};
}

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

        // Both lengths are at most the source's sides, so they fit the image's fields.
        ImagePtr result =
            createImage(static_cast<std::uint32_t>(xs.length), static_cast<std::uint32_t>(ys.length));
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

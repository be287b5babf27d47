#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "tga/tga.h"

#include <new>

namespace {

// Blank images are limited to what a TGA file can hold, so that every blank image can be written.
constexpr int maxBlankSide = static_cast<int>(maxTgaSide);

// blank v width height: stores a new opaque black image of the given size (1..65535 each way) in v.
class BlankCmd final : public Command {
public:
    BlankCmd()
        : Command("blank", {arg::destination("v"),
                            arg::integerIn("width", 1, maxBlankSide, "invalid size for blank image", 2),
                            arg::integerIn("height", 1, maxBlankSide, "invalid size for blank image", 2)}) {}

    bool keepsMetadata() const override { return false; }

    int execute(const Arguments& args, ScriptContext& ctx) override {
        const int width = args.integer(1);
        const int height = args.integer(2);
        ImagePtr image;
        try {
            image = createImage(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
        } catch (const std::bad_alloc&) {
            ctx.report("couldn't create blank image");
            return 3;
        }
        setOpaque(*image);
        ctx.setImage(args.index(0), std::move(image));
        return 0;
    }
};

} // namespace

Command& blankCommand() {
    static BlankCmd command;
    return command;
}

#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"
#include "tga/tga.h"

#include <new>

namespace {

// Blank images are limited to what a TGA file can hold, so that every blank image can be written.
constexpr int maxBlankSide = static_cast<int>(maxTgaSide);

// blank v width height: stores a new opaque black image of the given size (1..65535 each way) in v.
class BlankCmd final : public Command {
public:
    BlankCmd() : Command("blank", 4, "v width height") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const int index = ctx.variableIndex(args[1]);
        const int width = parseInt(args[2]);
        const int height = parseInt(args[3]);
        if (index < 0)
            return 1;
        if (width < 1 || width > maxBlankSide || height < 1 || height > maxBlankSide) {
            ctx.report("invalid size for blank image");
            return 2;
        }
        ImagePtr image;
        try {
            image = createImage(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
        } catch (const std::bad_alloc&) {
            ctx.report("couldn't create blank image");
            return 3;
        }
        setOpaque(*image);
        ctx.setImage(index, std::move(image));
        return 0;
    }
};

} // namespace

Command& blankCommand() {
    static BlankCmd command;
    return command;
}

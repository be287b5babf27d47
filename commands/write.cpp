#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "tga/tga.h"

namespace {

// write v path: saves the image in v as a 32-bit TGA file. The variable is never changed; a file that
// cannot be written is reported, and leaves no partial file behind.
class WriteCmd final : public Command {
public:
    WriteCmd() : Command("write", 3, "v file.tga") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const Image* image = ctx.fetchImage(args[1], "no image to write!").image;
        if (image == nullptr)
            return 2;
        switch (writeImage(args[2], *image)) {
        case WriteResult::Ok:
            return 0;
        case WriteResult::TooLarge:
            ctx.report("can't write image! (width or height above 65535)");
            break;
        case WriteResult::CannotOpen:
            ctx.report("can't write image! (cannot open file)");
            break;
        case WriteResult::CannotWrite:
            ctx.report("can't write image! (cannot write to file)");
            break;
        }
        return 2;
    }
};

} // namespace

Command& writeCommand() {
    static WriteCmd command;
    return command;
}

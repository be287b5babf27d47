#include "formats/image_file.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"

namespace {

// write v path: saves the image in v, as TGA unless the name starts with another format's prefix
// (png:out.png). The variable is never changed; a file that cannot be written is reported, and leaves no
// partial file behind.
class WriteCmd final : public Command {
public:
    WriteCmd() : Command("write", 3, "v [format:]file") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const Image* image = ctx.fetchImage(args[1], "no image to write!").image;
        if (image == nullptr)
            return 2;
        const std::string reason = saveImageFile(args[2], *image);
        if (reason.empty())
            return 0;
        ctx.report("can't write image! (%s)", reason.c_str());
        return 2;
    }
};

} // namespace

Command& writeCommand() {
    static WriteCmd command;
    return command;
}

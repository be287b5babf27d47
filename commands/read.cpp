#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "tga/tga.h"

namespace {

// read v path: loads a TGA file into v. On failure v keeps the image it held.
class ReadCmd final : public Command {
public:
    ReadCmd() : Command("read", 3, "v file.tga") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const int index = ctx.variableIndex(args[1]);
        if (index < 0)
            return 1;
        ImagePtr image = loadImage(args[2]);
        if (image == nullptr) {
            ctx.report("can't read image! (%s)", tgaErrorMessage(static_cast<std::uint32_t>(TgaError)));
            return 2;
        }
        ctx.setImage(index, std::move(image));
        return 0;
    }
};

} // namespace

Command& readCommand() {
    static ReadCmd command;
    return command;
}

#include "interpreter/command.h"
#include "interpreter/script_context.h"

namespace {

// copy src dst: stores a deep copy of the image in src in dst. The source name is checked and its image
// found before the destination name is looked at.
class CopyCmd final : public Command {
public:
    CopyCmd() : Command("copy", 3, "from to") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const Image* image = ctx.checkNameThenFetch(args[1], "No image to copy").image;
        if (image == nullptr)
            return 1;
        const int destination = ctx.variableIndex(args[2]);
        if (destination < 0)
            return 1;
        // The copy is made before the destination is released, so copy a a keeps its content.
        ctx.setImage(destination, cloneImage(*image));
        return 0;
    }
};

} // namespace

Command& copyCommand() {
    static CopyCmd command;
    return command;
}

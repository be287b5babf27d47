#include "formats/image_file.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"

namespace {

// read v path: loads an image file of any format the program reads into v. On failure v keeps the image
// it held.
class ReadCmd final : public Command {
public:
    ReadCmd() : Command("read", 3, "v file") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const int index = ctx.variableIndex(args[1]);
        if (index < 0)
            return 1;
        LoadResult loaded = loadImageFile(args[2]);
        if (loaded.image == nullptr) {
            ctx.report("can't read image! (%s)", loaded.reason.c_str());
            return 2;
        }
        ctx.setImage(index, std::move(loaded.image));
        return 0;
    }
};

} // namespace

Command& readCommand() {
    static ReadCmd command;
    return command;
}

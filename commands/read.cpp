#include "formats/image_file.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"

namespace {

// read v path: loads an image file of any format the program reads into v. On failure v keeps the image
// it held.
class ReadCmd final : public Command {
public:
    ReadCmd() : Command("read", {arg::destination("v"), arg::text("file")}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        LoadResult loaded = loadImageFile(args.text(1));
        if (loaded.image == nullptr) {
            ctx.report("can't read image! (%s)", loaded.reason.c_str());
            return 2;
        }
        ctx.setImage(args.index(0), std::move(loaded.image));
        return 0;
    }
};

} // namespace

Command& readCommand() {
    static ReadCmd command;
    return command;
}

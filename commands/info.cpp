#include "interpreter/command.h"
#include "interpreter/script_context.h"

#include <cstdio>

namespace {

// info v: prints the size of the image in v. Always succeeds; a missing image is reported as "No Image".
class InfoCmd final : public Command {
public:
    InfoCmd() : Command("info", 2, "v") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        const Image* image = ctx.getImage(args[1]);
        if (image == nullptr) {
            std::printf("No Image\n");
            return 0;
        }
        std::printf("Image size %u %u\n", image->width, image->height);
        return 0;
    }
};

} // namespace

Command& infoCommand() {
    static InfoCmd command;
    return command;
}

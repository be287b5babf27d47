#include "interpreter/command.h"
#include "interpreter/script_context.h"

#include <cstdio>

namespace {

// The variable whose size is printed. A bad name gives the name message and the out-of-bounds message, and
// a missing image "No Image" without a line number; info returns 0 all the same.
Argument noImage() {
    Argument v = arg::image("v", Lookup::Fetch, "No Image", 0);
    v.plainRefusal = true;
    return v;
}

// info v: prints the size of the image in v. Always succeeds; a missing image is reported as "No Image".
class InfoCmd final : public Command {
public:
    InfoCmd() : Command("info", {noImage()}) {}

    int execute(const Arguments& args, ScriptContext&) override {
        const Image& image = args.image(0);
        std::printf("Image size %u %u\n", image.width, image.height);
        return 0;
    }
};

} // namespace

Command& infoCommand() {
    static InfoCmd command;
    return command;
}

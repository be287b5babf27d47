#include "image/orientation.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"

namespace {

// mirror v: reverses every row of the image in v, left column to the right, in place. Mirroring twice gives
// the image back.
class MirrorCmd final : public Command {
public:
    MirrorCmd() : Command("mirror", {arg::image("v", Lookup::NameFirst, "No image to mirror")}) {}

    int execute(const Arguments& args, ScriptContext&) override {
        orientInPlace(args.image(0), 2);
        return 0;
    }
};

} // namespace

Command& mirrorCommand() {
    static MirrorCmd command;
    return command;
}

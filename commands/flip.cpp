#include "image/orientation.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"

namespace {

// flip v: turns the image in v upside down, top row to the bottom, in place; the rows themselves are not
// changed. Flipping twice gives the image back.
class FlipCmd final : public Command {
public:
    FlipCmd() : Command("flip", {arg::image("v", Lookup::NameFirst, "No image to flip")}) {}

    int execute(const Arguments& args, ScriptContext&) override {
        orientInPlace(args.image(0), 4);
        return 0;
    }
};

} // namespace

Command& flipCommand() {
    static FlipCmd command;
    return command;
}

#include "interpreter/command.h"
#include "interpreter/script_context.h"

namespace {

// strip v: drops the colour profile, EXIF and XMP the image in v carries. The pixels stay as they are, so
// an image that carried a profile other than sRGB is then taken for sRGB (srgb v converts it first).
class StripCmd final : public Command {
public:
    StripCmd() : Command("strip", {arg::image("v", Lookup::Fetch, "No image to strip")}) {}

    int execute(const Arguments& args, ScriptContext&) override {
        args.image(0).metadata = nullptr;
        return 0;
    }
};

} // namespace

Command& stripCommand() {
    static StripCmd command;
    return command;
}

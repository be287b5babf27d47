#include "colour/srgb.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"

#include <string>

namespace {

// srgb v: converts the image in v from the colour profile it carries to sRGB and drops the profile; an
// image without a profile is sRGB already and stays as it is. On failure v keeps its image unchanged.
class SrgbCmd final : public Command {
public:
    SrgbCmd() : Command("srgb", {arg::image("v", Lookup::Fetch, "No image to convert")}) {}

    // The verb sets the metadata itself: the profile goes, EXIF and XMP stay.
    bool keepsMetadata() const override { return false; }

    int execute(const Arguments& args, ScriptContext& ctx) override {
        std::string reason;
        if (!convertToSrgb(args.image(0), reason)) {
            ctx.report("can't convert image! (%s)", reason.c_str());
            return 2;
        }
        return 0;
    }
};

} // namespace

Command& srgbCommand() {
    static SrgbCmd command;
    return command;
}

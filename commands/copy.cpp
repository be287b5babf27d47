#include "interpreter/command.h"
#include "interpreter/script_context.h"

namespace {

// copy src dst: stores a deep copy of the image in src in dst. The source name is checked and its image
// found before the destination name is looked at.
class CopyCmd final : public Command {
public:
    CopyCmd()
        : Command("copy",
                  {arg::image("from", Lookup::NameFirst, "No image to copy"), arg::destination("to")}) {}

    bool keepsMetadata() const override { return false; }

    int execute(const Arguments& args, ScriptContext& ctx) override {
        // The copy is made before the destination is released, so copy a a keeps its content.
        ctx.setImage(args.index(1), cloneImage(args.image(0)));
        return 0;
    }
};

} // namespace

Command& copyCommand() {
    static CopyCmd command;
    return command;
}

#include "commands/painterly.h"

namespace {

// painter v: re-draws the image in v as a painting on a textured canvas (see commands/painterly.h).
class PainterCmd final : public Command {
public:
    PainterCmd() : Command("painter", 2, "v") {}

    int execute(ArgList& args, ScriptContext& ctx) override { return paintVariable(args, ctx); }
};

} // namespace

Command& painterCommand() {
    static PainterCmd command;
    return command;
}

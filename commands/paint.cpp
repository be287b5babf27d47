#include "commands/painterly.h"

namespace {

// paint v: re-draws the image in v as a painting on a textured canvas (see commands/painterly.h).
class PaintCmd final : public Command {
public:
    PaintCmd() : Command("paint", 2, "v") {}

    int execute(ArgList& args, ScriptContext& ctx) override { return paintVariable(args, ctx); }
};

} // namespace

Command& paintCommand() {
    static PaintCmd command;
    return command;
}

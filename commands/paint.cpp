#include "commands/painterly.h"

namespace {

// paint v: re-draws the image in v as a painting on a textured canvas (see commands/painterly.h). painter
// is the same verb under another name.
class PaintCmd : public Command {
public:
    PaintCmd() : PaintCmd("paint") {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        return paintVariable(args.index(0), &args.image(0), ctx);
    }

protected:
    explicit PaintCmd(const char* verb)
        : Command(verb, {arg::image("v", Lookup::NameFirst, "No image to Paint")}) {}
};

class PainterCmd final : public PaintCmd {
public:
    PainterCmd() : PaintCmd("painter") {}
};

} // namespace

Command& paintCommand() {
    static PaintCmd command;
    return command;
}

Command& painterCommand() {
    static PainterCmd command;
    return command;
}

#include "commands/pixel_math.h"
#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

namespace {

// darken v a: scales the red, green and blue bytes of every pixel by a (0 < a < 1), truncating; alpha stays.
// Scaling the colour never lifts it above its alpha, so the image stays validly premultiplied.
class DarkenCmd final : public Command {
public:
    DarkenCmd() : Command("darken", 3, "v 0<a<1") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        Image* image = ctx.fetchImage(args[1], "No image to Darken").image;
        if (image == nullptr)
            return 1;
        const double amount = amountArg(args[2]);
        if (!(amount > 0.0 && amount < 1.0)) {
            ctx.report("Darken amount out of range (0 < a < 1)");
            return 1;
        }
        const ByteTable scaled = scaledBytes(amount);
        scaleBytes(image->pixels.get(), image->byteCount(), scaled, amount, true);
        return 0;
    }
};

} // namespace

Command& darkenCommand() {
    static DarkenCmd command;
    return command;
}

#include "commands/pixel_math.h"
#include "interpreter/command.h"
#include "interpreter/numbers.h"
#include "interpreter/script_context.h"

namespace {

// dissolve v a: scales all four bytes of every pixel by a (0 < a < 1), truncating. Colour and alpha shrink
// together, which fades the image towards transparency and keeps it premultiplied.
class DissolveCmd final : public Command {
public:
    DissolveCmd() : Command("dissolve", 3, "v 0<a<1") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        Image* image = ctx.fetchImage(args[1], "No image to Dissolve").image;
        if (image == nullptr)
            return 1;
        const double amount = amountArg(args[2]);
        if (!(amount > 0.0 && amount < 1.0)) {
            ctx.report("Dissolve amount out of range (0 < a < 1)");
            return 1;
        }
        const ByteTable scaled = scaledBytes(amount);
        scaleBytes(image->pixels.get(), image->byteCount(), scaled, amount, false);
        return 0;
    }
};

} // namespace

Command& dissolveCommand() {
    static DissolveCmd command;
    return command;
}

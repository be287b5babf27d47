#include "commands/pixel_math.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

namespace {

// darken and dissolve, one verb under two names: every byte of every pixel times the amount a
// (0 < a < 1), truncated; darken leaves alpha as it is, dissolve scales it too (a fade towards transparency
// that keeps the premultiplied form). Scaling the colour never lifts it above its alpha, so either way the
// image stays validly premultiplied.
class ScaleCommand : public Command {
public:
    int execute(const Arguments& args, ScriptContext&) override {
        Image& image = args.image(0);
        const double amount = args.amount(1);
        const ByteTable scaled = scaledBytes(amount);
        // Every byte is scaled on its own, so bands of whole rows (whole pixels, alpha in its place) give
        // the same bytes on any thread.
        const std::size_t rowBytes = image.rowBytes();
        forEachRowBand(image.height, rowBytes, [&](RowBand band) {
            scaleBytes(image.pixel(0, static_cast<std::uint32_t>(band.begin)),
                       static_cast<std::size_t>(band.end - band.begin) * rowBytes, scaled, amount, keepAlpha);
        });
        return 0;
    }

protected:
    ScaleCommand(const char* verb, const char* missing, const char* refusal, bool alphaStays)
        : Command(verb, {arg::image("v", Lookup::Fetch, missing),
                         arg::amount("0<a<1", 0.0, false, 1.0, false, refusal)}),
          keepAlpha(alphaStays) {}

private:
    const bool keepAlpha;
};

class DarkenCmd final : public ScaleCommand {
public:
    DarkenCmd()
        : ScaleCommand("darken", "No image to Darken", "Darken amount out of range (0 < a < 1)", true) {}
};

class DissolveCmd final : public ScaleCommand {
public:
    DissolveCmd()
        : ScaleCommand("dissolve", "No image to Dissolve", "Dissolve amount out of range (0 < a < 1)",
                       false) {}
};

} // namespace

Command& darkenCommand() {
    static DarkenCmd command;
    return command;
}

Command& dissolveCommand() {
    static DissolveCmd command;
    return command;
}

#include "image/orientation.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"

#include <utility>

namespace {

// turn v 90|180|270: turns the image in v clockwise by that many degrees, exactly: every pixel is moved and
// none is changed, so four quarter turns give the image back bit for bit. A quarter turn swaps width and
// height and makes a new image (the old one is released once it is made); half a turn works in place.
class TurnCmd final : public Command {
public:
    TurnCmd()
        : Command("turn",
                  {arg::image("v", Lookup::NameFirst, "No image to turn"),
                   arg::integerOf("90|180|270", {90, 180, 270}, "Only 90, 180 and 270 are supported")}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        Image& image = args.image(0);
        const int degrees = args.integer(1);
        if (degrees == 180) {
            orientInPlace(image, 3);
            return 0;
        }
        // A picture stored as 6 is seen turned a quarter clockwise, one stored as 8 a quarter the other way.
        ctx.setImage(args.index(0), orientedImage(image, degrees == 90 ? 6 : 8));
        return 0;
    }
};

} // namespace

Command& turnCommand() {
    static TurnCmd command;
    return command;
}

#include "formats/image_file.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"

#include <cstring>

namespace {

// write v path: saves the image in v, as TGA unless the name starts with another format's prefix
// (png:out.png). The variable is never changed; a file that cannot be written is reported, and leaves no
// partial file behind.
class WriteCmd final : public Command {
public:
    WriteCmd()
        : Command("write",
                  {arg::image("v", Lookup::Fetch, "no image to write!", 2), arg::text("[format:]file")}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        int systemError = 0;
        const std::string reason = saveImageFile(args.text(1), args.image(0), &systemError);
        if (reason.empty())
            return 0;
        // In strict mode the message names the file and the system's reason when there is one.
        if (!ctx.strict)
            ctx.report("can't write image! (%s)", reason.c_str());
        else
            ctx.report("can't write image '%s': %s", args.text(1),
                       systemError != 0 ? std::strerror(systemError) : reason.c_str());
        return 2;
    }
};

} // namespace

Command& writeCommand() {
    static WriteCmd command;
    return command;
}

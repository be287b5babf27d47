#include "formats/image_file.h"
#include "formats/image_formats.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "interpreter/usage.h"

#include <cstring>

namespace {

// read v path: loads an image file of any format the program reads into v. On failure v keeps the image
// it held.
class ReadCmd final : public Command {
public:
    ReadCmd() : Command("read", {arg::destination("v"), arg::text("file")}) { setFormatsHelp(formatsHelp); }

    bool keepsMetadata() const override { return false; }

    int execute(const Arguments& args, ScriptContext& ctx) override {
        // In strict mode a file must hold all its pixels, and a message names the file and the system's
        // reason for a file that could not be opened or read.
        LoadResult loaded = loadImageFile(args.text(1), ctx.strict);
        if (loaded.image == nullptr) {
            if (!ctx.strict)
                ctx.report("can't read image! (%s)", loaded.reason.c_str());
            else
                ctx.report("can't read image '%s': %s", args.text(1),
                           loaded.systemError != 0 ? std::strerror(loaded.systemError)
                                                   : loaded.reason.c_str());
            return 2;
        }
        for (const std::string& note : loaded.notes)
            ctx.note("%s", note.c_str());
        ctx.setImage(args.index(0), std::move(loaded.image));
        return 0;
    }
};

} // namespace

Command& readCommand() {
    static ReadCmd command;
    return command;
}

#include "commands/load_report.h"
#include "formats/image_file.h"
#include "formats/image_formats.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "interpreter/usage.h"

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
        if (const int status = reportLoad(loaded, args.text(1), ctx); status != 0)
            return status;
        ctx.setImage(args.index(0), std::move(loaded.image));
        return 0;
    }
};

} // namespace

Command& readCommand() {
    static ReadCmd command;
    return command;
}

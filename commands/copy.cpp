#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

#include <cstring>

namespace {

// copy src dst: stores a deep copy of the image in src in dst. The source name is checked and its image
// found before the destination name is looked at.
class CopyCmd final : public Command {
public:
    CopyCmd()
        : Command("copy",
                  {arg::image("from", Lookup::NameFirst, "No image to copy"), arg::destination("to")}) {}

    bool keepsMetadata() const override { return false; }

    int execute(const Arguments& args, ScriptContext& ctx) override {
        // The copy is made before the destination is released, so copy a a keeps its content.
        ctx.setImage(args.index(1), copyOf(args.image(0)));
        return 0;
    }

private:
    // A deep copy like cloneImage's, its rows copied in parallel bands.
    static ImagePtr copyOf(const Image& image) {
        ImagePtr copy = createImageForOverwrite(image.width, image.height);
        const std::size_t rowBytes = image.rowBytes();
        if (copy->byteCount() != 0)
            forEachRowBand(image.height, rowBytes, [&](RowBand band) {
                const auto offset = static_cast<std::size_t>(band.begin) * rowBytes;
                std::memcpy(copy->pixels.get() + offset, image.pixels.get() + offset,
                            static_cast<std::size_t>(band.end - band.begin) * rowBytes);
            });
        copy->metadata = image.metadata;
        copy->sourceQuality = image.sourceQuality;
        return copy;
    }
};

} // namespace

Command& copyCommand() {
    static CopyCmd command;
    return command;
}

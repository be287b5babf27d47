#include "commands/load_report.h"
#include "formats/image_file.h"
#include "image/resample.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "tga/tga.h"

#include <utility>

namespace {

constexpr int maxThumbnailSide = static_cast<int>(maxTgaSide);

// thumbnail v file width height: what `read v file` then `fit v width height` give, but JPEG and WebP files
// are decoded only as large as the box needs (formats/scaled_decoders.h), which saves most of the time and
// memory for a large picture; the pixels may then differ a little from read and fit. The result has the
// size fit gives the whole picture, and the file's metadata as read gives it. On failure v keeps the image
// it held, and the messages are read's.
class ThumbnailCmd final : public Command {
public:
    ThumbnailCmd()
        : Command("thumbnail",
                  {arg::destination("v"), arg::text("file"),
                   arg::integerIn("width", 1, maxThumbnailSide, "invalid size for thumbnail", 2),
                   arg::integerIn("height", 1, maxThumbnailSide, "invalid size for thumbnail", 2)}) {}

    bool keepsMetadata() const override { return false; }

    int execute(const Arguments& args, ScriptContext& ctx) override {
        const auto boxWidth = static_cast<std::uint32_t>(args.integer(2));
        const auto boxHeight = static_cast<std::uint32_t>(args.integer(3));
        LoadResult loaded = loadImageFileScaled(args.text(1), boxWidth, boxHeight, ctx.strict);
        if (const int status = reportLoad(loaded, args.text(1), ctx); status != 0)
            return status;
        // The size fit gives the whole picture, whatever size the decoder delivered.
        const FitSize size = fitInside(loaded.fullWidth, loaded.fullHeight, boxWidth, boxHeight);
        ImagePtr image = std::move(loaded.image);
        if (image->width != 0 && image->height != 0 &&
            (image->width != size.width || image->height != size.height)) {
            ImagePtr fitted = resampleImage(*image, size.width, size.height);
            fitted->metadata = std::move(image->metadata);
            image = std::move(fitted);
        }
        ctx.setImage(args.index(0), std::move(image));
        return 0;
    }
};

} // namespace

Command& thumbnailCommand() {
    static ThumbnailCmd command;
    return command;
}

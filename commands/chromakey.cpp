#include "image/image.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace {

// chromakey v r g b: makes every pixel whose colour equals the key colour transparent black. The image is
// premultiplied, so each pixel is compared with the key premultiplied by that pixel's own alpha:
// trunc(k * (alpha / 255)), in double precision. That product, not an integer quotient, decides: key 85 at
// alpha 147 gives 48.99999999999999 and so 48, where 85 * 147 / 255 in integers would give 49. A pixel with
// alpha 0 is never keyed.
class ChromakeyCmd final : public Command {
public:
    ChromakeyCmd()
        : Command("chromakey", {arg::image("v", Lookup::Fetch, "No image to Chromakey"), arg::channel("r"),
                                arg::channel("g"), arg::channel("b")}) {}

    int execute(const Arguments& args, ScriptContext&) override {
        Image* image = &args.image(0);
        const std::uint8_t key[3] = {args.channel(1), args.channel(2), args.channel(3)};
        // The premultiplied key for every alpha, built once for this call.
        std::array<std::array<std::uint8_t, 3>, 256> keyAt{};
        for (int a = 1; a < 256; ++a) {
            const double alpha = a / 255.0;
            for (int c = 0; c < 3; ++c)
                keyAt[static_cast<std::size_t>(a)][static_cast<std::size_t>(c)] = truncToByte(key[c] * alpha);
        }
        // Each pixel is tested on its own: bands of rows give the same bytes on any thread.
        const std::size_t rowBytes = image->rowBytes();
        forEachRowBand(image->height, rowBytes, [&](RowBand band) {
            std::uint8_t* p = image->pixel(0, static_cast<std::uint32_t>(band.begin));
            std::uint8_t* const end = p + static_cast<std::size_t>(band.end - band.begin) * rowBytes;
            for (; p != end; p += bytesPerPixel) {
                if (p[3] == 0)
                    continue;
                const auto& k = keyAt[p[3]];
                if (p[0] == k[0] && p[1] == k[1] && p[2] == k[2])
                    p[0] = p[1] = p[2] = p[3] = 0;
            }
        });
        return 0;
    }
};

} // namespace

Command& chromakeyCommand() {
    static ChromakeyCmd command;
    return command;
}

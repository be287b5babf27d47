#include "image/image.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"

#include <array>
#include <cstdint>

namespace {

// The straight colour of every premultiplied colour byte c at every alpha a, indexed [a][c]: with
// alpha = a / 255, the quotient c / alpha rounded to single precision, capped at 255 and truncated. The
// rounding to float is what turns quotients such as 254.99999999999997 (c equal to a, for some a) into 255.
// A pixel with alpha 0 has no colour left to recover and becomes black.
using StraightTable = std::array<std::array<std::uint8_t, 256>, 256>;
StraightTable makeStraightTable() {
    StraightTable table{};
    for (int a = 1; a < 256; ++a) {
        const double alpha = a / 255.0;
        for (int c = 0; c < 256; ++c) {
            float q = static_cast<float>(c / alpha);
            if (q > 255.0f)
                q = 255.0f;
            table[static_cast<std::size_t>(a)][static_cast<std::size_t>(c)] = truncToByte(q);
        }
    }
    return table;
}

// opaque v: undoes the premultiplication of every pixel and makes it fully opaque.
class OpaqueCmd final : public Command {
public:
    OpaqueCmd() : Command("opaque", 2, "v") {}

    int execute(ArgList& args, ScriptContext& ctx) override {
        Image* image = ctx.fetchImage(args[1], "No image").image;
        if (image == nullptr)
            return 1;
        // The table depends on nothing but the formula, so it is built once, on first use.
        static const StraightTable straight = makeStraightTable();
        std::uint8_t* p = image->pixels.get();
        std::uint8_t* const end = p + image->byteCount();
        for (; p != end; p += bytesPerPixel) {
            // At alpha 255 every quotient is c / 1 = c: an opaque pixel stays as it is.
            if (p[3] == 255)
                continue;
            const auto& row = straight[p[3]];
            p[0] = row[p[0]];
            p[1] = row[p[1]];
            p[2] = row[p[2]];
            p[3] = 255;
        }
        return 0;
    }
};

} // namespace

Command& opaqueCommand() {
    static OpaqueCmd command;
    return command;
}

#include "image/image.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The straight colour of every premultiplied colour byte c at every alpha a, indexed [a][c]: with
// alpha = a / 255, the quotient c / alpha rounded to single precision, capped at 255 and truncated. The
// rounding to float is what turns quotients such as 254.99999999999997 (c equal to a, for some a) into 255.
// A pixel with alpha 0 has no colour left to recover and becomes black. Files keep their own
// straight-colour table (image/straight_colour.h), which differs on purpose: a file stores the colour
// recovered with single-precision rounding after each step, while opaque rounds the one quotient c / alpha.
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
    OpaqueCmd() : Command("opaque", {arg::image("v", Lookup::Fetch, "No image")}) {}

    int execute(const Arguments& args, ScriptContext&) override {
        Image* image = &args.image(0);
        // The table depends on nothing but the formula, so it is built once, on first use.
        static const StraightTable straight = makeStraightTable();
        // Each pixel is converted on its own: bands of rows give the same bytes on any thread.
        const std::size_t rowBytes = image->rowBytes();
        forEachRowBand(image->height, rowBytes, [&](RowBand band) {
            std::uint8_t* p = image->pixel(0, static_cast<std::uint32_t>(band.begin));
            unpremultiplyRange(p, p + static_cast<std::size_t>(band.end - band.begin) * rowBytes, straight);
        });
        return 0;
    }

private:
    // The pixels from p up to end made opaque.
    static void unpremultiplyRange(std::uint8_t* p, std::uint8_t* const end, const StraightTable& straight) {
#if defined(__SSE2__)
        // Four alpha bytes of 255 in a row of 16 bytes.
        const __m128i opaqueAlphas = _mm_set1_epi32(static_cast<int>(0xff000000u));
#endif
        while (p != end) {
            // At alpha 255 every quotient is c / 1 = c: an opaque pixel stays as it is, so runs of four
            // opaque pixels are skipped whole.
#if defined(__SSE2__)
            if (end - p >= 16) {
                const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                const __m128i alphas = _mm_and_si128(block, opaqueAlphas);
                if (_mm_movemask_epi8(_mm_cmpeq_epi32(alphas, opaqueAlphas)) == 0xffff) {
                    p += 16;
                    continue;
                }
            }
#endif
            const std::uint8_t* const stop = end - p >= 16 ? p + 16 : end;
            for (; p != stop; p += bytesPerPixel)
                unpremultiply(p, straight);
        }
    }

    // The row of alpha 255 maps every byte to itself, so an opaque pixel among others needs no test.
    static void unpremultiply(std::uint8_t* p, const StraightTable& straight) {
        const auto& row = straight[p[3]];
        const std::uint8_t pixel[bytesPerPixel] = {row[p[0]], row[p[1]], row[p[2]], 255};
        std::memcpy(p, pixel, bytesPerPixel);
    }
};

} // namespace

Command& opaqueCommand() {
    static OpaqueCmd command;
    return command;
}

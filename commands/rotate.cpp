#include "commands/sample_lanes.h"
#include "commands/sampling.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/thread_pool.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// rotate v degrees: turns the image in v about its centre pixel (width div 2, height div 2) by a whole
// number of degrees, counter-clockwise with row 0 at the top. Each result pixel copies the source pixel at
// its centre offset turned by the angle and truncated toward zero; pixels whose source lies outside the
// frame become transparent black. The size does not change.
class RotateCmd final : public Command {
    static constexpr std::int64_t tileRows = 32;

public:
    RotateCmd()
        : Command("rotate", {arg::image("v", Lookup::NameFirst, "No image"), arg::integer("degrees")}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        const Image* source = &args.image(0);
        const int index = args.index(0);
        const double theta = (static_cast<double>(args.integer(1)) * anglePi) / 180;
        ImagePtr result = createImageForOverwrite(source->width, source->height);
        if (result->width != 0 && result->height != 0)
            turn(*source, *result, std::cos(theta), std::sin(theta));
        ctx.setImage(index, std::move(result));
        return 0;
    }

private:
    // cos * dx and sin * dx for every column, computed once and read by every band.
    struct ColumnTerms {
        ColumnTerms(const Image& source, double cosT, double sinT)
            : cx(source.width / 2), cosDx(source.width), sinDx(source.width) {
            for (std::int64_t i = 0; i < std::int64_t{source.width}; ++i) {
                const auto dx = static_cast<double>(i - cx);
                cosDx[static_cast<std::size_t>(i)] = cosT * dx;
                sinDx[static_cast<std::size_t>(i)] = sinT * dx;
            }
        }
        std::int64_t cx;
        std::vector<double> cosDx;
        std::vector<double> sinDx;
    };

    // The result rows [top, bottom) in tiles of rows: the source pixels a tile reads lie close together,
    // while a whole result row reads along a slanted line through many source rows. cos * dx and sin * dx
    // depend only on the column, cos * dy and sin * dy only on the row; each product is the same double
    // whether computed here or beside the sum it enters.
    class Tiles {
    public:
        struct Stretch {
            std::uint8_t* out;
            std::size_t count;
            std::size_t left;
            double sinDy;
            double cosDy;
        };

        Tiles(const Image& from, Image& to, double cosine, double sine, const ColumnTerms& terms,
              std::int64_t firstRow, std::int64_t endRow)
            : source(from), result(to), cosT(cosine), sinT(sine), cx(terms.cx), cy(from.height / 2),
              cosDx(terms.cosDx), sinDx(terms.sinDx), lanes(fitsLanes(from)), top(firstRow), bottom(endRow) {}

        bool next(std::vector<Stretch>& stretches) {
            const std::int64_t width = source.width;
            if (top >= bottom)
                return false;
            const std::int64_t right = std::min(left + tileWidth, width);
            stretches.clear();
            for (std::int64_t j = top; j < std::min(top + tileHeight, bottom); ++j) {
                const auto dy = static_cast<double>(j - cy);
                stretches.push_back(
                    {result.pixel(static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(j)),
                     static_cast<std::size_t>(right - left), static_cast<std::size_t>(left), sinT * dy,
                     cosT * dy});
            }
            left = right;
            if (left == width) {
                left = 0;
                top += tileHeight;
            }
            return true;
        }

        void indices(const Stretch& s, std::uint32_t* index) const {
            std::size_t k = 0;
#if defined(__SSE2__)
            if (lanes) {
                const LaneIndexer indexer(source);
                const __m128d sinDy = _mm_set1_pd(s.sinDy);
                const __m128d cosDy = _mm_set1_pd(s.cosDy);
                const __m128i centreX = _mm_set1_epi32(static_cast<int>(cx));
                const __m128i centreY = _mm_set1_epi32(static_cast<int>(cy));
                for (; k + 4 <= s.count; k += 4) {
                    const double* c = &cosDx[s.left + k];
                    const double* n = &sinDx[s.left + k];
                    const __m128i sx = truncatePairs(_mm_sub_pd(_mm_loadu_pd(c), sinDy),
                                                     _mm_sub_pd(_mm_loadu_pd(c + 2), sinDy));
                    const __m128i sy = truncatePairs(_mm_add_pd(_mm_loadu_pd(n), cosDy),
                                                     _mm_add_pd(_mm_loadu_pd(n + 2), cosDy));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(index + k),
                                     indexer(_mm_add_epi32(sx, centreX), _mm_add_epi32(sy, centreY)));
                }
            }
#endif
            for (; k < s.count; ++k) {
                const std::int64_t sx = cx + truncateOffset(cosDx[s.left + k] - s.sinDy);
                const std::int64_t sy = cy + truncateOffset(sinDx[s.left + k] + s.cosDy);
                index[k] = sourceIndex(source, sx, sy);
            }
        }

    private:
        // Wide tiles: longer stretches cost less each, and the result is written in longer runs.
        static constexpr std::int64_t tileWidth = 128;
        static constexpr std::int64_t tileHeight = tileRows;
        const Image& source;
        Image& result;
        double cosT;
        double sinT;
        std::int64_t cx;
        std::int64_t cy;
        const std::vector<double>& cosDx;
        const std::vector<double>& sinDx;
        bool lanes;
        std::int64_t top;
        std::int64_t bottom;
        std::int64_t left = 0;
    };

    // Bands of result rows in parallel, each in its own tiles; a pixel's source depends on its position
    // alone. Bands of at least a tile's height where the rows are long.
    static void turn(const Image& source, Image& result, double cosT, double sinT) {
        const ColumnTerms terms(source, cosT, sinT);
        forEachRowBand(result.height, std::min<std::uint64_t>(result.rowBytes(), bandWorkBytes / tileRows),
                       [&](RowBand band) {
                           Tiles tiles(source, result, cosT, sinT, terms, band.begin, band.end);
                           sampleInTiles(source, tiles);
                       });
    }
};

} // namespace

Command& rotateCommand() {
    static RotateCmd command;
    return command;
}

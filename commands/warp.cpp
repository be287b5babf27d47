#include "commands/sample_lanes.h"
#include "commands/sampling.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"
#include "system/memory_budget.h"
#include "system/thread_pool.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr int pinch = 1;
constexpr int swirl = 2;

// The tiles of a warp's result. Both distortions depend on a pixel's distance from the centre, which is the
// same double for the up to eight pixels (cx +- a, cy +- b) and (cx +- b, cy +- a): the squared offsets are
// the same exact integers. So the per-distance values (the pinch fraction, or the cosine and sine of the
// swirl angle) are computed for a block of 32 x 32 offsets (a, b), with a's block not after b's, and serve
// the four mirror images of the block and, transposed, the four of the block with a and b exchanged. Every
// sampled position is then computed for its own pixel with the same arithmetic as a pixel-by-pixel walk.
class WarpTiles {
public:
    // A stretch of one result row whose column offsets from the centre run from dx0 by step: +1 right of the
    // centre column, -1 left of it, where the stretch is stored right to left. `fractionOrCosine` (the pinch
    // fraction, or the swirl angle's cosine) and `sine` (the swirl angle's sine) hold the values of its
    // pixels in the same order.
    struct Stretch {
        std::uint8_t* out;
        std::size_t count;
        const double* fractionOrCosine;
        const double* sine;
        double dx0;
        double step;
        std::int64_t j;
    };

    WarpTiles(const Image& from, Image& to, int mode)
        : source(from), result(to), option(mode), width(from.width), height(from.height), cxi(width / 2),
          cyi(height / 2), cx(static_cast<double>(cxi)), cy(static_cast<double>(cyi)),
          radius(std::sqrt(cx * cx + cy * cy)), blocks(blockCount(from)), lanes(fitsLanes(from)) {}

    // From now on the tiles of `count` blocks (p, q) from the `first`, in the order q = 0, 1, ... and
    // p = 0 .. q within each. The pixels of different blocks never meet, so runs of blocks can be made in
    // parallel.
    void visit(std::int64_t first, std::int64_t count) {
        // q is the largest with q (q + 1) / 2 <= first.
        q = static_cast<std::int64_t>((std::sqrt(8 * static_cast<double>(first) + 1) - 1) / 2);
        while (q * (q + 1) / 2 > first)
            --q;
        while ((q + 1) * (q + 2) / 2 <= first)
            ++q;
        p = first - q * (q + 1) / 2;
        remaining = count;
    }

    // The blocks of offsets along one axis, and the blocks (p, q) with p <= q of the image.
    static std::int64_t blockCount(const Image& image) {
        return std::max<std::int64_t>(image.width / 2, image.height / 2) / block + 1;
    }
    static std::int64_t pairCount(const Image& image) {
        return blockCount(image) * (blockCount(image) + 1) / 2;
    }

    bool next(std::vector<Stretch>& stretches);
    void indices(const Stretch& s, std::uint32_t* index) const;

private:
    static constexpr std::int64_t block = 64;
    // 50 degrees at t = 1, in radians with the shortened pi: (t * 157.0796325) / 180.
    static constexpr double swirlDegreesTimesPi = 157.0796325;

    // Offsets begin..end-1.
    struct Range {
        std::int64_t begin;
        std::int64_t end;
        bool empty() const { return begin >= end; }
    };
    // The values of a block, element (row offset - rows.begin) * block + (column offset - columns.begin).
    struct Values {
        std::array<double, block * block> fractionOrCosine;
        std::array<double, block * block> sine;
        Range columns;
        Range rows;
    };

    // Block `index` of the offsets, cut at `last`.
    static Range offsets(std::int64_t index, std::int64_t last) {
        return {index * block, std::min((index + 1) * block, last + 1)};
    }
    void computeRow(std::int64_t b, Range columns, double* fractionOrCosine, double* sine) const;
    void computeValues(Range columns, Range rows, bool both);
    void addStretches(std::vector<Stretch>& stretches, const Values& values, Range columns, Range rows) const;
    void addRow(std::vector<Stretch>& stretches, const Values& values, Range columns, std::int64_t b,
                std::int64_t j) const;
    std::uint32_t onePixel(const Stretch& s, std::size_t k) const;
#if defined(__SSE2__)
    void fourPixels(const Stretch& s, std::size_t k, __m128i& sx, __m128i& sy) const;
#endif

    const Image& source;
    Image& result;
    int option;
    std::int64_t width;
    std::int64_t height;
    std::int64_t cxi;
    std::int64_t cyi;
    double cx;
    double cy;
    double radius;
    std::int64_t blocks;
    bool lanes;
    std::int64_t remaining = INT64_MAX; // the blocks still to be visited
    std::int64_t p = 0;                 // the block of column offsets
    std::int64_t q = 0;                 // the block of row offsets, never before p
    Values direct{};
    Values swapped{};
};

// The values of row offset b for the column offsets `columns`: t = sqrt(b * b + a * a) / R, both squares and
// their sum exact, then the pinch fraction t * t / 3 or the swirl angle's cosine and sine.
void WarpTiles::computeRow(std::int64_t b, Range columns, double* fractionOrCosine, double* sine) const {
    const auto y = static_cast<double>(b);
    const double rowDistance = y * y;
    std::int64_t a = columns.begin;
    alignas(16) double theta[2];
#if defined(__SSE2__)
    for (; a + 2 <= columns.end; a += 2, fractionOrCosine += 2, sine += 2) {
        const __m128d x = countingPair(static_cast<double>(a), 1);
        const __m128d t = _mm_div_pd(_mm_sqrt_pd(_mm_add_pd(_mm_set1_pd(rowDistance), _mm_mul_pd(x, x))),
                                     _mm_set1_pd(radius));
        if (option == pinch) {
            _mm_storeu_pd(fractionOrCosine, _mm_div_pd(_mm_mul_pd(t, t), _mm_set1_pd(3)));
            continue;
        }
        _mm_store_pd(theta, _mm_div_pd(_mm_mul_pd(t, _mm_set1_pd(swirlDegreesTimesPi)), _mm_set1_pd(180)));
        for (int k = 0; k < 2; ++k) {
            fractionOrCosine[k] = std::cos(theta[k]);
            sine[k] = std::sin(theta[k]);
        }
    }
#endif
    for (; a < columns.end; ++a, ++fractionOrCosine, ++sine) {
        const auto x = static_cast<double>(a);
        const double t = std::sqrt(rowDistance + x * x) / radius;
        if (option == pinch) {
            *fractionOrCosine = (t * t) / 3;
        } else {
            theta[0] = (t * swirlDegreesTimesPi) / 180;
            *fractionOrCosine = std::cos(theta[0]);
            *sine = std::sin(theta[0]);
        }
    }
}

// The values of block (p, q) that some pixel uses: those of the block itself for the rows within the
// image's row offsets, and, when `both`, those the transposed block uses, copied transposed.
void WarpTiles::computeValues(Range columns, Range rows, bool both) {
    direct.columns = columns;
    direct.rows = rows;
    swapped.columns = rows;
    swapped.rows = columns;
    for (std::int64_t b = rows.begin; b < rows.end; ++b) {
        // The direct use needs offsets up to cxi in rows up to cyi; the transposed one, up to cyi in rows
        // (its columns) up to cxi.
        std::int64_t end = columns.begin;
        if (b <= cyi)
            end = std::min(columns.end, cxi + 1);
        if (both && b <= cxi)
            end = std::max(end, std::min(columns.end, cyi + 1));
        const auto at = static_cast<std::size_t>((b - rows.begin) * block);
        computeRow(b, {columns.begin, end}, &direct.fractionOrCosine[at], &direct.sine[at]);
        if (!both)
            continue;
        for (std::int64_t a = columns.begin; a < std::min(end, cyi + 1); ++a) {
            const auto to = static_cast<std::size_t>((a - columns.begin) * block + (b - rows.begin));
            const auto from = at + static_cast<std::size_t>(a - columns.begin);
            swapped.fractionOrCosine[to] = direct.fractionOrCosine[from];
            swapped.sine[to] = direct.sine[from];
        }
    }
}

bool WarpTiles::next(std::vector<Stretch>& stretches) {
    stretches.clear();
    while (q < blocks && remaining > 0) {
        --remaining;
        const Range a = offsets(p, std::max(cxi, cyi));
        const Range b = offsets(q, std::max(cxi, cyi));
        const bool both = p != q;
        // The direct block covers column offsets a and row offsets b; the transposed one the reverse.
        const Range directColumns{a.begin, std::min(a.end, cxi + 1)};
        const Range directRows{b.begin, std::min(b.end, cyi + 1)};
        const Range swappedColumns{b.begin, std::min(b.end, cxi + 1)};
        const Range swappedRows{a.begin, std::min(a.end, cyi + 1)};
        const bool useDirect = !directColumns.empty() && !directRows.empty();
        const bool useSwapped = both && !swappedColumns.empty() && !swappedRows.empty();
        if (++p > q) {
            p = 0;
            ++q;
        }
        if (!useDirect && !useSwapped)
            continue;
        computeValues(a, b, useSwapped);
        if (useDirect)
            addStretches(stretches, direct, directColumns, directRows);
        if (useSwapped)
            addStretches(stretches, swapped, swappedColumns, swappedRows);
        return true;
    }
    return false;
}

// The stretches of the pixels with column offsets `columns` and row offsets `rows`, in every mirror image
// that lies in the image.
void WarpTiles::addStretches(std::vector<Stretch>& stretches, const Values& values, Range columns,
                             Range rows) const {
    for (std::int64_t b = rows.begin; b < rows.end; ++b) {
        addRow(stretches, values, columns, b, cyi - b);
        if (b != 0 && cyi + b < height)
            addRow(stretches, values, columns, b, cyi + b);
    }
}

void WarpTiles::addRow(std::vector<Stretch>& stretches, const Values& values, Range columns, std::int64_t b,
                       std::int64_t j) const {
    const std::size_t row = static_cast<std::size_t>((b - values.rows.begin) * block);
    auto valueAt = [&](const std::array<double, block * block>& v, std::int64_t a) {
        return &v[row + static_cast<std::size_t>(a - values.columns.begin)];
    };
    // Right of the centre, and the centre column itself: columns cxi + a.
    const Range right{columns.begin, std::min(columns.end, width - cxi)};
    if (!right.empty())
        stretches.push_back(
            {result.pixel(static_cast<std::uint32_t>(cxi + right.begin), static_cast<std::uint32_t>(j)),
             static_cast<std::size_t>(right.end - right.begin), valueAt(values.fractionOrCosine, right.begin),
             valueAt(values.sine, right.begin), static_cast<double>(right.begin), 1, j});
    // Left of the centre: columns cxi - a, stored from the largest offset.
    const Range left{std::max<std::int64_t>(columns.begin, 1), columns.end};
    if (!left.empty())
        stretches.push_back(
            {result.pixel(static_cast<std::uint32_t>(cxi - (left.end - 1)), static_cast<std::uint32_t>(j)),
             static_cast<std::size_t>(left.end - left.begin), valueAt(values.fractionOrCosine, left.begin),
             valueAt(values.sine, left.begin), -static_cast<double>(left.begin), -1, j});
}

// The source index of the pixel k of a stretch, counted from its fractionOrCosine value.
std::uint32_t WarpTiles::onePixel(const Stretch& s, std::size_t k) const {
    const double dx = s.dx0 + s.step * static_cast<double>(k);
    std::int64_t sx;
    std::int64_t sy;
    if (option == pinch) {
        const double v = s.fractionOrCosine[k];
        const double x = dx + cx;
        const auto y = static_cast<double>(s.j);
        sx = truncateOffset((1 - v) * x + v * cx);
        sy = truncateOffset((1 - v) * y + v * cy);
    } else {
        const double cosT = s.fractionOrCosine[k];
        const double sinT = s.sine[k];
        const auto dy = static_cast<double>(s.j - cyi);
        sx = cxi + truncateOffset(cosT * dx - sinT * dy);
        sy = cyi + truncateOffset(sinT * dx + cosT * dy);
    }
    return sourceIndex(source, sx, sy);
}

#if defined(__SSE2__)
// The source positions of pixels k..k+3 of a stretch, in the order of its values.
void WarpTiles::fourPixels(const Stretch& s, std::size_t k, __m128i& sx, __m128i& sy) const {
    const double dx = s.dx0 + s.step * static_cast<double>(k);
    const __m128d dxs[2] = {countingPair(dx, s.step), countingPair(dx + 2 * s.step, s.step)};
    __m128d across[2];
    __m128d down[2];
    if (option == pinch) {
        const __m128d centreX = _mm_set1_pd(cx);
        const __m128d centreY = _mm_set1_pd(cy);
        const __m128d y = _mm_set1_pd(static_cast<double>(s.j));
        for (int h = 0; h < 2; ++h) {
            const __m128d v = _mm_loadu_pd(s.fractionOrCosine + k + 2 * static_cast<std::size_t>(h));
            const __m128d rest = _mm_sub_pd(_mm_set1_pd(1), v);
            const __m128d x = _mm_add_pd(dxs[h], centreX);
            across[h] = _mm_add_pd(_mm_mul_pd(rest, x), _mm_mul_pd(v, centreX));
            down[h] = _mm_add_pd(_mm_mul_pd(rest, y), _mm_mul_pd(v, centreY));
        }
        sx = truncatePairs(across[0], across[1]);
        sy = truncatePairs(down[0], down[1]);
        return;
    }
    const __m128d dy = _mm_set1_pd(static_cast<double>(s.j - cyi));
    for (int h = 0; h < 2; ++h) {
        const __m128d cosT = _mm_loadu_pd(s.fractionOrCosine + k + 2 * static_cast<std::size_t>(h));
        const __m128d sinT = _mm_loadu_pd(s.sine + k + 2 * static_cast<std::size_t>(h));
        across[h] = _mm_sub_pd(_mm_mul_pd(cosT, dxs[h]), _mm_mul_pd(sinT, dy));
        down[h] = _mm_add_pd(_mm_mul_pd(sinT, dxs[h]), _mm_mul_pd(cosT, dy));
    }
    sx = _mm_add_epi32(truncatePairs(across[0], across[1]), _mm_set1_epi32(static_cast<int>(cxi)));
    sy = _mm_add_epi32(truncatePairs(down[0], down[1]), _mm_set1_epi32(static_cast<int>(cyi)));
}
#endif

// The indices in memory order: a stretch left of the centre is stored from its last value.
void WarpTiles::indices(const Stretch& s, std::uint32_t* index) const {
    const bool reversed = s.step < 0;
    std::size_t k = 0;
#if defined(__SSE2__)
    if (lanes) {
        const LaneIndexer indexer(source);
        for (; k + 4 <= s.count; k += 4) {
            __m128i sx;
            __m128i sy;
            fourPixels(s, k, sx, sy);
            const __m128i found = indexer(sx, sy);
            if (reversed)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(index + s.count - 4 - k),
                                 _mm_shuffle_epi32(found, _MM_SHUFFLE(0, 1, 2, 3)));
            else
                _mm_storeu_si128(reinterpret_cast<__m128i*>(index + k), found);
        }
    }
#endif
    for (; k < s.count; ++k)
        index[reversed ? s.count - 1 - k : k] = onePixel(s, k);
}

// warp v option: a radial distortion about the centre pixel (width div 2, height div 2) of the image in v.
// t is a pixel's distance from the centre divided by R, the distance of pixel (0, 0), which is the largest
// in the image.
//   1, pinch: samples the point pulled toward the centre by the fraction t * t / 3.
//   2, swirl: samples the point turned counter-clockwise about the centre by 50 * t degrees; points from
//      outside the frame become transparent black.
// Samples are truncated toward zero and copied whole. The size does not change.
class WarpCmd final : public Command {
public:
    WarpCmd()
        : Command("warp", {arg::image("v", Lookup::NameFirst, "No image"),
                           arg::integerOf("1|2", {pinch, swirl}, "Only option = 1 and 2 is supported")}) {}

    int execute(const Arguments& args, ScriptContext& ctx) override {
        const Image* source = &args.image(0);
        const int index = args.index(0);
        const int option = args.integer(1);
        ImagePtr result;
        if (source->width == 0 || source->height == 0 || (source->width == 1 && source->height == 1)) {
            // An image without pixels stays as it is. In a single pixel the centre is pixel (0, 0) itself,
            // so R is 0 and t would be 0 / 0: the pixel stays where it is, as the centre pixel of every
            // larger image does.
            result = cloneImage(*source);
        } else {
            result = createImageForOverwrite(source->width, source->height);
            // Runs of blocks in parallel, about a thousand runs at most. Each thread that can work at once
            // has tiles and lists of its own, taken before the work starts (the tiles' value tables
            // take 128 KiB) and kept from one run to the next, and takes runs until none is left.
            const std::int64_t pairs = WarpTiles::pairCount(*source);
            const std::int64_t blocksPerTask = std::max<std::int64_t>(2, pairs / 1024);
            const auto tasks = static_cast<std::size_t>((pairs + blocksPerTask - 1) / blocksPerTask);
            const std::size_t slots = std::min<std::size_t>(tasks, threadCount());
            const MemoryReservation scratch(slots * sizeof(WarpTiles));
            std::vector<std::unique_ptr<WarpTiles>> tiles;
            std::vector<SampleBuffers<WarpTiles::Stretch>> buffers(slots);
            for (std::size_t i = 0; i < slots; ++i)
                tiles.push_back(std::make_unique<WarpTiles>(*source, *result, option));
            std::atomic<std::size_t> nextTask{0};
            runParallel(slots, [&](std::size_t slot) {
                for (std::size_t task; (task = nextTask.fetch_add(1, std::memory_order_relaxed)) < tasks;) {
                    const std::int64_t first = static_cast<std::int64_t>(task) * blocksPerTask;
                    tiles[slot]->visit(first, std::min(blocksPerTask, pairs - first));
                    sampleInTiles(*source, *tiles[slot], buffers[slot]);
                }
            });
        }
        ctx.setImage(index, std::move(result));
        return 0;
    }
};

} // namespace

Command& warpCommand() {
    static WarpCmd command;
    return command;
}

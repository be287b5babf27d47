#include "image/resample.h"

#include "system/memory_budget.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

namespace {

constexpr std::int32_t weightOne = std::int32_t{1} << resampleWeightBits;
constexpr std::int32_t weightHalf = weightOne / 2;
// The filter's reach on each side of a target pixel, in (stretched) source pixels.
constexpr double lanczosLobes = 3.0;
// At least this many source pixels per target pixel remain after the box reduction.
constexpr std::uint64_t pixelsLeftPerTarget = 3;
// The box factor's bound: the sum of a block (factor x factor values of at most 255) stays within 32 bits.
constexpr std::uint32_t maxBoxFactor = 4096;

double lanczos3(double x) {
    x = std::fabs(x);
    if (x >= lanczosLobes)
        return 0.0;
    if (x == 0.0)
        return 1.0;
    const double px = std::numbers::pi * x;
    return lanczosLobes * std::sin(px) * std::sin(px / lanczosLobes) / (px * px);
}

// floor(x + 0.5) as a whole number: the nearest, halves up.
std::int64_t nearest(double x) {
    return static_cast<std::int64_t>(std::floor(x + 0.5));
}

// A filtered sum in units of 1/16384 back to a byte value, not yet clamped.
inline std::int32_t unweight(std::int32_t sum) {
    return (sum + weightHalf) >> resampleWeightBits;
}

// Stores a filtered pixel: alpha clamped to 0..255, colour to 0..alpha.
inline void storePixel(std::int32_t r, std::int32_t g, std::int32_t b, std::int32_t a, std::uint8_t* out) {
    const std::int32_t alpha = std::clamp(unweight(a), 0, 255);
    out[0] = static_cast<std::uint8_t>(std::clamp(unweight(r), 0, alpha));
    out[1] = static_cast<std::uint8_t>(std::clamp(unweight(g), 0, alpha));
    out[2] = static_cast<std::uint8_t>(std::clamp(unweight(b), 0, alpha));
    out[3] = static_cast<std::uint8_t>(alpha);
}

// Exact (S + n div 2) div n for S below 2^24 and n up to 65536 by a multiplication: with m = 2^40 div n + 1,
// S x m / 2^40 exceeds S / n by less than 1/n, which never reaches the next whole number. Larger blocks
// divide.
struct BoxDivider {
    std::uint64_t n = 1;
    std::uint64_t multiplier = 0;
    explicit BoxDivider(std::uint64_t count) : n(count) {
        if (n <= 65536)
            multiplier = (std::uint64_t{1} << 40) / n + 1;
    }
    std::uint8_t operator()(std::uint32_t sum) const {
        const std::uint64_t rounded = std::uint64_t{sum} + n / 2;
        return static_cast<std::uint8_t>(multiplier != 0 ? (rounded * multiplier) >> 40 : rounded / n);
    }
};

// Filters one row of `taps`-wide reads into `width` pixels (columns pass).
void filterRow(const std::uint8_t* in, const ResampleAxis& axis, std::uint32_t width, std::uint8_t* out) {
    const std::uint32_t taps = axis.taps;
    const std::int32_t* w = axis.weights.data();
    for (std::uint32_t i = 0; i < width; ++i, w += taps, out += bytesPerPixel) {
        const std::uint8_t* p = in + std::size_t{axis.first[i]} * bytesPerPixel;
        std::int32_t r = 0, g = 0, b = 0, a = 0;
        for (std::uint32_t k = 0; k < taps; ++k, p += bytesPerPixel) {
            const std::int32_t weight = w[k];
            r += weight * p[0];
            g += weight * p[1];
            b += weight * p[2];
            a += weight * p[3];
        }
        storePixel(r, g, b, a, out);
    }
}

// The box average of rows [top, bottom) of `source` over blocks of `factor` columns, into `out` (reduced
// width). `sums` holds a column sum per channel of the source width.
void boxRow(const Image& source, std::uint32_t top, std::uint32_t bottom, std::uint32_t factor,
            std::uint32_t reducedWidth, std::vector<std::uint32_t>& sums, std::uint8_t* out) {
    const std::size_t values = source.rowBytes();
    const std::uint8_t* first = source.pixel(0, top);
    for (std::size_t v = 0; v < values; ++v)
        sums[v] = first[v];
    for (std::uint32_t y = top + 1; y < bottom; ++y) {
        const std::uint8_t* row = source.pixel(0, y);
        for (std::size_t v = 0; v < values; ++v)
            sums[v] += row[v];
    }
    const std::uint32_t rows = bottom - top;
    const BoxDivider full(std::uint64_t{rows} * factor);
    const std::uint32_t lastColumns = source.width - (reducedWidth - 1) * factor;
    const BoxDivider last(std::uint64_t{rows} * lastColumns);
    const std::uint32_t* s = sums.data();
    for (std::uint32_t k = 0; k < reducedWidth; ++k) {
        const std::uint32_t columns = k + 1 == reducedWidth ? lastColumns : factor;
        const BoxDivider& divide = k + 1 == reducedWidth ? last : full;
        std::uint32_t r = 0, g = 0, b = 0, a = 0;
        for (std::uint32_t c = 0; c < columns; ++c, s += bytesPerPixel) {
            r += s[0];
            g += s[1];
            b += s[2];
            a += s[3];
        }
        out[0] = divide(r);
        out[1] = divide(g);
        out[2] = divide(b);
        out[3] = divide(a);
        out += bytesPerPixel;
    }
}

} // namespace

FitSize fitInside(std::uint32_t width, std::uint32_t height, std::uint32_t boxWidth,
                  std::uint32_t boxHeight) {
    if (width == 0 || height == 0 || (width <= boxWidth && height <= boxHeight))
        return {width, height};
    const std::uint64_t w = width, h = height;
    // The width meets the box first when boxWidth / width <= boxHeight / height.
    if (std::uint64_t{boxWidth} * h <= std::uint64_t{boxHeight} * w) {
        const std::uint64_t side = (2 * h * boxWidth + w) / (2 * w);
        return {boxWidth, static_cast<std::uint32_t>(std::max<std::uint64_t>(side, 1))};
    }
    const std::uint64_t side = (2 * w * boxHeight + h) / (2 * h);
    return {static_cast<std::uint32_t>(std::max<std::uint64_t>(side, 1)), boxHeight};
}

ResampleAxis resampleAxis(std::uint32_t sourceSize, std::uint32_t targetSize) {
    ResampleAxis axis;
    const std::uint64_t source = sourceSize, target = targetSize;
    if (source >= 2 * pixelsLeftPerTarget * target)
        axis.factor = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(source / (pixelsLeftPerTarget * target), maxBoxFactor));
    axis.reduced = static_cast<std::uint32_t>((source + axis.factor - 1) / axis.factor);

    // Reduced pixels per target pixel, and the filter stretched by it when shrinking.
    const double scale =
        static_cast<double>(source) / (static_cast<double>(axis.factor) * static_cast<double>(target));
    const double stretch = std::max(scale, 1.0);
    const double reach = lanczosLobes * stretch;

    // Each target pixel's weights over the reduced pixels [low, high), in double, then in whole units.
    std::vector<std::int64_t> low(targetSize), high(targetSize);
    std::uint32_t taps = 0;
    for (std::uint32_t i = 0; i < targetSize; ++i) {
        const double centre = (i + 0.5) * scale;
        low[i] = std::max<std::int64_t>(nearest(centre - reach), 0);
        high[i] = std::min<std::int64_t>(nearest(centre + reach), axis.reduced);
        high[i] = std::max(high[i], low[i] + 1);
        if (high[i] > axis.reduced) // a centre beyond the last pixel (not reached, but kept safe)
            low[i] = axis.reduced - 1, high[i] = axis.reduced;
        taps = std::max(taps, static_cast<std::uint32_t>(high[i] - low[i]));
    }
    axis.taps = taps;
    axis.first.resize(targetSize);
    axis.weights.assign(std::size_t{targetSize} * taps, 0);
    std::vector<double> raw(taps);
    for (std::uint32_t i = 0; i < targetSize; ++i) {
        const double centre = (i + 0.5) * scale;
        const auto count = static_cast<std::uint32_t>(high[i] - low[i]);
        double total = 0;
        for (std::uint32_t k = 0; k < count; ++k) {
            raw[k] = lanczos3((static_cast<double>(low[i] + k) + 0.5 - centre) / stretch);
            total += raw[k];
        }
        // The reads start where the full width of taps still lies in the reduced row; the weights of this
        // pixel sit at their offset within them, zeros around.
        const auto first = static_cast<std::uint32_t>(std::min<std::int64_t>(low[i], axis.reduced - taps));
        axis.first[i] = first;
        std::int32_t* w = axis.weights.data() + std::size_t{i} * taps + (low[i] - first);
        std::int64_t sum = 0;
        std::uint32_t largest = 0;
        for (std::uint32_t k = 0; k < count; ++k) {
            w[k] = total != 0 ? static_cast<std::int32_t>(nearest(raw[k] / total * weightOne)) : 0;
            sum += w[k];
            if (w[k] > w[largest])
                largest = k;
        }
        // Whatever rounding left over goes to the largest weight, so that the weights sum to exactly one.
        w[largest] += static_cast<std::int32_t>(weightOne - sum);
    }
    return axis;
}

ImagePtr resampleImage(const Image& source, std::uint32_t width, std::uint32_t height) {
    const bool sameWidth = width == source.width, sameHeight = height == source.height;
    if (sameWidth && sameHeight)
        return cloneImage(source);
    const ResampleAxis columns = resampleAxis(source.width, width);
    const ResampleAxis rows = resampleAxis(source.height, height);
    // The tables and row buffers count in the budget beside the images.
    const std::size_t tableBytes = (columns.weights.size() + rows.weights.size()) * sizeof(std::int32_t) +
                                   (columns.first.size() + rows.first.size()) * sizeof(std::uint32_t);
    const bool boxed = columns.factor > 1 || rows.factor > 1;
    const std::size_t rowBuffers = (boxed ? source.rowBytes() * (sizeof(std::uint32_t) + 1) : 0) +
                                   std::size_t{width} * bytesPerPixel * sizeof(std::int32_t);
    MemoryReservation working(tableBytes + rowBuffers);

    // Columns pass: every reduced row (box-averaged from its block of source rows when rows shrink a lot)
    // to the new width.
    ImagePtr across = createImageForOverwrite(width, rows.reduced);
    std::vector<std::uint32_t> sums(boxed ? source.rowBytes() : 0);
    std::vector<std::uint8_t> reducedRow(boxed ? std::size_t{columns.reduced} * bytesPerPixel : 0);
    for (std::uint32_t y = 0; y < rows.reduced; ++y) {
        const std::uint8_t* row;
        if (boxed) {
            const std::uint32_t top = y * rows.factor;
            const std::uint32_t bottom = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(std::uint64_t{top} + rows.factor, source.height));
            boxRow(source, top, bottom, columns.factor, columns.reduced, sums, reducedRow.data());
            row = reducedRow.data();
        } else {
            row = source.pixel(0, y);
        }
        if (sameWidth)
            std::memcpy(across->pixel(0, y), row, across->rowBytes());
        else
            filterRow(row, columns, width, across->pixel(0, y));
    }
    // Rows kept at their count need no second pass (the columns pass read them one for one).
    if (sameHeight)
        return across;

    // Rows pass: each result row is the weighted sum of `taps` rows of the columns pass.
    ImagePtr result = createImageForOverwrite(width, height);
    const std::size_t values = std::size_t{width} * bytesPerPixel;
    std::vector<std::int32_t> sum(values);
    for (std::uint32_t j = 0; j < height; ++j) {
        std::fill(sum.begin(), sum.end(), 0);
        const std::int32_t* w = rows.weights.data() + std::size_t{j} * rows.taps;
        for (std::uint32_t k = 0; k < rows.taps; ++k) {
            const std::int32_t weight = w[k];
            if (weight == 0)
                continue;
            const std::uint8_t* in = across->pixel(0, rows.first[j] + k);
            for (std::size_t v = 0; v < values; ++v)
                sum[v] += weight * in[v];
        }
        std::uint8_t* out = result->pixel(0, j);
        for (std::size_t v = 0; v < values; v += bytesPerPixel)
            storePixel(sum[v], sum[v + 1], sum[v + 2], sum[v + 3], out + v);
    }
    return result;
}

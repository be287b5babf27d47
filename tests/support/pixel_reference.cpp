#include "tests/support/pixel_reference.h"
#include "image/resample.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace reference {

namespace {

std::uint8_t toByte(double v) {
    return static_cast<std::uint8_t>(static_cast<int>(std::trunc(v)));
}

template <typename Fn> void eachPixel(Image& image, Fn fn) {
    for (std::uint32_t y = 0; y < image.height; ++y)
        for (std::uint32_t x = 0; x < image.width; ++x)
            fn(image.pixel(x, y));
}

} // namespace

void darken(Image& image, float amount) {
    eachPixel(image, [&](std::uint8_t* p) {
        for (int c = 0; c < 3; ++c)
            p[c] = toByte(p[c] * static_cast<double>(amount));
    });
}

void dissolve(Image& image, float amount) {
    eachPixel(image, [&](std::uint8_t* p) {
        for (int c = 0; c < 4; ++c)
            p[c] = toByte(p[c] * static_cast<double>(amount));
    });
}

void desaturate(Image& image, float amount) {
    const double a = amount;
    eachPixel(image, [&](std::uint8_t* p) {
        const float grey =
            static_cast<float>((p[0] * static_cast<double>(0.21f) + p[1] * static_cast<double>(0.72f)) +
                               p[2] * static_cast<double>(0.07f));
        const double d = grey * a;
        for (int c = 0; c < 3; ++c)
            p[c] = toByte(d + p[c] * (1.0 - a));
    });
}

void opaque(Image& image) {
    eachPixel(image, [](std::uint8_t* p) {
        const double alpha = p[3] / 255.0;
        for (int c = 0; c < 3; ++c) {
            if (p[3] == 0) {
                p[c] = 0;
                continue;
            }
            float q = static_cast<float>(p[c] / alpha);
            if (q > 255)
                q = 255;
            p[c] = toByte(q);
        }
        p[3] = 255;
    });
}

void fill(Image& image, int x0, int y0, int x1, int y1, std::array<std::uint8_t, 4> value) {
    for (std::uint32_t y = 0; y < image.height; ++y)
        for (std::uint32_t x = 0; x < image.width; ++x) {
            const long long px = x, py = y;
            if (px >= std::min(x0, x1) && px <= std::max(x0, x1) && py >= std::min(y0, y1) &&
                py <= std::max(y0, y1))
                std::copy(value.begin(), value.end(), image.pixel(x, y));
        }
}

void chromakey(Image& image, std::array<std::uint8_t, 3> key) {
    eachPixel(image, [&](std::uint8_t* p) {
        if (p[3] == 0)
            return;
        const double alpha = p[3] / 255.0;
        for (int c = 0; c < 3; ++c)
            if (p[c] != toByte(key[static_cast<std::size_t>(c)] * alpha))
                return;
        std::fill(p, p + 4, 0);
    });
}

void blur(Image& image, int kernelSize) {
    const float kernel3[] = {1, 2, 1};
    const float kernel5[] = {1, 4, 6, 4, 1};
    const float* w = kernelSize == 3 ? kernel3 : kernel5;
    const int h = kernelSize / 2;
    const int width = static_cast<int>(image.width);
    const int height = static_cast<int>(image.height);
    auto pass = [&](const Image& from, Image& to, bool alongRows) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                float sum[4] = {0, 0, 0, 0};
                float weights = 0;
                for (int t = 0; t < kernelSize; ++t) {
                    const int sx = alongRows ? x - h + t : x;
                    const int sy = alongRows ? y : y - h + t;
                    if (sx < 0 || sx >= width || sy < 0 || sy >= height)
                        continue;
                    weights += w[t];
                    for (int c = 0; c < 4; ++c)
                        sum[c] = static_cast<float>(
                            sum[c] + static_cast<double>(from.pixel(static_cast<std::uint32_t>(sx),
                                                                    static_cast<std::uint32_t>(sy))[c]) *
                                         w[t]);
                }
                for (int c = 0; c < 4; ++c)
                    to.pixel(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y))[c] =
                        toByte(static_cast<double>(sum[c]) / static_cast<double>(weights));
            }
    };
    ImagePtr temp = createImage(image.width, image.height);
    pass(image, *temp, true);
    pass(*temp, image, false);
}

void compositeOver(const Image& top, Image& bottom, int x, int y) {
    const long long bw = bottom.width, bh = bottom.height;
    for (long long i = 0; i < top.width && x + i >= 0 && x + i < bw; ++i)
        for (long long j = 0; j < top.height && y + j >= 0 && y + j < bh; ++j) {
            const std::uint8_t* a = top.pixel(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
            const double ar = a[0], ag = a[1], ab = a[2], aa = a[3];
            std::uint8_t* b =
                bottom.pixel(static_cast<std::uint32_t>(x + i), static_cast<std::uint32_t>(y + j));
            const double alpha = aa / 255.0;
            const double beta = 1.0 - alpha;
            b[0] = toByte(ar * alpha + b[0] * beta);
            b[1] = toByte(ag * alpha + b[1] * beta);
            b[2] = toByte(ab * alpha + b[2] * beta);
            b[3] = toByte(std::min(alpha * 255 + b[3] * beta, 255.0));
        }
}

namespace {

// The source pixel at (sx, sy), or transparent black outside the source.
void copyOrClear(const Image& source, long long sx, long long sy, std::uint8_t* out) {
    const bool inside = sx >= 0 && sx < source.width && sy >= 0 && sy < source.height;
    for (int c = 0; c < 4; ++c)
        out[c] = inside ? source.pixel(static_cast<std::uint32_t>(sx), static_cast<std::uint32_t>(sy))[c] : 0;
}

} // namespace

ImagePtr rotate(const Image& source, int degrees) {
    ImagePtr result = createImage(source.width, source.height);
    const double theta = (degrees * 3.14159265) / 180;
    const long long cx = source.width / 2, cy = source.height / 2;
    for (long long j = 0; j < source.height; ++j)
        for (long long i = 0; i < source.width; ++i) {
            const double dx = static_cast<double>(i - cx), dy = static_cast<double>(j - cy);
            const long long sx =
                cx + static_cast<long long>(std::trunc(std::cos(theta) * dx - std::sin(theta) * dy));
            const long long sy =
                cy + static_cast<long long>(std::trunc(std::sin(theta) * dx + std::cos(theta) * dy));
            copyOrClear(source, sx, sy,
                        result->pixel(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)));
        }
    return result;
}

ImagePtr warp(const Image& source, int option) {
    ImagePtr result = createImage(source.width, source.height);
    if (source.width * source.height == 1) {
        std::copy(source.pixel(0, 0), source.pixel(0, 0) + 4, result->pixel(0, 0));
        return result;
    }
    const long long cxi = source.width / 2, cyi = source.height / 2;
    const double cx = static_cast<double>(cxi), cy = static_cast<double>(cyi);
    const double radius = std::sqrt(cx * cx + cy * cy);
    for (long long j = 0; j < source.height; ++j)
        for (long long i = 0; i < source.width; ++i) {
            const double x = static_cast<double>(i), y = static_cast<double>(j);
            const double t = std::sqrt((cy - y) * (cy - y) + (cx - x) * (cx - x)) / radius;
            long long sx, sy;
            if (option == 1) {
                const double v = (t * t) / 3;
                sx = static_cast<long long>(std::trunc((1 - v) * x + v * cx));
                sy = static_cast<long long>(std::trunc((1 - v) * y + v * cy));
            } else {
                const double theta = (t * 157.0796325) / 180;
                const double dx = static_cast<double>(i - cxi), dy = static_cast<double>(j - cyi);
                sx = cxi + static_cast<long long>(std::trunc(std::cos(theta) * dx - std::sin(theta) * dy));
                sy = cyi + static_cast<long long>(std::trunc(std::sin(theta) * dx + std::cos(theta) * dy));
            }
            copyOrClear(source, sx, sy,
                        result->pixel(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)));
        }
    return result;
}

} // namespace reference

namespace reference {

void layStrokes(Image& canvas, const Image& source, const Image& brush) {
    for (long long x = 0; x < source.width;
         x = static_cast<long long>(static_cast<double>(x) + 4.333333333333333))
        for (long long y = 0; y < source.height;
             y = static_cast<long long>(static_cast<double>(y) + 4.333333333333333)) {
            const long long ox = static_cast<long long>(std::trunc(std::rand() % 6 - 6.5));
            const long long oy = static_cast<long long>(std::trunc(std::rand() % 6 - 6.5));
            const std::uint8_t* colour =
                source.pixel(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
            for (std::uint32_t i = 0; i < 13; ++i)
                for (std::uint32_t j = 0; j < 13; ++j) {
                    const long long cx = x + ox + i + 24;
                    const long long cy = y + oy + j + 24;
                    if (cx < 0 || cx >= canvas.width || cy < 0 || cy >= canvas.height ||
                        brush.pixel(i, j)[0] != 0)
                        continue;
                    std::uint8_t* p =
                        canvas.pixel(static_cast<std::uint32_t>(cx), static_cast<std::uint32_t>(cy));
                    for (int c = 0; c < 3; ++c)
                        p[c] = toByte(p[c] * 0.5 + colour[c] * 0.5);
                }
        }
}

} // namespace reference

namespace reference {

namespace {

using Pixel = std::array<std::uint8_t, 4>;

double boxValue(const Image& source, const ResampleAxis& columns, const ResampleAxis& rows, std::uint32_t x,
                std::uint32_t y, int channel) {
    const std::uint32_t x0 = x * columns.factor, x1 = std::min(x0 + columns.factor, source.width);
    const std::uint32_t y0 = y * rows.factor, y1 = std::min(y0 + rows.factor, source.height);
    double sum = 0;
    for (std::uint32_t j = y0; j < y1; ++j)
        for (std::uint32_t i = x0; i < x1; ++i)
            sum += source.pixel(i, j)[channel];
    const double n = double(x1 - x0) * double(y1 - y0);
    return std::floor((sum + std::floor(n / 2)) / n);
}

// A weighted sum in units of 1/16384 to its stored value: halves up, clamped to 0..limit.
double settle(double sum, double limit) {
    return std::clamp(std::floor((sum + 8192) / 16384), 0.0, limit);
}

// A pixel of the rows pass: the reduced column filtered down (or taken as it is when the height stays).
Pixel downPixel(const Image& source, const ResampleAxis& columns, const ResampleAxis& rows, std::uint32_t x,
                std::uint32_t y, bool sameHeight) {
    double value[4];
    for (int c = 0; c < 4; ++c) {
        if (sameHeight) {
            value[c] = boxValue(source, columns, rows, x, y, c);
            continue;
        }
        double sum = 0;
        for (std::uint32_t k = 0; k < rows.taps; ++k)
            sum += rows.weights[std::size_t{y} * rows.taps + k] *
                   boxValue(source, columns, rows, x, rows.first[y] + k, c);
        value[c] = sum;
    }
    if (sameHeight)
        return {std::uint8_t(value[0]), std::uint8_t(value[1]), std::uint8_t(value[2]),
                std::uint8_t(value[3])};
    const double alpha = settle(value[3], 255);
    return {std::uint8_t(settle(value[0], alpha)), std::uint8_t(settle(value[1], alpha)),
            std::uint8_t(settle(value[2], alpha)), std::uint8_t(alpha)};
}

} // namespace

ImagePtr resample(const Image& source, std::uint32_t width, std::uint32_t height) {
    const ResampleAxis columns = resampleAxis(source.width, width);
    const ResampleAxis rows = resampleAxis(source.height, height);
    const bool sameWidth = width == source.width, sameHeight = height == source.height;
    ImagePtr result = createImage(width, height);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            Pixel p;
            if (sameWidth) {
                p = downPixel(source, columns, rows, x, y, sameHeight);
            } else {
                double sum[4] = {0, 0, 0, 0};
                for (std::uint32_t k = 0; k < columns.taps; ++k) {
                    const Pixel q = downPixel(source, columns, rows, columns.first[x] + k, y, sameHeight);
                    for (int c = 0; c < 4; ++c)
                        sum[c] += columns.weights[std::size_t{x} * columns.taps + k] * q[std::size_t(c)];
                }
                const double alpha = settle(sum[3], 255);
                p = {std::uint8_t(settle(sum[0], alpha)), std::uint8_t(settle(sum[1], alpha)),
                     std::uint8_t(settle(sum[2], alpha)), std::uint8_t(alpha)};
            }
            std::copy(p.begin(), p.end(), result->pixel(x, y));
        }
    return result;
}

} // namespace reference

#include "commands/painterly.h"

#include "tga/tga.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>

namespace {

constexpr double brushCentre = 6.5;
constexpr double brushRadius = 6.5;
constexpr double strokeThreshold = 0.1;
constexpr double strokeStep = 4.333333333333333;
constexpr std::int64_t strokePlacement = 24;

// The next anchor coordinate: the step is added to the integer coordinate and the sum truncated.
std::int64_t nextAnchor(std::int64_t coordinate) {
    return static_cast<std::int64_t>(static_cast<double>(coordinate) + strokeStep);
}

// A jitter of -6 to -1 pixels: (rand() mod 6) - 6.5, truncated toward zero.
std::int64_t jitter() {
    return static_cast<std::int64_t>(static_cast<double>(std::rand() % 6) - 6.5);
}

std::uint32_t canvasSide(std::uint32_t side) {
    const std::uint64_t padded = std::uint64_t{side} + canvasMargin;
    if (padded > std::numeric_limits<std::uint32_t>::max())
        throw std::bad_alloc();
    return static_cast<std::uint32_t>(padded);
}

} // namespace

ImagePtr makeBrush() {
    ImagePtr brush = createImage(brushSize, brushSize);
    for (std::uint32_t x = 0; x < brushSize; ++x) {
        for (std::uint32_t y = 0; y < brushSize; ++y) {
            const double noise = static_cast<double>(std::rand() % 50 - 25) / 100;
            const double dy = brushCentre - y;
            const double dx = brushCentre - x;
            const double distance = std::sqrt(dy * dy + dx * dx);
            const double value = (1 - distance / brushRadius) + noise;
            const std::uint8_t level = value > strokeThreshold ? 0 : 255;
            std::uint8_t* texel = brush->pixel(x, y);
            texel[0] = texel[1] = texel[2] = level;
        }
    }
    return brush;
}

ImagePtr textureCanvas(const Image& texture, std::uint32_t width, std::uint32_t height) {
    ImagePtr canvas = createImage(width, height);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* out = canvas->pixel(0, y);
        const std::uint32_t ty = y % texture.height;
        std::uint32_t tx = 0;
        for (std::uint32_t x = 0; x < width; ++x, out += 4) {
            const std::uint8_t* in = texture.pixel(tx, ty);
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
            if (++tx == texture.width)
                tx = 0;
        }
    }
    return canvas;
}

void layStrokes(Image& canvas, const Image& source, const Image& brush) {
    const std::int64_t canvasWidth = canvas.width;
    const std::int64_t canvasHeight = canvas.height;
    for (std::int64_t x = 0; x < std::int64_t{source.width}; x = nextAnchor(x)) {
        for (std::int64_t y = 0; y < std::int64_t{source.height}; y = nextAnchor(y)) {
            const std::int64_t ox = jitter();
            const std::int64_t oy = jitter();
            const std::uint8_t* colour =
                source.pixel(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
            for (std::uint32_t i = 0; i < brushSize; ++i) {
                const std::int64_t cx = x + ox + i + strokePlacement;
                for (std::uint32_t j = 0; j < brushSize; ++j) {
                    const std::int64_t cy = y + oy + j + strokePlacement;
                    if (cx < 0 || cx >= canvasWidth || cy < 0 || cy >= canvasHeight ||
                        brush.pixel(i, j)[0] != 0)
                        continue;
                    std::uint8_t* p =
                        canvas.pixel(static_cast<std::uint32_t>(cx), static_cast<std::uint32_t>(cy));
                    // trunc(canvas * 0.5 + source * 0.5): exact in double, so the integer mean.
                    for (int c = 0; c < 3; ++c)
                        p[c] = static_cast<std::uint8_t>((p[c] + colour[c]) / 2);
                }
            }
        }
    }
}

int paintVariable(ArgList& args, ScriptContext& ctx) {
    const auto [index, source] = ctx.checkNameThenFetch(args[1], "No image to Paint");
    if (source == nullptr)
        return 1;
    const ImagePtr texture = loadImage(paintTextureFile);
    if (texture == nullptr) {
        std::printf("Error: required texture %s not found\n", paintTextureFile);
        return 0;
    }
    // The canvas is made before the brush, so that a canvas too large for memory fails the command before
    // any value of the generator is used or the brush file is touched.
    ImagePtr canvas = textureCanvas(*texture, canvasSide(source->width), canvasSide(source->height));
    const ImagePtr brush = makeBrush();
    writeImage(paintBrushFile, *brush); // a brush file that cannot be written does not stop the painting
    layStrokes(*canvas, *source, *brush);
    ctx.setImage(index, std::move(canvas));
    return 0;
}

#include "commands/painterly.h"

#include "tga/tga.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    ImagePtr canvas = createImageForOverwrite(width, height);
    const std::size_t rowBytes = canvas->rowBytes();
    if (rowBytes == 0 || height == 0)
        return canvas;
    // The first texture-height rows pixel by pixel; every later row repeats the row one texture height above.
    const std::uint32_t tiledRows = std::min(height, texture.height);
    for (std::uint32_t y = 0; y < tiledRows; ++y) {
        std::uint8_t* out = canvas->pixel(0, y);
        std::uint32_t tx = 0;
        for (std::uint32_t x = 0; x < width; ++x, out += bytesPerPixel) {
            const std::uint8_t* in = texture.pixel(tx, y);
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
            out[3] = 0;
            if (++tx == texture.width)
                tx = 0;
        }
    }
    for (std::uint32_t y = tiledRows; y < height; ++y)
        std::memcpy(canvas->pixel(0, y), canvas->pixel(0, y - texture.height), rowBytes);
    return canvas;
}

namespace {

// Mixes one stroke colour into canvas pixel p: each colour byte becomes (canvas + colour) div 2, which is
// trunc(canvas * 0.5 + colour * 0.5) exactly; alpha stays.
void mixTexel(std::uint8_t* p, const std::uint8_t* colour) {
    for (std::size_t c = 0; c < 3; ++c)
        p[c] = static_cast<std::uint8_t>((p[c] + colour[c]) / 2);
}

// The brush as masks over a row of 16 canvas pixels: for brush row j, 0xFF in the colour bytes of every
// pixel i whose texel leaves paint, 0 elsewhere (alpha bytes, and pixels 13 to 15, which lie past the brush).
struct BrushRows {
    std::array<std::array<std::uint8_t, 16 * bytesPerPixel>, brushSize> mask{};
};

BrushRows brushRows(const Image& brush) {
    BrushRows rows;
    for (std::uint32_t j = 0; j < brushSize; ++j)
        for (std::uint32_t i = 0; i < brushSize; ++i)
            if (brush.pixel(i, j)[0] == 0)
                for (std::size_t c = 0; c < 3; ++c)
                    rows.mask[j][i * bytesPerPixel + c] = 0xFF;
    return rows;
}

// One stroke whose 13 x 13 texels, and the 3 pixels right of each of its rows, all lie on the canvas, at
// (left, top). The texels of one stroke are distinct pixels, so the order they are mixed in does not matter;
// pixels outside the mask are written back unchanged.
void layInsideStroke(Image& canvas, std::uint32_t left, std::uint32_t top, const std::uint8_t* colour,
                     const BrushRows& rows) {
#if defined(__SSE2__)
    std::uint32_t word;
    std::memcpy(&word, colour, bytesPerPixel);
    const __m128i stroke = _mm_set1_epi32(static_cast<int>(word));
    const __m128i one = _mm_set1_epi8(1);
    for (std::uint32_t j = 0; j < brushSize; ++j) {
        std::uint8_t* p = canvas.pixel(left, top + j);
        for (std::size_t part = 0; part < 4; ++part) {
            const __m128i mask =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.mask[j].data() + part * 16));
            __m128i* at = reinterpret_cast<__m128i*>(p + part * 16);
            const __m128i old = _mm_loadu_si128(at);
            // The rounded-up mean less the odd bit of the sum: the mean rounded down.
            const __m128i mean =
                _mm_sub_epi8(_mm_avg_epu8(old, stroke), _mm_and_si128(_mm_xor_si128(old, stroke), one));
            _mm_storeu_si128(at, _mm_or_si128(_mm_and_si128(mask, mean), _mm_andnot_si128(mask, old)));
        }
    }
#else
    for (std::uint32_t j = 0; j < brushSize; ++j)
        for (std::uint32_t i = 0; i < brushSize; ++i)
            if (rows.mask[j][i * bytesPerPixel] != 0)
                mixTexel(canvas.pixel(left + i, top + j), colour);
#endif
}

} // namespace

void layStrokes(Image& canvas, const Image& source, const Image& brush) {
    const std::int64_t canvasWidth = canvas.width;
    const std::int64_t canvasHeight = canvas.height;
    const BrushRows rows = brushRows(brush);
    constexpr std::int64_t span = 16; // pixels a stroke row touches on the fast path
    for (std::int64_t x = 0; x < std::int64_t{source.width}; x = nextAnchor(x)) {
        for (std::int64_t y = 0; y < std::int64_t{source.height}; y = nextAnchor(y)) {
            const std::int64_t ox = jitter();
            const std::int64_t oy = jitter();
            const std::uint8_t* colour =
                source.pixel(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
            const std::int64_t left = x + ox + strokePlacement;
            const std::int64_t top = y + oy + strokePlacement;
            if (left >= 0 && left + span <= canvasWidth && top >= 0 && top + brushSize <= canvasHeight) {
                layInsideStroke(canvas, static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
                                colour, rows);
                continue;
            }
            for (std::uint32_t i = 0; i < brushSize; ++i) {
                const std::int64_t cx = left + i;
                for (std::uint32_t j = 0; j < brushSize; ++j) {
                    const std::int64_t cy = top + j;
                    if (cx < 0 || cx >= canvasWidth || cy < 0 || cy >= canvasHeight ||
                        brush.pixel(i, j)[0] != 0)
                        continue;
                    mixTexel(canvas.pixel(static_cast<std::uint32_t>(cx), static_cast<std::uint32_t>(cy)),
                             colour);
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

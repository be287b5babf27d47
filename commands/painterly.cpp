#include "commands/painterly.h"

#include "formats/image_file.h"
#include "system/program_folder.h"
#include "system/thread_pool.h"
#include "tga/tga.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <sys/stat.h>

// The installed data folder as seen from the installed program's folder (the build defines it from its
// install layout).
#ifndef CHROMALOOM_DATA_FROM_BIN
#define CHROMALOOM_DATA_FROM_BIN "../share/chromaloom"
#endif

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

namespace {

// Canvas row y covered with the texture from its top-left corner, alpha 0, every byte exclusive-or `flip`:
// the texture's row first, then copies of what is already written, doubling each time.
void textureRow(const Image& texture, std::uint32_t y, Image& canvas, std::uint8_t flip = 0) {
    const std::size_t rowBytes = canvas.rowBytes();
    std::uint8_t* out = canvas.pixel(0, y);
    if (texture.width == 0 || texture.height == 0) {
        // Nothing to tile (the texture file reader never gives such a texture): transparent black.
        std::memset(out, flip, rowBytes);
        return;
    }
    const std::uint8_t* in = texture.pixel(0, y % texture.height);
    const std::size_t period = std::min<std::size_t>(texture.width, canvas.width) * bytesPerPixel;
    for (std::size_t at = 0; at < period; at += bytesPerPixel) {
        for (std::size_t c = 0; c < 3; ++c)
            out[at + c] = static_cast<std::uint8_t>(in[at + c] ^ flip);
        out[at + 3] = flip;
    }
    for (std::size_t done = period; done < rowBytes; done *= 2)
        std::memcpy(out + done, out, std::min(done, rowBytes - done));
}

} // namespace

ImagePtr textureCanvas(const Image& texture, std::uint32_t width, std::uint32_t height) {
    ImagePtr canvas = createImageForOverwrite(width, height);
    // Each row is tiled from one texture row alone: bands of rows give the same bytes on any thread.
    if (canvas->rowBytes() != 0)
        forEachRowBand(height, canvas->rowBytes(), [&](RowBand band) {
            for (std::int64_t y = band.begin; y < band.end; ++y)
                textureRow(texture, static_cast<std::uint32_t>(y), *canvas);
        });
    return canvas;
}

namespace {

// While a band takes its strokes its canvas bytes are held complemented (255 - byte). A stroke turns each
// colour byte p into (p + colour) div 2, which is trunc(p * 0.5 + colour * 0.5) exactly; on the complement
// q = 255 - p that is (q + (255 - colour) + 1) div 2, the rounded-up mean, which SSE2 has as one
// instruction.
void complementRows(Image& canvas, std::int64_t y0, std::int64_t y1) {
    const std::size_t rowBytes = canvas.rowBytes();
    for (std::int64_t y = y0; y < y1; ++y) {
        std::uint8_t* p = canvas.pixel(0, static_cast<std::uint32_t>(y));
        for (std::size_t k = 0; k < rowBytes; ++k)
            p[k] = static_cast<std::uint8_t>(~p[k]);
    }
}

// Mixes one stroke colour into the complemented canvas pixel q; alpha stays.
void mixTexel(std::uint8_t* q, const std::uint8_t* colour) {
    for (std::size_t c = 0; c < 3; ++c)
        q[c] = static_cast<std::uint8_t>((q[c] + (255 - colour[c]) + 1) / 2);
}

// The brush as masks over a row of 16 canvas pixels: for brush row j, 0xFF in the colour bytes of every
// pixel i whose texel leaves paint, 0 elsewhere (alpha bytes, and pixels 13 to 15, which lie past the brush);
// and, as bits, which of the row's four 16-byte parts leave any paint.
struct BrushRows {
    std::array<std::array<std::uint8_t, 16 * bytesPerPixel>, brushSize> mask{};
    std::array<unsigned, brushSize> parts{};
};

BrushRows brushRows(const Image& brush) {
    BrushRows rows;
    for (std::uint32_t j = 0; j < brushSize; ++j)
        for (std::uint32_t i = 0; i < brushSize; ++i)
            if (brush.pixel(i, j)[0] == 0) {
                rows.parts[j] |= 1u << (i / 4);
                for (std::size_t c = 0; c < 3; ++c)
                    rows.mask[j][i * bytesPerPixel + c] = 0xFF;
            }
    return rows;
}

// Brush rows first..last-1 of one stroke whose 13 x 13 texels, and the 3 pixels right of each of its rows,
// all lie on the canvas, at (left, top). The texels of one stroke are distinct pixels, so the order they
// are mixed in does not matter; pixels outside the mask are written back unchanged, and parts of a row
// with no paint are not touched.
void layInsideRows(Image& canvas, std::uint32_t left, std::uint32_t top, std::uint32_t first,
                   std::uint32_t last, const std::uint8_t* colour, const BrushRows& rows) {
#if defined(__SSE2__)
    std::uint32_t word;
    std::memcpy(&word, colour, bytesPerPixel);
    const __m128i stroke = _mm_set1_epi32(static_cast<int>(~word));
    for (std::uint32_t j = first; j < last; ++j) {
        std::uint8_t* p = canvas.pixel(left, top + j);
        for (std::size_t part = 0; part < 4; ++part) {
            if ((rows.parts[j] & (1u << part)) == 0)
                continue;
            const __m128i mask =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.mask[j].data() + part * 16));
            __m128i* at = reinterpret_cast<__m128i*>(p + part * 16);
            const __m128i old = _mm_loadu_si128(at);
            // The stroke's complement where the mask is set, the byte itself elsewhere, whose mean with the
            // byte is the byte.
            const __m128i with = _mm_xor_si128(old, _mm_and_si128(_mm_xor_si128(old, stroke), mask));
            _mm_storeu_si128(at, _mm_avg_epu8(old, with));
        }
    }
#else
    for (std::uint32_t j = first; j < last; ++j)
        for (std::uint32_t i = 0; i < brushSize; ++i)
            if (rows.mask[j][i * bytesPerPixel] != 0)
                mixTexel(canvas.pixel(left + i, top + j), colour);
#endif
}

// Rows first..last-1 of a stroke at (left, top) that may reach past the canvas, texel by texel.
void layEdgeRows(Image& canvas, std::int64_t left, std::int64_t top, std::int64_t first, std::int64_t last,
                 const std::uint8_t* colour, const BrushRows& rows) {
    for (std::int64_t j = first; j < last; ++j)
        for (std::int64_t i = 0; i < std::int64_t{brushSize}; ++i) {
            const std::int64_t cx = left + i;
            if (cx < 0 || cx >= std::int64_t{canvas.width} ||
                rows.mask[static_cast<std::size_t>(j)][static_cast<std::size_t>(i) * bytesPerPixel] == 0)
                continue;
            mixTexel(canvas.pixel(static_cast<std::uint32_t>(cx), static_cast<std::uint32_t>(top + j)),
                     colour);
        }
}

// The anchors of one side: 0, then each previous one plus the step, truncated, while inside.
std::vector<std::int64_t> anchors(std::uint32_t side) {
    std::vector<std::int64_t> at;
    for (std::int64_t v = 0; v < std::int64_t{side}; v = nextAnchor(v))
        at.push_back(v);
    return at;
}

// Canvas rows per stroke band: a band and the stroke data it reads stay in the second-level cache.
constexpr std::int64_t strokeBandRows = 16;

// Lays on canvas rows y0..y1-1 every stroke that touches them, in the order the strokes are laid.
void strokeBand(Image& canvas, const BrushRows& rows, const StrokePlan& plan, std::int64_t y0,
                std::int64_t y1) {
    const std::int64_t canvasWidth = canvas.width;
    const std::int64_t canvasHeight = canvas.height;
    constexpr std::int64_t span = 16; // pixels a stroke row touches on the fast path
    // A stroke's top row lies 18 to 23 rows below its anchor row and its rows span 13.
    const auto lo = static_cast<std::size_t>(
        std::lower_bound(plan.rows.begin(), plan.rows.end(), y0 - strokePlacement - brushSize) -
        plan.rows.begin());
    const auto hi = static_cast<std::size_t>(
        std::upper_bound(plan.rows.begin(), plan.rows.end(), y1 - strokePlacement + 6) - plan.rows.begin());
    const std::size_t anchorColumns = plan.columns.size();
    for (std::size_t xi = 0; xi < plan.columns.size(); ++xi) {
        for (std::size_t yi = lo; yi < hi; ++yi) {
            const StrokePlan::Stroke& stroke = plan.strokes[yi * anchorColumns + xi];
            const std::int64_t left = plan.columns[xi] + stroke.ox + strokePlacement;
            const std::int64_t top = plan.rows[yi] + stroke.oy + strokePlacement;
            const std::int64_t first = std::max<std::int64_t>({y0 - top, 0, -top});
            const std::int64_t last = std::min<std::int64_t>({y1 - top, brushSize, canvasHeight - top});
            if (first >= last)
                continue;
            std::uint8_t colour[bytesPerPixel];
            std::memcpy(colour, &stroke.colour, bytesPerPixel);
            if (left >= 0 && left + span <= canvasWidth)
                layInsideRows(canvas, static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
                              static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last), colour,
                              rows);
            else
                layEdgeRows(canvas, left, top, first, last, colour, rows);
        }
    }
}

} // namespace

StrokePlan::StrokePlan(const Image& source) : columns(anchors(source.width)), rows(anchors(source.height)) {
    strokes.resize(columns.size() * rows.size());
    std::size_t at = 0;
    for (const std::int64_t y : rows)
        for (const std::int64_t x : columns)
            std::memcpy(&strokes[at++].colour,
                        source.pixel(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)),
                        bytesPerPixel);
}

void StrokePlan::drawJitters() {
    for (std::size_t xi = 0; xi < columns.size(); ++xi)
        for (std::size_t yi = 0; yi < rows.size(); ++yi) {
            Stroke& stroke = strokes[yi * columns.size() + xi];
            stroke.ox = static_cast<std::int8_t>(jitter());
            stroke.oy = static_cast<std::int8_t>(jitter());
        }
}

void paintBands(Image& canvas, const Image* texture, const Image& brush, const StrokePlan& plan) {
    const BrushRows rows = brushRows(brush);
    const std::int64_t height = canvas.height;
    // A stroke band writes its own canvas rows only, and lays on them every stroke that reaches them in the
    // order the strokes are laid, so each canvas pixel takes the same strokes in the same order whichever
    // thread paints its band and whenever: the bands are shared out, groups of whole bands at a time.
    // The jitters were drawn before, on the calling thread; no band takes a value of rand().
    const std::int64_t bands = (height + strokeBandRows - 1) / strokeBandRows;
    // Texturing and stroking cost several times a copy per canvas byte.
    const std::uint64_t bandCost = 4 * std::uint64_t{strokeBandRows} * canvas.rowBytes();
    forEachRowBand(bands, bandCost, [&](RowBand group) {
        for (std::int64_t band = group.begin; band < group.end; ++band) {
            const std::int64_t y0 = band * strokeBandRows;
            const std::int64_t y1 = std::min(y0 + strokeBandRows, height);
            if (texture == nullptr)
                complementRows(canvas, y0, y1);
            else if (canvas.rowBytes() != 0)
                for (std::int64_t y = y0; y < y1; ++y)
                    textureRow(*texture, static_cast<std::uint32_t>(y), canvas, 0xFF);
            strokeBand(canvas, rows, plan, y0, y1);
            complementRows(canvas, y0, y1);
        }
    });
}

void layStrokes(Image& canvas, const Image& source, const Image& brush) {
    StrokePlan plan(source);
    plan.drawJitters();
    paintBands(canvas, nullptr, brush, plan);
}

std::vector<std::string> paintTextureFolders() {
    std::vector<std::string> folders{""};
    const std::string program = programFolder();
    if (program.empty())
        return folders;
    for (const std::filesystem::path& folder :
         {std::filesystem::path(program) / CHROMALOOM_DATA_FROM_BIN, std::filesystem::path(program)}) {
        std::string name = folder.lexically_normal().string();
        while (name.size() > 1 && name.back() == '/')
            name.pop_back();
        if (std::find(folders.begin(), folders.end(), name) == folders.end())
            folders.push_back(std::move(name));
    }
    return folders;
}

namespace {

// The texture from the first folder that holds the file; its name there in `path` (empty when none does).
ImagePtr loadPaintTexture(std::string& path, std::string& reason) {
    for (const std::string& folder : paintTextureFolders()) {
        std::string candidate = folder.empty() ? std::string(paintTextureFile)
                                               : (folder == "/" ? "" : folder) + "/" + paintTextureFile;
        struct stat status {};
        if (::stat(candidate.c_str(), &status) != 0)
            continue;
        path = std::move(candidate);
        LoadResult loaded = loadImageFile(path.c_str());
        reason = std::move(loaded.reason);
        return std::move(loaded.image);
    }
    path.clear();
    return nullptr;
}

// "the working directory, /a and /b": the folders looked in, as the message about a missing texture names
// them.
std::string foldersLookedIn() {
    const std::vector<std::string> folders = paintTextureFolders();
    std::string list;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        if (i > 0)
            list += i + 1 == folders.size() ? " and " : ", ";
        list += folders[i].empty() ? "the working directory" : folders[i];
    }
    return list;
}

} // namespace

int paintVariable(int index, const Image* source, ScriptContext& ctx) {
    std::string path;
    std::string reason;
    const ImagePtr texture = loadPaintTexture(path, reason);
    if (texture == nullptr) {
        // A texture that is there but cannot be read is not passed over for the next place: the user's own
        // texture must not give way to the shipped one unnoticed.
        if (path.empty())
            ctx.reportWithoutLine("Error: required texture %s not found (looked in %s)", paintTextureFile,
                                  foldersLookedIn().c_str());
        else
            ctx.reportWithoutLine("Error: required texture %s cannot be read: %s", path.c_str(),
                                  reason.c_str());
        return 0;
    }
    // The canvas and the plan of the strokes are made before the brush, so that a canvas too large for
    // memory fails the command before any value of the generator is used or the brush file is touched.
    ImagePtr canvas = createImageForOverwrite(canvasSide(source->width), canvasSide(source->height));
    StrokePlan plan(*source);
    const ImagePtr brush = makeBrush();
    writeImage(paintBrushFile, *brush); // a brush file that cannot be written does not stop the painting
    plan.drawJitters();
    paintBands(*canvas, texture.get(), *brush, plan);
    ctx.setImage(index, std::move(canvas));
    return 0;
}

#pragma once

#include "image/image.h"
#include "interpreter/command.h"
#include "interpreter/script_context.h"

#include <cstdint>
#include <string>
#include <vector>

// The painterly rendering behind the paint and painter verbs: the image is re-drawn with strokes of a ragged
// round brush over a canvas covered with a texture, 60 pixels wider and taller than the image.

// Read on every call from the first of paintTextureFolders() that holds it.
inline constexpr const char* paintTextureFile = "requiredimages/texture.tga";
// The brush each call makes is written here, in the working directory.
inline constexpr const char* paintBrushFile = "brushstroke.tga";

// The folders paint looks in for paintTextureFile, in order: the working directory (given as ""), the
// installed data folder (share/chromaloom beside the program's bin/), and the program's own folder, where
// the build keeps a copy. The last two are left out when the program's folder is unknown, and a folder is
// listed once.
std::vector<std::string> paintTextureFolders();

inline constexpr std::uint32_t brushSize = 13;
inline constexpr std::uint32_t canvasMargin = 60;

// A 13 x 13 brush from 169 values of rand(), drawn column by column: R = G = B = 0 where the brush
// leaves paint, 255 elsewhere; alpha 0 throughout.
ImagePtr makeBrush();

// A canvas of the given size tiled with the texture from its top-left corner; alpha 0 throughout.
ImagePtr textureCanvas(const Image& texture, std::uint32_t width, std::uint32_t height);

// Lays one jittered stroke for every fourth pixel of every fourth row of the source, column by column,
// each mixing the canvas half-and-half with the source pixel's colour. Takes two values of rand() a stroke.
void layStrokes(Image& canvas, const Image& source, const Image& brush);

// The strokes of a source: the anchor columns and rows, and for each stroke, by anchor row then column, its
// colour (the anchor pixel) and, once drawn, its two jitters.
struct StrokePlan {
    struct Stroke {
        std::uint32_t colour = 0;
        std::int8_t ox = 0;
        std::int8_t oy = 0;
    };

    explicit StrokePlan(const Image& source);
    // Takes the two values of rand() of every stroke, in the order the strokes are laid: by anchor column
    // then row.
    void drawJitters();

    std::vector<std::int64_t> columns;
    std::vector<std::int64_t> rows;
    std::vector<Stroke> strokes;
};

// Lays the planned strokes on the canvas, as layStrokes does, a band of canvas rows at a time: every stroke
// that touches a band, in the order the strokes are laid, clipped to the band's rows. When `texture` is
// given, each band is first covered with the texture as textureCanvas does, so a canvas made for overwrite
// is written once while its rows are in the cache.
void paintBands(Image& canvas, const Image* texture, const Image& brush, const StrokePlan& plan);

// The whole verb: paints the image of the variable named by args[1] and stores the canvas in its place.
int paintVariable(int index, const Image* source, ScriptContext& ctx);

#pragma once

#include "formats/found_metadata.h"
#include "image/image.h"
#include "image/resample.h"
#include "system/byte_source.h"

#include <cstdint>
#include <string>

// Decoders that may deliver a picture smaller than the file holds, for a caller that will fit it into a box
// anyway (thumbnail): they decode only as much as the box needs. Each reads the file as its whole-picture
// decoder does (same reasons, same metadata) and sets `fullSize` to the picture's size as stored.

// The size a picture of width x height stored with the EXIF orientation `orientation` takes once fitted
// into boxWidth x boxHeight, in stored pixels: an orientation of 5 to 8 turns the picture a quarter, so the
// box is turned to meet it. A decoder never delivers less than this on either side.
inline FitSize neededStoredSize(std::uint32_t width, std::uint32_t height, std::uint32_t boxWidth,
                                std::uint32_t boxHeight, int orientation) {
    const bool turned = orientation >= 5 && orientation <= 8;
    return turned ? fitInside(width, height, boxHeight, boxWidth)
                  : fitInside(width, height, boxWidth, boxHeight);
}

// JPEG through the library's DCT scaling: the smallest of 1/8, 1/4 and 1/2 (of each side, rounded up) that
// still covers the needed size, or the whole picture.
ImagePtr decodeJpegScaled(ByteSource& source, std::string& reason, FoundMetadata& found,
                          std::uint32_t boxWidth, std::uint32_t boxHeight, FitSize& fullSize);

// A still WebP image through the library's scaled decoding to twice the needed size (when that is smaller
// than the picture), left for the caller's Lanczos fit to halve. An animation's first frame is decoded whole.
ImagePtr decodeWebpScaled(ByteSource& source, std::string& reason, FoundMetadata& found,
                          std::uint32_t boxWidth, std::uint32_t boxHeight, FitSize& fullSize);

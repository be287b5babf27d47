#pragma once

#include "image/image.h"
#include "system/byte_source.h"

#include <cstddef>
#include <cstdint>
#include <string>

// GIF files (87a and 89a), read through giflib.
//
// A file reads as its first frame on the logical screen: the screen starts transparent black and the frame
// is placed at its offset, cut to the screen where it reaches beyond it. A screen with no area takes the
// frame's own size, the frame at its top-left corner. The transparent index of a graphic control block
// before the frame makes those pixels transparent; every other pixel is opaque. An interlaced frame is
// put back in row order. The frame's own colour table is used when it has one, the file's otherwise.
//
// Reasons on failure:
//   "GIF: file ends early"     the data stops before the first frame's last pixel
//   "GIF: corrupt data"        a block or the compressed pixel data cannot be decoded
//   "GIF: no image"            the file ends (trailer) before any frame
//   "GIF: bad size"            the image would have no pixels (a screen and a frame of no area)
//   "GIF: bad colour index"    a pixel names a colour beyond the colour table (or there is no table)
// Throws std::bad_alloc when the image does not fit in the memory budget.

// The six bytes "GIF87a" or "GIF89a".
bool matchesGif(const std::uint8_t* head, std::size_t size);
ImagePtr decodeGif(ByteSource& source, std::string& reason);

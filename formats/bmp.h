#pragma once

#include "image/image.h"
#include "system/byte_source.h"

#include <cstddef>
#include <cstdint>
#include <string>

// BMP files, with any of the Windows information headers (12, 40, 52, 56, 108 or 124 bytes) or the 64-byte
// OS/2 one: 1, 2, 4 and 8 bits a pixel through a colour table, uncompressed or run-length encoded (8 and 4
// bits), 16 and 32 bits with the default masks or masks of their own (one of them alpha), and 24 bits.
// Rows are stored bottom row first unless the height is negative. Embedded colour profiles are not read.
//
// Decisions on what files leave open:
//   - 32-bit files without masks hold opaque colour: their fourth byte is padding, often 0.
//   - A file with an alpha mask whose every pixel has alpha 0 reads as opaque: writers that declare an
//     alpha mask and never fill it are common, and reading them as fully transparent would lose the image.
//   - Pixels that run-length data never reaches (skipped by a move, or left by an early end of line or of
//     the bitmap) are transparent black; runs that go past the right edge are cut there.
//
// Reasons on failure:
//   "BMP: file ends early"          the data stops before the last pixel (or before a run-length image's
//                                   last row is reached)
//   "BMP: bad header"               an unknown header size, pixel data placed inside the headers, or a
//                                   compression that does not go with the bit depth
//   "BMP: bad size"                 a width or height of 0, a negative width, or a height beyond 2^31 - 1
//   "BMP: unsupported bit depth"    a bit count other than 1, 2, 4, 8, 16, 24 or 32
//   "BMP: unsupported compression"  JPEG or PNG data, the OS/2 Huffman and 24-bit run-length codings, or
//                                   an unknown compression
//   "BMP: bad bitfields"            a colour mask whose bits are not contiguous or lie beyond the pixel
//   "BMP: bad colour index"         a pixel names an entry beyond the colour table
// Throws std::bad_alloc when the image does not fit in the memory budget.

// "BM" followed by an information header size the reader knows (12, 40, 52, 56, 64, 108 or 124 at byte 14).
bool matchesBmp(const std::uint8_t* head, std::size_t size);
ImagePtr decodeBmp(ByteSource& source, std::string& reason);

#pragma once

#include "formats/found_metadata.h"
#include "image/image.h"
#include "system/byte_source.h"

#include <cstddef>
#include <cstdint>
#include <string>

// TIFF files, read and written through libtiff.
//
// Reading takes the first image (directory) of a classic or BigTIFF file, in strips or tiles, with its
// samples side by side or in separate planes, compressed in any way the library decodes. Samples of 1, 2,
// 4, 8 and 16 bits of grey (black or white at 0), RGB, palette colour and CMYK are read, each with at most
// one extra sample, which is taken as alpha (premultiplied when the file says so, straight otherwise).
// YCbCr is read only from JPEG-compressed files, which the library turns into RGB. The colour profile and
// the XMP packet go into `found`; EXIF, which a TIFF file keeps as a directory of its own inside the file
// rather than as a block, is not taken.
//
// Writing stores 8-bit samples in the smallest of grey, grey with alpha, RGB and RGB with straight
// alpha that holds the image exactly (RGB when the image carries an RGB profile), deflate-compressed with
// horizontal differencing, with the image's profile (where it describes the pixels written) and XMP.

// "II*\0" or "MM\0*", or BigTIFF's "II+\0" or "MM\0+".
bool matchesTiff(const std::uint8_t* head, std::size_t size);
ImagePtr decodeTiff(ByteSource& source, std::string& reason, FoundMetadata& found);
bool encodeTiff(const Image& image, int fd);

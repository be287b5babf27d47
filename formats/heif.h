#pragma once

#include "formats/found_metadata.h"
#include "image/image.h"
#include "system/byte_source.h"

#include <cstddef>
#include <cstdint>
#include <string>

// HEIF still images (HEVC-coded HEIC and AV1-coded AVIF) through libheif.

// An ISO-BMFF "ftyp" box at the start of `head` (its size plausible: at least 16 bytes, a multiple of 4)
// whose major brand or one of its compatible brands is a still-image brand: heic, heix, heim, heis, mif1,
// mif2 or avif. Files that only name sequence brands (hevc, hevx, msf1, avis) carry tracks, not the image
// items this reader decodes.
bool matchesHeif(const std::uint8_t* head, std::size_t size);

// Reads the whole file into memory and decodes its primary image, with the file's own rotation, mirror
// and crop applied (found.upright is then set). Colour and alpha are reduced to 8 bits; the colour profile,
// the EXIF block (from its TIFF header on) and the XMP packet go into `found`. Reasons:
//   "HEIF: file ends early"        the file stops inside a box, or the library finds its data cut short
//   "HEIF: corrupt data"           the boxes or the coded image are damaged or contradict each other
//   "HEIF: unsupported feature"    a coding, layout or conversion the library cannot decode
// Throws std::bad_alloc when the file, the image or the decoder's working memory does not fit the budget,
// and when the library refuses the file under its own size limits.
ImagePtr decodeHeif(ByteSource& source, std::string& reason, FoundMetadata& found);

// As decodeHeif, but decodes the smallest of the primary image's thumbnails that is at least minWidth x
// minHeight as shown (after its rotation), and the primary image itself when there is none. The metadata is
// the primary image's.
ImagePtr decodeHeifThumbnail(ByteSource& source, std::string& reason, FoundMetadata& found,
                             std::uint32_t minWidth, std::uint32_t minHeight);

// The largest width and height the AV1 writer takes: the coded frame size is held in 16 bits.
inline constexpr std::uint32_t maxAvifSide = 65536;

// Writes an AVIF file (AV1 in HEIF) at quality 1..100, with 4:2:0 chroma and an alpha channel only when
// some pixel is not opaque. The same image gives the same bytes on every run and machine. The image's
// ICC profile goes in when it describes RGB data, its EXIF block and XMP packet always. False when the
// image is empty or larger than maxAvifSide, when the encoder fails, or when a write fails; throws
// std::bad_alloc when the encoder's working memory does not fit the budget.
bool encodeAvif(const Image& image, int quality, int fd);

#pragma once

#include "formats/found_metadata.h"
#include "image/image.h"
#include "system/byte_source.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The formats beside TGA, as the dispatch in image_file.cpp calls them.
//
// Readers: `matches` tells from the first bytes of a file (as many as ByteSource::peek gives) whether it is
// in that format; `decode` reads the whole image from a source positioned at the start of the file. A
// decoder premultiplies colour with alpha through image/straight_colour.h, checks the declared size against
// the memory budget before it allocates the image (allocation throws std::bad_alloc when it does not fit),
// and on failure returns null with a short reason ("PNG: file ends early"), leaving no image behind. Readers
// of formats that carry a colour profile, EXIF or XMP put the blocks in `found` (formats/found_metadata.h).
//
// Writers: `encode` writes the whole file for an image (top row first) to an open descriptor and returns
// whether every write succeeded. Colour goes out as straight colour through image/straight_colour.h. The
// caller has checked the image against the format's size limits. Writers of formats that can carry the
// image's metadata embed it, keeping a profile only where it describes the pixels written.

bool matchesPng(const std::uint8_t* head, std::size_t size);
ImagePtr decodePng(ByteSource& source, std::string& reason, FoundMetadata& found);
bool encodePng(const Image& image, int fd);

bool matchesJpeg(const std::uint8_t* head, std::size_t size);
ImagePtr decodeJpeg(ByteSource& source, std::string& reason, FoundMetadata& found);
// quality 1..100.
bool encodeJpeg(const Image& image, int quality, int fd);

bool matchesWebp(const std::uint8_t* head, std::size_t size);
ImagePtr decodeWebp(ByteSource& source, std::string& reason, FoundMetadata& found);
// quality 1..100 for lossy, 0 for lossless.
bool encodeWebp(const Image& image, int quality, int fd);

// A complete, valid PNM or PAM header (P1 to P7) at the start of `head`.
bool matchesPnm(const std::uint8_t* head, std::size_t size);
ImagePtr decodePnm(ByteSource& source, std::string& reason);
enum class PnmKind {
    Pam, // P7 with the smallest tuple type that holds the image: GRAYSCALE, GRAYSCALE_ALPHA, RGB or RGB_ALPHA
    Ppm, // P6, colour without alpha
    Pgm, // P5, grey without alpha
};
bool encodePnm(const Image& image, PnmKind kind, int fd);

#pragma once

#include "image/image.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Image files of every format the program knows, in and out of memory images.
//
// Reading goes by content: a PNG, JPEG or WebP signature, or a complete PNM/PAM header, selects that
// format's decoder; every other file is read as TGA. Writing goes by name: a name that starts with a
// format's word and a colon (png:, jpg: or jpeg:, webp:, tga: and the other words of the format table,
// without regard to case, the lossy formats with an optional quality, jpg85:) is written in that format;
// else a name whose extension is one of those words (out.png, OUT.JPG) is written in its format at the
// format's default quality; every other name as TGA. An image read from a JPEG file and written as JPEG
// without a quality keeps the quality estimated from the file.
// Nothing here prints: a failure comes back as its reason, which the command reports on its line.

// An image read from a file, or the reason it could not be.
struct LoadResult {
    ImagePtr image;                 // null when the file could not be read
    std::string reason;             // why, when it could not
    int systemError = 0;            // the system's error number, when the file could not be opened or read
    std::vector<std::string> notes; // metadata blocks left out of an image read all the same
    // The picture's size upright as the file holds it, which a decoding shrunk for a box
    // (loadImageFileScaled) does not deliver; the image's own size otherwise.
    std::uint32_t fullWidth = 0;
    std::uint32_t fullHeight = 0;
};

// Reads the file at `name` (a format prefix before the path is allowed and ignored; the content decides).
// A `whole` file must hold all its pixels: a TGA file that ends before them is refused too ("unexpected
// end-of-file"), where otherwise the missing pixels read as black. Throws std::bad_alloc when the image does
// not fit in memory.
LoadResult loadImageFile(const char* name, bool whole = false);

// Reads the file at `name` as loadImageFile does, but lets the decoders of JPEG and WebP deliver a smaller
// picture, as long as it still covers what fitting the whole picture (upright) into boxWidth x boxHeight
// gives (formats/scaled_decoders.h). Other formats are read whole. Orientation and metadata are settled
// exactly as loadImageFile settles them.
LoadResult loadImageFileScaled(const char* name, std::uint32_t boxWidth, std::uint32_t boxHeight,
                               bool whole = false);

// Decodes a file held in memory, exactly as loadImageFile decodes the same bytes from a file.
LoadResult decodeImageFile(const std::uint8_t* data, std::size_t size);

// Writes an image (top row first in memory) to the file `name` names, in the format its prefix or else its
// extension chooses.
// A regular file at the path is replaced only once the new file is complete (system/file_replacement.h).
// Returns the reason when the image could not be written, and nothing otherwise; `systemError`, when
// given, receives the system's error number of a failure that has one (0 otherwise).
std::string saveImageFile(const char* name, const Image& image, int* systemError = nullptr);

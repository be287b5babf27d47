#pragma once

#include <cstdint>
#include <vector>

// The orientation tag (274) of an EXIF block's first directory, which tells how the camera held the
// picture. The block starts at its TIFF header ("II*\0" or "MM\0*").

// The tag's value, 1 to 8; 0 when the block has no such tag, or it is malformed or out of range.
int exifOrientation(const std::vector<std::uint8_t>& exif);

// Sets the tag's value to 1 (the pixels as stored are as seen) where the block has a well-formed tag;
// changes nothing otherwise.
void markExifUpright(std::vector<std::uint8_t>& exif);

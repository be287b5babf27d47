#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Converts `pixels` CMYK pixels (4 bytes each, cyan, magenta, yellow, black, 0 meaning no ink) through the
// CMYK colour profile `profile` to sRGB, with the intent of colour/lcms_handles.h, as red, green, blue and
// alpha 255 in `rgbaOut`. With `adobeInverted` the values are stored inverted (255 meaning no ink), as JPEG
// files with the Adobe marker hold them. `cmyk` and `rgbaOut` may be the same buffer.
//
// False, with nothing written, when the profile cannot be read or is not a CMYK one. Throws std::bad_alloc
// when the memory budget refuses the transform's buffers.
bool cmykToSrgb(const std::uint8_t* cmyk, std::size_t pixels, const std::vector<std::uint8_t>& profile,
                bool adobeInverted, std::uint8_t* rgbaOut);

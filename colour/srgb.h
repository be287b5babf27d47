#pragma once

#include "image/image.h"

#include <string>

// Converts an image whose metadata carries a colour profile to sRGB in place, and drops the profile (the
// EXIF and XMP blocks stay): the pixels then mean what pixels without a profile mean. An image without a
// profile is sRGB already and is left as it is.
//
// An RGB profile maps each pixel's straight colour (alpha kept); a grey profile maps each channel as the
// grey it would be (a grey pixel, red = green = blue, maps to exactly what the profile makes of that grey).
// The intent is that of colour/lcms_handles.h. The result is the same on every run.
//
// False with a reason, and the image unchanged, when the profile cannot be read, is not of RGB or grey, or
// gives no transform to sRGB. Throws std::bad_alloc when the memory budget refuses the work's buffers.
bool convertToSrgb(Image& image, std::string& reason);

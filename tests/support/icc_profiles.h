#pragma once

#include <cstdint>
#include <vector>

// Small real colour profiles for the tests, made by Little CMS in memory.

using ProfileBytes = std::vector<std::uint8_t>;

// sRGB itself.
ProfileBytes srgbProfileBytes();
// Grey with a gamma of 2.2 and a D50 white.
ProfileBytes greyProfileBytes();
// A wide RGB space of matrix and curves: the primaries of a common print-oriented space (red 0.64/0.33,
// green 0.21/0.71, blue 0.15/0.06), D65 white, gamma 2.2.
ProfileBytes wideRgbProfileBytes();
// A CMYK output profile: a grid from CMYK to Lab of the plain rule (red = (1 - C)(1 - K), ...) seen as sRGB.
ProfileBytes cmykProfileBytes();

#pragma once

#include "image/image.h"

#include <cstdint>
#include <vector>

// A colour byte c premultiplied by alpha a as the reader stores it, written apart from the reader's own
// conversions: the double product of the two fractions, scaled back to a byte and truncated.
std::uint8_t referencePremultiply(std::uint8_t c, std::uint8_t a);

// The reader's algorithm written plainly, one byte and one pixel at a time with no tables: the yardstick
// for the block-buffered, table-driven reader. Returns null with the error code in `code` on failure.
ImagePtr referenceDecode(const std::vector<std::uint8_t>& file, int& code);

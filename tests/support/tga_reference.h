#pragma once

#include "image/image.h"

#include <cstdint>
#include <vector>

// The reader's algorithm written plainly, one byte and one pixel at a time with no tables: the yardstick
// for the block-buffered, table-driven reader. Returns null with the error code in `code` on failure.
ImagePtr referenceDecode(const std::vector<std::uint8_t>& file, int& code);

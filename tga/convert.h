#pragma once

#include <cstdint>

// The widening of the 5- and 6-bit channels of 15- and 16-bit TGA pixels. The reader looks them up in
// tables built once from the plain formulas kept here, which stay the reference the tables are checked
// against. The conversions between straight and premultiplied colour are those of every file format
// (image/straight_colour.h).

// Widens a 5-bit or 6-bit channel to 8 bits with the fixed single-precision factors 8.2258f and 4.0476f,
// multiplied in double precision and truncated: full intensity gives 254, not 255.
std::uint8_t widen5Formula(std::uint32_t x);
std::uint8_t widen6Formula(std::uint32_t x);

struct WidenTables {
    std::uint8_t widen5[32];
    std::uint8_t widen6[64];
};
const WidenTables& widenTables();

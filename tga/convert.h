#pragma once

#include <cstdint>

// The per-channel conversions of the TGA reader and writer. Each is a pure function of one or two bytes,
// so the decoder and encoder use lookup tables built once from the plain formulas kept here, which stay
// the reference the tables are checked against.

// Premultiplies colour c by alpha a: trunc(((c / 255) * (a / 255)) * 255) in double precision. This is
// not the integer quotient c * a / 255 (c = 195, a = 17 gives 12, not 13). a = 255 leaves c unchanged and
// a = 0 gives 0.
std::uint8_t premultiplyFormula(std::uint8_t c, std::uint8_t a);

// Widens a 5-bit or 6-bit channel of a 15/16-bit pixel to 8 bits with the fixed single-precision factors
// 8.2258f and 4.0476f, multiplied in double precision and truncated: full intensity gives 254, not 255.
std::uint8_t widen5Formula(std::uint32_t x);
std::uint8_t widen6Formula(std::uint32_t x);

// The colour byte written for a stored (premultiplied) colour c with alpha a: the straight colour
// recovered with single-precision rounding after each step, clamped to 255. The opaque verb keeps its own
// table (commands/opaque.cpp), and the two differ on purpose: the file conversion rounds c / 255, a / 255
// and their quotient to float in turn, while opaque rounds c / alpha once to float and caps it.
std::uint8_t straightColourFormula(std::uint8_t c, std::uint8_t a);

// The alpha byte written for a stored alpha a (it gives a back for every byte).
std::uint8_t straightAlphaFormula(std::uint8_t a);

// Tables of the formulas above. The two-byte ones hold 65536 entries indexed by a * 256 + c; the 5-bit and
// 6-bit ones 32 and 64 entries, the alpha one 256.
struct ConversionTables {
    std::uint8_t premultiply[65536];
    std::uint8_t straightColour[65536];
    std::uint8_t straightAlpha[256];
    std::uint8_t widen5[32];
    std::uint8_t widen6[64];
};
const ConversionTables& conversionTables();

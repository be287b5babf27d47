#pragma once

#include <cstddef>
#include <cstdint>

// Image files hold straight colour with alpha; images hold colour premultiplied by alpha. Every file
// format goes through the conversions here, in both directions, so that the same straight pixels load to
// the same image whatever file held them, and an image is stored as the same straight pixels whatever file
// it goes to.
//
// Each conversion is a pure function of one or two bytes. The rows are converted with lookup tables and
// vector lanes built from the plain formulas below, which stay the reference they are checked against.

// Premultiplies colour c by alpha a: trunc(((c / 255) * (a / 255)) * 255) in double precision. This is
// not the integer quotient c * a / 255 (c = 195, a = 17 gives 12, not 13). a = 255 leaves c unchanged and
// a = 0 gives 0.
std::uint8_t premultiplyFormula(std::uint8_t c, std::uint8_t a);

// The straight colour stored in a file for a premultiplied colour c with alpha a: c / 255, a / 255 and
// their quotient each rounded to single precision in turn, clamped to 1, times 255 rounded to single
// precision, truncated. With alpha 0 the colour is stored as it is. The opaque verb keeps its own table
// (commands/opaque.cpp), and the two differ on purpose: opaque rounds c / alpha once to float and caps it.
std::uint8_t straightColourFormula(std::uint8_t c, std::uint8_t a);

// The alpha byte stored for an alpha a (it gives a back for every byte).
std::uint8_t straightAlphaFormula(std::uint8_t a);

// Tables of the formulas, indexed by a * 256 + c (the alpha one by a).
struct StraightColourTables {
    std::uint8_t premultiply[65536];
    std::uint8_t straightColour[65536];
    std::uint8_t straightAlpha[256];
};
const StraightColourTables& straightColourTables();

// The order of the colour bytes of a pixel in a file; alpha is always the fourth byte.
enum class ChannelOrder {
    Rgba,
    Bgra,
};

// n pixels of straight colour, 4 bytes each in `order`, to premultiplied red, green, blue, alpha.
// `in` and `out` must not overlap.
void premultiplyPixels(const std::uint8_t* in, std::size_t n, std::uint8_t* out, ChannelOrder order);

// n premultiplied pixels (red, green, blue, alpha) to straight colour, 4 bytes each in `order`.
// `in` and `out` must not overlap.
void straightenPixels(const std::uint8_t* in, std::size_t n, std::uint8_t* out, ChannelOrder order);

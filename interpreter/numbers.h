#pragma once

#include <cstdint>

// Number tokens from a script convert the way the C library converts text: leading blanks are skipped, the
// conversion stops at the first character that does not fit, text without a number gives 0, and nothing is
// ever reported.

// An integer token: (int)strtol(text, nullptr, 10). Values beyond the range of long are clamped by strtol,
// values beyond int keep their low 32 bits, so every input is defined.
int parseInt(const char* text);

// A real token, as strtod.
double parseReal(const char* text);

// A channel value: the integer conversion, keeping the low 8 bits (256 gives 0, -1 gives 255).
std::uint8_t parseChannel(const char* text);

// An amount token (darken, desaturate, dissolve): the text converted as a real number, then rounded to
// single precision; all later arithmetic uses that rounded value in double precision. A value beyond the
// range of float is returned unrounded: every amount range rejects it (and so would the rounded infinity),
// and converting it would be undefined.
double parseAmount(const char* text);

// Whether a word is entirely a whole number within the range of int (strict mode refuses "12px", "3.7",
// "twenty" and "99999999999", which the conversions above take as 12, 3, 0 and a wrapped value).
bool isWholeNumber(const char* text);

// Whether a word is entirely a real number as strtod reads it ("0.5", "1e-3", "nan"), not "0.5px".
bool isRealNumber(const char* text);

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The header of a PNM or PAM file (P1 to P7), read from the first bytes of the file.
//
// P1 to P6: the two bytes of the variant, then the width, the height and (except for P1 and P4) the
// maxval as decimal numbers, separated by whitespace (blank, tab, CR, LF, VT, FF) and by comments that run
// from `#` to the end of the line; the header ends with exactly one whitespace byte after the last number.
//
// P7: the line `P7`, then lines of a keyword and a value (WIDTH, HEIGHT, DEPTH and MAXVAL, each exactly
// once, and optionally TUPLTYPE, whose lines are joined with a blank), comment lines starting with `#`,
// and blank lines, up to the line `ENDHDR`. Blanks around the words of a line are allowed.
//
// Every number fits in 32 bits; width and height lie in 1..2^31-1, the maxval in 1..65535, the depth is at
// least 1. A header that breaks any rule is not a header.

struct PnmHeader {
    int variant = 0; // the digit after `P`: 1 to 7
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t depth = 0;  // samples per pixel: 1 for P1, P2, P4, P5; 3 for P3, P6; declared for P7
    std::uint32_t maxval = 0; // 1 for P1 and P4
    std::optional<std::string> tupleType; // P7 only, when given
    std::size_t length = 0;               // bytes up to and including the header's last byte
};

// The header at the front of `data`, whole; none when the bytes hold no complete valid header.
std::optional<PnmHeader> parsePnmHeader(const std::uint8_t* data, std::size_t size);

// Whether a file's first bytes are those of a PNM file: `P` and a digit. No file of the fallback format
// (TGA) starts so, as its second byte, the colour map type, would be a reserved value.
bool looksLikePnm(const std::uint8_t* data, std::size_t size);

// The most bytes a header may take, its comments included.
inline constexpr std::size_t pnmHeaderLimit = std::size_t{1} << 20;

class ByteSource;

// Reads the header from the front of the source, consuming exactly its bytes, however long its comments
// (up to pnmHeaderLimit bytes in all). None with a reason when it is not a complete valid header:
// "PNM: bad header", "PNM: file ends early" (the data ends inside it) or "PNM: header too long".
std::optional<PnmHeader> readPnmHeader(ByteSource& source, std::string& reason);

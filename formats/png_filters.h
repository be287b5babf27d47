#pragma once

#include <cstddef>
#include <cstdint>

// The row filters of PNG files. A filtered row is one filter-type byte followed by the row's bytes, each
// stored as its difference from a prediction made of the byte one pixel to the left (a), the byte above it
// (b) and the byte above and to the left (c); bytes left of the row and the row above the first are 0.
//
// Each operation has a fast form, used by the codec, and a plain form that follows the definitions byte
// by byte: the two give the same bytes for every input, which the tests check.
namespace png {

enum Filter : std::uint8_t {
    None = 0,    // the byte as it is
    Sub = 1,     // minus a
    Up = 2,      // minus b
    Average = 3, // minus (a + b) / 2, rounded down
    Paeth = 4,   // minus whichever of a, b and c is nearest to a + b - c (a, then b, then c on ties)
};
inline constexpr std::uint8_t filterCount = 5;

// Reverses the filter `filter` of a row in place: `row` holds the rowBytes bytes after the filter byte and
// becomes the image bytes; `previous` holds the image bytes of the row above (zeros for the first row).
// bytesPerPixel is 1 to 8. False when the filter type is not one of the five.
bool unfilterRow(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* previous, std::size_t rowBytes,
                 unsigned bytesPerPixel);
bool unfilterRowPlain(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* previous,
                      std::size_t rowBytes, unsigned bytesPerPixel);

// Filters a row for writing with the filter that gives the least sum of the filtered bytes taken as signed
// distances from 0 (the first of the five on ties): `out` receives the filter byte and rowBytes filtered
// bytes. `previous` is the row above (zeros for the first row).
void filterRow(const std::uint8_t* row, const std::uint8_t* previous, std::size_t rowBytes,
               unsigned bytesPerPixel, std::uint8_t* out);
void filterRowPlain(const std::uint8_t* row, const std::uint8_t* previous, std::size_t rowBytes,
                    unsigned bytesPerPixel, std::uint8_t* out);

} // namespace png

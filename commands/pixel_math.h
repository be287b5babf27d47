#pragma once

// Small arithmetic helpers shared by the pixel verbs. Each one reproduces the verbs' per-pixel formulas
// exactly; they exist so that a verb can work from a table or a cheap integer operation instead of repeating
// floating-point work for every pixel.

#include "image/image.h"

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>

// trunc(c * amount) for every byte value c, for an amount in [0, 1]. The product of a byte and a
// single-precision amount is exact in double precision, so the table holds exactly the per-pixel formula.
using ByteTable = std::array<std::uint8_t, 256>;
inline ByteTable scaledBytes(double amount) {
    assert(amount >= 0.0 && amount <= 1.0);
    ByteTable table{};
    for (int c = 0; c < 256; ++c)
        table[static_cast<std::size_t>(c)] = truncToByte(c * amount);
    return table;
}

// floor(sum / divisor) for a divisor of 1..16 and a sum of at most 255 * divisor, as one multiplication and a
// shift, which the compiler can vectorise (an integer division it cannot). With m = ceil(2^16 / d) the
// product overshoots sum / d by less than 255 * d / 2^16, which is below 1 / d for every d up to 16, and
// 1 / d is the smallest gap between sum / d and the next integer above it: so the floor never changes.
class SmallDivisor {
public:
    static constexpr std::uint32_t maxDivisor = 16;

    explicit SmallDivisor(std::uint32_t divisor) : multiplier((65536u + divisor - 1) / divisor) {
        assert(divisor >= 1 && divisor <= maxDivisor);
    }
    std::uint8_t divide(std::uint32_t sum) const {
        return static_cast<std::uint8_t>((sum * multiplier) >> 16);
    }

private:
    std::uint32_t multiplier;
};

// A 16-bit multiplier m with (c * m) >> 16 equal to table[c] for every byte c, if there is one. For a table
// of trunc(c * amount) there always is: the amounts giving the same table form an interval between two
// fractions with denominators up to 255, wider than 1 / 65536, and the multiple of 1 / 65536 next to the
// amount on one side or the other lies inside it. Every candidate is checked against the whole table, so a
// multiplier is only ever used where it is exact.
inline std::optional<std::uint16_t> byteMultiplier(const ByteTable& table, double amount) {
    const double scaled = amount * 65536;
    if (!(scaled >= 0 && scaled < 65536))
        return std::nullopt;
    const auto low = static_cast<std::uint32_t>(scaled);
    for (std::uint32_t m : {low, low + 1}) {
        if (m > 65535)
            continue;
        bool exact = true;
        for (std::uint32_t c = 0; c < 256 && exact; ++c)
            exact = ((c * m) >> 16) == table[c];
        if (exact)
            return static_cast<std::uint16_t>(m);
    }
    return std::nullopt;
}

// Replaces every byte c of `bytes` (a whole number of pixels) by table[c], leaving each pixel's alpha byte
// as it is when `keepAlpha` is set.
void scaleBytes(std::uint8_t* bytes, std::size_t count, const ByteTable& table, double amount,
                bool keepAlpha);

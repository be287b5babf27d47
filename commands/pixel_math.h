#pragma once

// Small arithmetic helpers shared by the pixel verbs. Each one reproduces the verbs' per-pixel formulas
// exactly; they exist so that a verb can work from a table or a cheap integer operation instead of repeating
// floating-point work for every pixel.

#include <array>
#include <cassert>
#include <cstdint>

// trunc(c * amount) for every byte value c, for an amount in [0, 1]. The product of a byte and a
// single-precision amount is exact in double precision, so the table holds exactly the per-pixel formula.
using ByteTable = std::array<std::uint8_t, 256>;
inline ByteTable scaledBytes(double amount) {
    assert(amount >= 0.0 && amount <= 1.0);
    ByteTable table{};
    for (int c = 0; c < 256; ++c)
        table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(static_cast<int>(c * amount));
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

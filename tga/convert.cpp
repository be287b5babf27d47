#include "tga/convert.h"

std::uint8_t widen5Formula(std::uint32_t x) {
    constexpr double factor = static_cast<double>(8.2258f); // 8.225799560546875
    return static_cast<std::uint8_t>(static_cast<int>(x * factor));
}

std::uint8_t widen6Formula(std::uint32_t x) {
    constexpr double factor = static_cast<double>(4.0476f); // 4.04759979248046875
    return static_cast<std::uint8_t>(static_cast<int>(x * factor));
}

namespace {

WidenTables buildTables() {
    WidenTables t{};
    for (std::uint32_t x = 0; x < 32; ++x)
        t.widen5[x] = widen5Formula(x);
    for (std::uint32_t x = 0; x < 64; ++x)
        t.widen6[x] = widen6Formula(x);
    return t;
}

} // namespace

const WidenTables& widenTables() {
    static const WidenTables tables = buildTables();
    return tables;
}

#include "tga/convert.h"

std::uint8_t premultiplyFormula(std::uint8_t c, std::uint8_t a) {
    const double value = ((c / 255.0) * (a / 255.0)) * 255.0;
    // value lies in 0..255, so the conversion is defined.
    return static_cast<std::uint8_t>(static_cast<int>(value));
}

std::uint8_t widen5Formula(std::uint32_t x) {
    constexpr double factor = static_cast<double>(8.2258f); // 8.225799560546875
    return static_cast<std::uint8_t>(static_cast<int>(x * factor));
}

std::uint8_t widen6Formula(std::uint32_t x) {
    constexpr double factor = static_cast<double>(4.0476f); // 4.04759979248046875
    return static_cast<std::uint8_t>(static_cast<int>(x * factor));
}

std::uint8_t straightColourFormula(std::uint8_t c, std::uint8_t a) {
    float v = static_cast<float>(c / 255.0);
    const float alpha = static_cast<float>(a / 255.0);
    // Only a zero alpha byte fails this test; such a pixel keeps its stored colour.
    if (alpha > 0.0001)
        v = static_cast<float>(static_cast<double>(v) / static_cast<double>(alpha));
    if (v > 1.0)
        return 255;
    const float scaled = static_cast<float>(static_cast<double>(v) * 255.0);
    // scaled lies in 0..255.
    return static_cast<std::uint8_t>(static_cast<int>(scaled));
}

std::uint8_t straightAlphaFormula(std::uint8_t a) {
    const float alpha = static_cast<float>(a / 255.0);
    return static_cast<std::uint8_t>(static_cast<int>(static_cast<double>(alpha) * 255.0));
}

namespace {

ConversionTables buildTables() {
    ConversionTables t{};
    for (unsigned a = 0; a < 256; ++a)
        for (unsigned c = 0; c < 256; ++c) {
            t.premultiply[a * 256 + c] =
                premultiplyFormula(static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(a));
            t.straightColour[a * 256 + c] =
                straightColourFormula(static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(a));
        }
    for (unsigned a = 0; a < 256; ++a)
        t.straightAlpha[a] = straightAlphaFormula(static_cast<std::uint8_t>(a));
    for (std::uint32_t x = 0; x < 32; ++x)
        t.widen5[x] = widen5Formula(x);
    for (std::uint32_t x = 0; x < 64; ++x)
        t.widen6[x] = widen6Formula(x);
    return t;
}

} // namespace

const ConversionTables& conversionTables() {
    static const ConversionTables tables = buildTables();
    return tables;
}

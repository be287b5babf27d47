#include "tga/pixel_formats.h"

#include "tga/convert.h"

namespace tga {

bool isGrey(const TgaHeader& h) {
    return h.imageType == TgaType::Grayscale || h.imageType == TgaType::RunLengthGrayscale;
}

Conversion chooseConversion(const TgaHeader& h) {
    const unsigned alphaBits = h.descriptor & TgaDescriptor::alphaBitsMask;
    const unsigned valueWidth = h.colorMapType != 0 ? h.colorMapEntrySize : h.pixelDepth;
    if (isGrey(h) && h.pixelDepth == 8)
        return Conversion::Grey;
    if (isGrey(h) && h.pixelDepth == 16)
        return alphaBits != 0 ? Conversion::GreyAlpha : Conversion::Grey;
    switch (valueWidth) {
    case 15:
        return Conversion::Rgb555;
    case 16:
        return alphaBits == 1 ? Conversion::Rgb555 : Conversion::Rgb565;
    case 24:
        return Conversion::Opaque;
    case 32:
        return alphaBits != 0 ? Conversion::Word : Conversion::Opaque;
    default:
        return Conversion::Word;
    }
}

Rgba convertValue(Conversion conversion, std::uint32_t v) {
    const WidenTables& t = widenTables();
    const std::uint8_t* table = straightColourTables().premultiply;
    auto premultiply = [table](std::uint32_t c, std::uint32_t a) { return table[a * 256 + c]; };
    switch (conversion) {
    case Conversion::Rgb555:
        return Rgba{t.widen5[(v >> 10) & 31], t.widen5[(v >> 5) & 31], t.widen5[v & 31], 255};
    case Conversion::Rgb565:
        return Rgba{t.widen5[(v >> 11) & 31], t.widen6[(v >> 5) & 63], t.widen5[v & 31], 255};
    case Conversion::Opaque:
        return Rgba{static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
                    static_cast<std::uint8_t>(v), 255};
    case Conversion::Word: {
        // With alpha 255 premultiplication leaves every colour byte as it is.
        const std::uint32_t a = v >> 24;
        return Rgba{premultiply((v >> 16) & 255, a), premultiply((v >> 8) & 255, a), premultiply(v & 255, a),
                    static_cast<std::uint8_t>(a)};
    }
    case Conversion::Grey: {
        const auto g = static_cast<std::uint8_t>(v);
        return Rgba{g, g, g, 255};
    }
    case Conversion::GreyAlpha: {
        const std::uint32_t a = (v >> 8) & 255;
        const std::uint8_t g = premultiply(v & 255, a);
        return Rgba{g, g, g, static_cast<std::uint8_t>(a)};
    }
    }
    return Rgba{};
}

} // namespace tga

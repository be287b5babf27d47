#include "tga/tga.h"

#include <iterator>

int TgaError = TgaCode::NoError;

const char* tgaErrorMessage(std::uint32_t code) {
    static const char* const messages[] = {
        "no error",
        "bad image header",
        "cannot open file",
        "bad format argument",
        "unexpected end-of-file",
        "image contains no data",
        "found colormap for a grayscale image",
        "unsupported colormap entry size",
        "bad colormap",
        "cannot read from file",
        "unknown image type",
        "image has size 0 width or height (or both)",
    };
    return code < std::size(messages) ? messages[code] : "unknown error";
}

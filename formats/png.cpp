#include "formats/codecs.h"

bool matchesPng(const std::uint8_t*, std::size_t) {
    return false;
}
ImagePtr decodePng(ByteSource&, std::string& reason) {
    reason = "PNG: not supported yet";
    return nullptr;
}
bool encodePng(const Image&, int) {
    return false;
}

#include "formats/codecs.h"

bool matchesJpeg(const std::uint8_t*, std::size_t) {
    return false;
}
ImagePtr decodeJpeg(ByteSource&, std::string& reason) {
    reason = "JPEG: not supported yet";
    return nullptr;
}
bool encodeJpeg(const Image&, int, int) {
    return false;
}

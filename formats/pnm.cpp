#include "formats/codecs.h"

bool matchesPnm(const std::uint8_t*, std::size_t) {
    return false;
}
ImagePtr decodePnm(ByteSource&, std::string& reason) {
    reason = "PNM: not supported yet";
    return nullptr;
}
bool encodePnm(const Image&, PnmKind, int) {
    return false;
}

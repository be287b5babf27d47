#include "formats/codecs.h"

bool matchesWebp(const std::uint8_t*, std::size_t) {
    return false;
}
ImagePtr decodeWebp(ByteSource&, std::string& reason) {
    reason = "WebP: not supported yet";
    return nullptr;
}
bool encodeWebp(const Image&, int, int) {
    return false;
}

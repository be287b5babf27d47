// Feeds arbitrary bytes to the TGA reader, and what it decodes to the writer (into /dev/null).

#include "tga/header.h"
#include "tga/tga.h"

#include <cstddef>
#include <cstdint>

namespace {

// Images above this many pixels only cost memory and time per input without reaching new code.
constexpr std::uint64_t maxPixels = std::uint64_t{1} << 14;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= TgaHeader::size) {
        const TgaHeader h = TgaHeader::parse(data);
        if (std::uint64_t{h.width} * h.height > maxPixels)
            return 0;
    }
    ImagePtr image = decodeTga(data, size);
    if (image != nullptr)
        writeImage("/dev/null", *image);
    return 0;
}

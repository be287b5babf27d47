// Feeds arbitrary bytes to the TGA reader, and what it decodes to the writer (into /dev/null).

#include "tga/tga.h"

#include <cstddef>
#include <cstdint>

namespace {

// Images above this many pixels only cost memory and time per input without reaching new code.
constexpr std::uint64_t maxPixels = std::uint64_t{1} << 14;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= 16) {
        const std::uint64_t width = data[12] | (std::uint64_t{data[13]} << 8);
        const std::uint64_t height = data[14] | (std::uint64_t{data[15]} << 8);
        if (width * height > maxPixels)
            return 0;
    }
    ImagePtr image = decodeTga(data, size);
    if (image != nullptr)
        writeImage("/dev/null", *image);
    return 0;
}

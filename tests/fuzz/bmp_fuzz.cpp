// Feeds arbitrary bytes to the BMP reader.

#include "formats/bmp.h"
#include "system/byte_source.h"
#include "system/memory_budget.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

namespace {

// A header may declare gigabytes of pixels. Holding the images to this keeps each input quick: larger ones
// are refused as out of memory before anything is decoded, as any image that does not fit is.
constexpr std::uint64_t imageMemoryLimit = std::uint64_t{1} << 20;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setImageMemoryLimit(imageMemoryLimit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteSource source(data, size);
    std::string reason;
    try {
        const ImagePtr image = decodeBmp(source, reason);
        // A refusal always says why; an image always has pixels.
        if (image == nullptr ? reason.empty() : image->width == 0 || image->height == 0)
            __builtin_trap();
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

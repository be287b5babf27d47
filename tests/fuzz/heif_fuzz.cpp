// Feeds arbitrary bytes to the HEIF reader (for odd sizes its thumbnail reader, asking for at least 8 x 8),
// and what it decodes, when small, to the AVIF writer (into /dev/null) at a quality the input's size
// chooses.

#include "formats/heif.h"
#include "system/memory_budget.h"

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <new>

namespace {

// A file may declare pictures of 32768 x 32768 pixels. Holding the images and the decoder's buffers to
// this keeps each input quick: larger ones are refused as out of memory before anything is decoded.
constexpr std::uint64_t memoryLimit = std::uint64_t{4} << 20;
// The AV1 encoder takes tens of milliseconds even for small pictures; larger ones are only decoded.
constexpr std::uint64_t largestEncodedPixels = 64 * 64;

int devNull() {
    static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setImageMemoryLimit(memoryLimit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!matchesHeif(data, size))
        return 0;
    ByteSource source(data, size);
    std::string reason;
    FoundMetadata found;
    try {
        const ImagePtr image = size % 2 == 0 ? decodeHeif(source, reason, found)
                                             : decodeHeifThumbnail(source, reason, found, 8, 8);
        if (image != nullptr && std::uint64_t{image->width} * image->height <= largestEncodedPixels)
            encodeAvif(*image, 1 + static_cast<int>(size % 100), devNull());
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

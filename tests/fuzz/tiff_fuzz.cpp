// Feeds arbitrary bytes to the TIFF reader, and what it decodes to the writer (into /dev/null).

#include "formats/tiff.h"
#include "system/memory_budget.h"

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <new>

namespace {

// A directory may declare any size up to 2^32 - 1 pixels a side. Holding the images, the file and the
// library's buffers to this keeps each input quick: larger ones are refused as out of memory before
// anything is decoded.
constexpr std::uint64_t memoryLimit = std::uint64_t{2} << 20;

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
    ByteSource source(data, size);
    std::string reason;
    FoundMetadata found;
    try {
        const ImagePtr image = decodeTiff(source, reason, found);
        if (image != nullptr)
            encodeTiff(*image, devNull());
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

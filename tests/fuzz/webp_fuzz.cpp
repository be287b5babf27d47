// Feeds arbitrary bytes to the WebP reader, and what it decodes to the writer (into /dev/null), lossless
// or lossy as the input's size chooses.

#include "formats/codecs.h"
#include "system/memory_budget.h"

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <new>

namespace {

// A header may declare 16383 x 16383 pixels. Holding the images and the library's buffers to this keeps
// each input quick: larger ones are refused as out of memory before anything is decoded.
constexpr std::uint64_t memoryLimit = std::uint64_t{2} << 20;
constexpr int qualities = 101; // 0 is lossless

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
        const ImagePtr image = decodeWebp(source, reason, found);
        if (image != nullptr)
            encodeWebp(*image, static_cast<int>(size % qualities), devNull());
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

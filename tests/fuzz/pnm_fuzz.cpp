// Feeds arbitrary bytes to the PNM reader, and what it decodes to the writer as pam:, ppm: and pgm: (into
// /dev/null).

#include "formats/codecs.h"
#include "system/byte_source.h"
#include "system/memory_budget.h"

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <new>
#include <string>

namespace {

// Images above this many bytes of pixels (64k pixels) only cost memory and time per input without reaching
// new code; the reader refuses them through the memory budget, as it refuses any image that does not fit.
constexpr std::uint64_t imageMemoryLimit = std::uint64_t{1} << 18;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setImageMemoryLimit(imageMemoryLimit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ByteSource source(data, size);
    std::string reason;
    ImagePtr image;
    try {
        image = decodePnm(source, reason);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    // The writer's buffers count in the budget too, and may be refused.
    try {
        if (image != nullptr)
            for (const PnmKind kind : {PnmKind::Pam, PnmKind::Ppm, PnmKind::Pgm})
                encodePnm(*image, kind, nowhere);
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

// Feeds arbitrary bytes to the PNG reader, and what it decodes to the PNG writer (into /dev/null).

#include "formats/codecs.h"
#include "system/byte_source.h"
#include "system/memory_budget.h"

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>

namespace {

// Images above this many bytes only cost memory and time per input without reaching new code; larger ones
// are refused by the memory budget, as a file that does not fit is.
constexpr std::uint64_t pixelBudget = std::uint64_t{1} << 18;

int nullOutput() {
    static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setImageMemoryLimit(pixelBudget);
    ByteSource source(data, size);
    source.peek(ByteSource::peekLimit);
    if (!matchesPng(source.data(), size))
        return 0;
    std::string reason;
    FoundMetadata found;
    try {
        ImagePtr image = decodePng(source, reason, found);
        if (image != nullptr)
            encodePng(*image, nullOutput());
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

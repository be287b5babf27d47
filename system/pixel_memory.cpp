#include "system/pixel_memory.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

// Large buffers are mapped from the system directly, on a 2 MiB boundary and with transparent huge pages
// requested: the first write to a fresh 64 MiB image then costs a few milliseconds instead of tens of
// thousands of page faults. A fresh mapping reads as zeros, so it serves both kinds of fill. The sanitizer
// builds keep every buffer on the heap, where a read or write past the end is caught.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#define CHROMALOOM_MAP_LARGE_BUFFERS 1
constexpr std::size_t hugePageBytes = std::size_t{2} << 20;
constexpr std::size_t mapFromBytes = hugePageBytes;

// A zeroed block of `length` bytes (a multiple of hugePageBytes) starting on a multiple of hugePageBytes,
// or null.
void* mapAligned(std::size_t length) {
    if (length > std::numeric_limits<std::size_t>::max() - hugePageBytes)
        return nullptr;
    void* raw =
        ::mmap(nullptr, length + hugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + hugePageBytes - 1) & ~std::uintptr_t{hugePageBytes - 1};
    const std::size_t head = aligned - start;
    if (head != 0)
        ::munmap(raw, head);
    if (hugePageBytes - head != 0)
        ::munmap(reinterpret_cast<void*>(aligned + length), hugePageBytes - head);
    // Only a request: without huge pages the block works the same, a page at a time.
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}
#endif

} // namespace

void PixelDeleter::operator()(std::uint8_t* p) const noexcept {
    releaseImageMemory(budgeted);
#ifdef CHROMALOOM_MAP_LARGE_BUFFERS
    if (mappedBytes != 0) {
        ::munmap(p, mappedBytes);
        return;
    }
#endif
    std::free(p);
}

namespace {

// A block of `bytes` from the system, or null: a large one mapped on a huge-page boundary, a small one (at
// least one byte, so that an empty image still owns a valid block) from the heap, where calloc hands out
// zeroed blocks without touching them.
PixelBuffer obtainBlock(std::size_t bytes, PixelFill fill) {
#ifdef CHROMALOOM_MAP_LARGE_BUFFERS
    if (bytes >= mapFromBytes) {
        const std::size_t length = (bytes + hugePageBytes - 1) / hugePageBytes * hugePageBytes;
        void* block = mapAligned(length);
        return PixelBuffer(static_cast<std::uint8_t*>(block), PixelDeleter{block != nullptr ? length : 0, 0});
    }
#endif
    const std::size_t size = std::max<std::size_t>(bytes, 1);
    void* block = fill == PixelFill::Zero ? std::calloc(size, 1) : std::malloc(size);
    return PixelBuffer(static_cast<std::uint8_t*>(block));
}

} // namespace

PixelBuffer allocatePixels(std::size_t bytes, PixelFill fill) {
    // Charged to the memory budget of all images first; the deleter gives the bytes back.
    reserveImageMemory(bytes);
    PixelBuffer block = obtainBlock(bytes, fill);
    if (block == nullptr) {
        releaseImageMemory(bytes);
        throw std::bad_alloc();
    }
    block.get_deleter().budgeted = bytes;
    return block;
}

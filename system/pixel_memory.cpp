#include "system/pixel_memory.h"
#include "system/memory_budget.h"
#include "system/sanitizers.h"
#include "system/thread_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

// Large buffers are mapped from the system directly, on a 2 MiB boundary and with transparent huge pages
// requested: the first write to a fresh 64 MiB image then costs a few milliseconds instead of tens of
// thousands of page faults. A fresh mapping reads as zeros, so it serves both kinds of fill. The sanitizer
// builds keep every buffer on the heap, where a read or write past the end is caught.
#if defined(__linux__) && !CHROMALOOM_ADDRESS_SANITIZER
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

// Linux 5.14's request to commit every page of a mapping now, as writing would.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Commits every page of a fresh block before it is used, so that memory the system cannot give is an error
// here (the request is refused as out of memory) instead of the process being killed at the first write
// to a page that cannot be had, as happens when several runs share a container's memory limit and each
// judged the free memory before the others took it. False when the system refuses; a kernel without the
// request leaves the pages to be committed as they are written, as before.
//
// The kernel clears every page it commits, which for a large block takes as long as writing it: the block
// is committed in pieces of commitPieceBytes on the pool's threads, each piece's answer kept apart.
constexpr std::size_t commitPieceBytes = std::size_t{16} << 20; // a whole number of huge pages

bool commitPages(void* block, std::size_t length) {
    const std::size_t pieces = (length + commitPieceBytes - 1) / commitPieceBytes;
    std::vector<int> errors(pieces, 0);
    runParallel(pieces, [&](std::size_t i) {
        const std::size_t start = i * commitPieceBytes;
        if (::madvise(static_cast<std::uint8_t*>(block) + start, std::min(commitPieceBytes, length - start),
                      MADV_POPULATE_WRITE) != 0)
            errors[i] = errno;
    });
    for (const int error : errors)
        if (error != 0 && error != EINVAL && error != EPERM)
            return false;
    return true;
}

// The released blocks kept for reuse, oldest first. Plain storage, so that images released while the
// program exits still find it in place.
struct KeptBlock {
    void* start;
    std::size_t length;
};

struct KeptBlocks {
    KeptBlock blocks[maxKeptBuffers];
    std::size_t count;
    std::size_t bytes;
    KeptBufferLimits limits;
    std::uint64_t reused;
    std::uint64_t mapped;
};

constinit KeptBlocks kept{{}, 0, 0, defaultKeptBufferLimits, 0, 0};

// Removes the block at `index` from the store and from the budget's count.
KeptBlock takeKeptAt(std::size_t index) noexcept {
    const KeptBlock block = kept.blocks[index];
    for (std::size_t i = index + 1; i < kept.count; ++i)
        kept.blocks[i - 1] = kept.blocks[i];
    --kept.count;
    kept.bytes -= block.length;
    unkeepImageMemory(block.length);
    return block;
}

void giveBackOldest() noexcept {
    const KeptBlock block = takeKeptAt(0);
    ::munmap(block.start, block.length);
}

// Keeps a released block if the bound and the budget allow, giving back the oldest ones to make room;
// false when it is not kept.
bool keepBlock(void* start, std::size_t length) noexcept {
    const std::size_t countLimit = std::min(kept.limits.count, maxKeptBuffers);
    if (countLimit == 0 || length > kept.limits.bytes)
        return false;
    while (kept.count > 0 && (kept.count == countLimit || kept.bytes + length > kept.limits.bytes))
        giveBackOldest();
    if (!keepImageMemory(length))
        return false;
    kept.blocks[kept.count++] = KeptBlock{start, length};
    kept.bytes += length;
    return true;
}

// The most recently kept block of exactly `length` mapped bytes, taken out of the store; null if none.
void* takeKept(std::size_t length) noexcept {
    for (std::size_t i = kept.count; i-- > 0;)
        if (kept.blocks[i].length == length)
            return takeKeptAt(i).start;
    return nullptr;
}

std::size_t mappedLength(std::size_t bytes) {
    return (bytes + hugePageBytes - 1) / hugePageBytes * hugePageBytes;
}
#endif

} // namespace

void PixelDeleter::operator()(std::uint8_t* p) const noexcept {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
    releaseImageMemory(budgeted);
#ifdef CHROMALOOM_MAP_LARGE_BUFFERS
    if (mappedBytes != 0) {
        if (!keepBlock(p, mappedBytes))
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
        const std::size_t length = mappedLength(bytes);
        void* block = mapAligned(length);
        if (block != nullptr && !commitPages(block, length)) {
            ::munmap(block, length);
            block = nullptr;
        }
        if (block != nullptr)
            ++kept.mapped;
        return PixelBuffer(static_cast<std::uint8_t*>(block), PixelDeleter{block != nullptr ? length : 0, 0});
    }
#endif
    const std::size_t size = std::max<std::size_t>(bytes, 1);
    void* block = fill == PixelFill::Zero ? std::calloc(size, 1) : std::malloc(size);
    return PixelBuffer(static_cast<std::uint8_t*>(block));
}

#ifdef CHROMALOOM_MAP_LARGE_BUFFERS
// A kept block for the request, already charged to the budget, or null when none has its length or the
// budget refuses the request while the block is held (the caller then asks as if nothing were kept).
PixelBuffer reuseBlock(std::size_t bytes, PixelFill fill) {
    if (bytes < mapFromBytes)
        return nullptr;
    const std::size_t length = mappedLength(bytes);
    void* block = takeKept(length);
    if (block == nullptr)
        return nullptr;
    try {
        reserveImageMemory(bytes);
    } catch (const std::bad_alloc&) {
        ::munmap(block, length);
        return nullptr;
    }
    ++kept.reused;
    if (fill == PixelFill::Zero)
        std::memset(block, 0, bytes);
    return PixelBuffer(static_cast<std::uint8_t*>(block), PixelDeleter{length, bytes});
}
#endif

} // namespace

PixelBuffer allocatePixels(std::size_t bytes, PixelFill fill) {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
#ifdef CHROMALOOM_MAP_LARGE_BUFFERS
    if (PixelBuffer reused = reuseBlock(bytes, fill))
        return reused;
#endif
    // A large block is judged and committed while no other run in the same memory group does the same.
    std::optional<GroupCommitLock> groupLock;
    if (bytes >= largeRequestBytes)
        groupLock.emplace();
    // Charged to the memory budget of all images first; the deleter gives the bytes back.
    reserveImageMemory(bytes);
    PixelBuffer block = obtainBlock(bytes, fill);
    if (block == nullptr && imageBytesKept() != 0) {
        // The system refused (an address-space limit, say): give back what is kept and ask once more.
        releaseKeptBuffers();
        block = obtainBlock(bytes, fill);
    }
    if (block == nullptr) {
        releaseImageMemory(bytes);
        throw std::bad_alloc();
    }
    block.get_deleter().budgeted = bytes;
    return block;
}

void setKeptBufferLimits(KeptBufferLimits limits) {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
#ifdef CHROMALOOM_MAP_LARGE_BUFFERS
    kept.limits = limits;
    const std::size_t countLimit = std::min(limits.count, maxKeptBuffers);
    while (kept.count > 0 && (kept.count > countLimit || kept.bytes > limits.bytes))
        giveBackOldest();
#else
    (void)limits;
#endif
}

KeptBufferLimits keptBufferLimits() {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
#ifdef CHROMALOOM_MAP_LARGE_BUFFERS
    return kept.limits;
#else
    return KeptBufferLimits{0, 0};
#endif
}

KeptBufferStats keptBufferStats() {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
#ifdef CHROMALOOM_MAP_LARGE_BUFFERS
    return KeptBufferStats{kept.count, kept.bytes, kept.reused, kept.mapped};
#else
    return KeptBufferStats{};
#endif
}

void releaseKeptBuffers() noexcept {
    std::lock_guard<std::recursive_mutex> hold(memoryMutex());
#ifdef CHROMALOOM_MAP_LARGE_BUFFERS
    while (kept.count > 0)
        giveBackOldest();
#endif
}

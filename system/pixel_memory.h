#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Pixel storage: one block per image from allocatePixels. A large block is mapped from the system directly;
// the deleter remembers its mapped length (0 for a block from the heap) and gives the block's bytes back to
// the memory budget of all images (system/memory_budget.h).
struct PixelDeleter {
    std::size_t mappedBytes = 0;
    std::size_t budgeted = 0;
    void operator()(std::uint8_t* p) const noexcept;
};
using PixelBuffer = std::unique_ptr<std::uint8_t[], PixelDeleter>;

enum class PixelFill {
    Zero,  // every byte 0
    Unset, // contents left as they come, for callers that write every byte before reading any
};

// A buffer of the given byte count: every image's pixels come from here. Throws std::bad_alloc when the
// memory cannot be obtained or the images held together would take more than the memory budget allows.
PixelBuffer allocatePixels(std::size_t bytes, PixelFill fill = PixelFill::Zero);

// Released buffers kept for reuse.
//
// The first write to a freshly mapped block costs the kernel a page fault and a cleared page for every
// page (on a virtual machine often a fault on the host as well), which for a 64 MiB image is as much as a
// whole verb. So a mapped block whose image is released is kept, up to a bound, and handed to the next
// request of the same mapped length (the byte count rounded up to 2 MiB): a script that reads, transforms
// and writes image after image of one size maps its blocks once. A block handed out again for
// PixelFill::Zero is cleared first; for PixelFill::Unset it holds the old pixels, which its caller
// overwrites, as it overwrites whatever a fresh block holds.
//
// The blocks kept count in the memory budget beside the live images (imageBytesKept), and they are all
// given back to the system before the budget refuses a request or a mapping fails, so a request is refused
// only when it would be refused with nothing kept. Heap blocks (below 2 MiB, and every block of the
// sanitizer builds, where an access past the end is caught) are never kept.
struct KeptBufferLimits {
    std::size_t count; // blocks kept at most; 0 keeps none
    std::size_t bytes; // mapped bytes kept at most; a larger block is given back at once
};

// The bound unless changed: four blocks, 256 MiB together (four 4096 x 4096 images).
inline constexpr KeptBufferLimits defaultKeptBufferLimits{4, std::size_t{256} << 20};

// No more than this many blocks are ever kept, whatever the limits say.
inline constexpr std::size_t maxKeptBuffers = 16;

// Replaces the bound for the rest of the process (for tests, and for comparing runs with and without
// reuse); blocks beyond the new bound are given back at once, the oldest first.
void setKeptBufferLimits(KeptBufferLimits limits);
KeptBufferLimits keptBufferLimits();

// What the store of released blocks holds and has done since the process started.
struct KeptBufferStats {
    std::size_t count = 0;    // blocks kept now
    std::size_t bytes = 0;    // their mapped bytes
    std::uint64_t reused = 0; // requests served by a kept block
    std::uint64_t mapped = 0; // blocks mapped from the system
};
KeptBufferStats keptBufferStats();

// Gives every kept block back to the system.
void releaseKeptBuffers() noexcept;

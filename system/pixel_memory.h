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

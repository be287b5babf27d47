#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <tiffio.h>

// What the TIFF reader and writer share in their dealings with libtiff: files held in memory, and handles
// opened so that the library prints nothing.

namespace tiffio {

// Bytes in memory whose room counts in the memory budget, for a whole file on its way in or out. Growing
// throws std::bad_alloc when the budget or the allocator refuses.
class BudgetedBytes {
public:
    BudgetedBytes() = default;
    ~BudgetedBytes();
    BudgetedBytes(const BudgetedBytes&) = delete;
    BudgetedBytes& operator=(const BudgetedBytes&) = delete;

    // Makes room for at least `capacity` bytes in all, keeping those held.
    void reserve(std::size_t capacity);
    // Sets the size, leaving new bytes unset, at least doubling the room when it must grow.
    void resize(std::size_t size);

    std::uint8_t* data() { return bytes.get(); }
    const std::uint8_t* data() const { return bytes.get(); }
    std::size_t size() const { return used; }

private:
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t used = 0;
    std::size_t room = 0;
};

// What the library reported about a handle: its warnings are dropped, and `error` tells whether it
// reported an error since the flag was last cleared.
struct Diagnostics {
    bool error = false;
};

struct TiffDeleter {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffDeleter>;

// Opens a file through the given procedures (no mapping; closing does nothing), with the library's
// messages going to `diagnostics` instead of the standard error. Null when the library refuses the file.
// Throws std::bad_alloc when the options cannot be allocated.
TiffPtr openSilently(const char* mode, thandle_t handle, TIFFReadWriteProc read, TIFFReadWriteProc write,
                     TIFFSeekProc seek, TIFFSizeProc size, Diagnostics& diagnostics);

// A new position for a seek within a file held in memory, as `whence` counts `offset` (a negative
// displacement comes as its two's complement) from 0, `position` or `size`; false when it would fall before
// the start or too far beyond anything a file can hold.
bool seekTarget(std::uint64_t position, std::uint64_t size, toff_t offset, int whence, std::uint64_t& target);

} // namespace tiffio

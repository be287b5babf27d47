#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// How much memory the pixels of all images together may take, so that a script that asks for more than
// the machine can give gets an out-of-memory error for one command instead of the process being ended
// from outside.
//
// The rule, for a request of R bytes while the live images hold H bytes:
//   1. H + R must not exceed the user's cap, CHROMALOOM_MEMORY_LIMIT (bytes; a K, M, G or T suffix counts
//      binary units), when it is set.
//   2. H + R must not exceed three quarters of the memory the process can have: the machine's physical
//      memory, or its container's limit when that is lower. The last quarter is left for the program
//      itself, the file cache and whatever else runs beside it.
//   3. For a large request (largeRequestBytes or more), R must also fit in what is free at that moment,
//      less a reserve of one sixteenth of that same memory: the machine's available memory, and the
//      container's limit less what the container uses (file cache that can be reclaimed not counted).
// A value that cannot be learned (no container limit, a file that cannot be read) does not restrict.
//
// Released pixel blocks kept for reuse (system/pixel_memory.h), K bytes, take room too: a request is first
// judged with H + K in place of H. When that refuses it, every kept block is given back to the system and
// the request is judged again with H alone (and, for a large one, the free memory read again), so the
// blocks kept never make a request fail that would succeed without them.

// The numbers the rule is computed from, all in bytes.
struct MemoryFacts {
    std::optional<std::uint64_t> physical;   // the machine's memory
    std::optional<std::uint64_t> groupLimit; // the lowest limit of the process's memory control group
    std::optional<std::uint64_t> groupFree;  // that group's limit less its use, for the tightest group
    std::optional<std::uint64_t> available;  // the machine's memory available without swapping
    std::optional<std::uint64_t> userLimit;  // CHROMALOOM_MEMORY_LIMIT
    std::string groupFolder;                 // the folder of the group that gives groupFree, if any
};

inline constexpr std::uint64_t largeRequestBytes = std::uint64_t{16} << 20;

// The most that all images together may hold under rules 1 and 2; none when nothing limits them.
std::optional<std::uint64_t> imageMemoryCap(const MemoryFacts& facts);

// Whether `request` more bytes of pixels may be allocated while `held` bytes are live.
bool imageMemoryAllowed(std::uint64_t held, std::uint64_t request, const MemoryFacts& facts);

// Reads the facts from the system under `root` ("/" normally; a test passes a folder laid out the same
// way): proc/meminfo, proc/self/cgroup and the memory control group files under sys/fs/cgroup, in either
// of their two layouts. The user's cap comes from `userLimitText`, the variable's value (null: not set).
MemoryFacts readMemoryFacts(const std::string& root, const char* userLimitText);

// A size as CHROMALOOM_MEMORY_LIMIT gives it: decimal digits, then nothing or B for bytes, or K, M, G or T
// for binary units (1024, 1024^2, ...), alone or followed by B or iB, in any letter case, with blanks
// around it allowed (" 2GiB", "512mb", "3G"). None for any other text, and for a size beyond 64 bits.
std::optional<std::uint64_t> parseByteSize(const char* text);

// The bytes of pixels live now, counted by allocatePixels and the pixel buffer's release, and those of
// MemoryReservation. Blocks kept for reuse are not among them.
std::uint64_t imageBytesHeld();

// The mapped bytes of the released blocks kept for reuse.
std::uint64_t imageBytesKept();

// Held while the budget or the blocks kept for reuse change, so that the threads working on one image
// together may take and give back buffers at the same time.
std::recursive_mutex& memoryMutex();

// Takes `bytes` from the budget, or throws std::bad_alloc when the rule refuses them even with every kept
// block given back. The facts that do not change are read once; a large request reads the free memory
// again.
void reserveImageMemory(std::size_t bytes);

// For the life of the object, no other run of the program in the same memory control group commits a large
// block. Taken before a large request is judged and held until its pages are committed, so that each run
// judges the group's free memory with the blocks of the others already counted in it: runs that share a
// group's limit then refuse what does not fit instead of all taking it and one being killed. Nothing is
// locked outside a group with a limit, or where the group's folder cannot be opened; a run that holds the
// lock for more than a few seconds (stopped, say) is waited for no longer.
class GroupCommitLock {
public:
    GroupCommitLock();
    ~GroupCommitLock();
    GroupCommitLock(const GroupCommitLock&) = delete;
    GroupCommitLock& operator=(const GroupCommitLock&) = delete;

private:
    int folder = -1;
};

// Gives back what reserveImageMemory took.
void releaseImageMemory(std::size_t bytes) noexcept;

// Counts a released block of `bytes` as kept for reuse, if the images held and the blocks kept stay within
// rules 1 and 2 with it; otherwise counts nothing and returns false, and the block is to be given back.
bool keepImageMemory(std::size_t bytes) noexcept;

// Takes a kept block's bytes off the count, when it is handed out again or given back to the system.
void unkeepImageMemory(std::size_t bytes) noexcept;

// Replaces the user's cap for the rest of the process (none: back to no cap), as if the variable had
// been set at start-up. For test harnesses that keep every input small.
void setImageMemoryLimit(std::optional<std::uint64_t> bytes);

// Memory that a codec library holds beside the images while it works on one (a decoder's whole-image
// buffers, an encoder's working copy), taken from the budget for the life of the object, so that a large
// picture is refused as out of memory instead of taking gigabytes the budget does not know of. Throws
// std::bad_alloc as reserveImageMemory does.
class MemoryReservation {
public:
    explicit MemoryReservation(std::size_t n) : bytes(n) {
        if (bytes > 0)
            reserveImageMemory(bytes);
    }
    ~MemoryReservation() {
        if (bytes > 0)
            releaseImageMemory(bytes);
    }
    MemoryReservation(const MemoryReservation&) = delete;
    MemoryReservation& operator=(const MemoryReservation&) = delete;

private:
    std::size_t bytes;
};

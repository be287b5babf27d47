#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Writing a file so that a failure never harms what was at its path.
//
// A regular file at the path (or at the end of a symbolic link there) is replaced only once the new file is
// complete: the bytes go to a temporary file in the same folder, which is renamed over the target on success
// and removed on failure, however the write ends (an error, or an exception such as running out of memory).
// The new file gets the mode of the file it replaces, and its owner and group where the process may set
// them, or the mode the umask leaves for a new file. A file with several names (hard links) is replaced for
// this name only; the others keep the older content. A file that exists but may not be written is refused,
// although renaming over it would work.
//
// Some files may be written but not replaced: a file in a folder where the user may not create files, a
// file in a sticky folder that belongs to another user, a file mounted on its own. Such a file is written
// in place, which is not all-or-nothing: a failure part way leaves it incomplete, and is reported as such.
// A target that exists and is not a regular file (a device, a pipe) is written in place too.
//
// Symbolic links are followed by the kernel, folder by folder, so that the path they spell may be of any
// length.

enum class ReplaceResult {
    Ok,                 // the file is complete at the path
    CannotOpen,         // no file could be created (or the target may not be written); nothing was touched
    CannotWrite,        // a write, the close or the final rename failed; nothing was left at the path
    CannotWriteInPlace, // a file that could only be written in place failed part way: it is incomplete
};

// Writes the file at `path` with `produce`, which is given an open descriptor, writes the whole content to
// it and returns whether every write succeeded. On failure `error`, when given, receives the system's error
// number of the step that failed (0 when there is none to tell).
ReplaceResult replaceFile(const char* path, const std::function<bool(int fd)>& produce, int* error = nullptr);

// Writes all `size` bytes to fd, retrying after interruptions. False on any error (a full disk, a file-size
// limit, a pipe without a reader...).
bool writeAll(int fd, const std::uint8_t* data, std::size_t size);

// Output to a descriptor through a buffer, so that an encoder can produce its bytes in pieces of any size.
// The first failed write is remembered; every later call does nothing, and flush reports it.
class OutputBuffer {
public:
    OutputBuffer(int fd, std::size_t capacity);

    // A place for the next n bytes (n at most the capacity), written there by the caller and then counted
    // with commit(n). Null after a failed write.
    std::uint8_t* room(std::size_t n);
    void commit(std::size_t n) { used += n; }

    // Copies n bytes of any length.
    void put(const void* bytes, std::size_t n);

    // Writes what is buffered. False when this or any earlier write failed.
    bool flush();

    std::size_t capacity() const { return buffer.size(); }

private:
    int fd;
    std::vector<std::uint8_t> buffer;
    std::size_t used = 0;
    bool failed = false;
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// The bytes of an input file in order, from memory or from an open file descriptor read in large blocks.
// Every decoder reads through one of these; the first bytes can be looked at before any is consumed, so
// that a file's format can be told from its content even when it comes from a pipe.
//
// A read error on the file ends the data as its end does; failed() tells the two apart afterwards, so that a
// file that could not be read is never taken for one that is merely short.
class ByteSource {
public:
    // Bytes held in memory; skipping forward always succeeds there, as it does on a seekable file.
    ByteSource(const std::uint8_t* data, std::size_t size);
    // An open file descriptor, read in blocks. `seekable` says whether the file allows skipping forward.
    ByteSource(int fd, bool seekable);
    ~ByteSource();
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // The largest number of bytes peek can make available at once.
    static constexpr std::size_t peekLimit = std::size_t{1} << 16;

    // Buffers the next n bytes (at most peekLimit) without consuming them, as far as the data holds them.
    // Returns how many are available at data(), which may be more or fewer than n.
    std::size_t peek(std::size_t n);

    // Copies the next n bytes to out. False when fewer than n bytes remain (they are all consumed).
    bool readExactly(std::uint8_t* out, std::size_t n);

    // Moves n bytes forward, reading them when the file cannot seek. Past the end of a seekable file (or of
    // bytes in memory) that is not a failure, as a seek past the end is not (the reads that follow find
    // nothing); a stream that cannot seek, such as a pipe, fails when it ends first.
    bool skip(std::size_t n);

    // For reading many bytes at once: the bytes buffered now, refilling first when none are. 0 only
    // once the data has ended. The caller reads them at data() and consumes them with advance().
    std::size_t available() {
        if (pos == end)
            refill();
        return static_cast<std::size_t>(end - pos);
    }
    const std::uint8_t* data() const { return pos; }
    void advance(std::size_t n) { pos += n; }

    // Whether a read of the file failed (rather than found its end), and the system's error number then.
    bool failed() const { return readError != 0; }
    int error() const { return readError; }

    // The bytes not yet consumed, when they can be known (bytes in memory, a regular file); otherwise the
    // largest number there is.
    std::uint64_t knownRemaining() const;

private:
    // Refills the block buffer, keeping the bytes not yet consumed. False when nothing new arrived.
    bool refill();

    const std::uint8_t* pos;
    const std::uint8_t* end;
    int fd = -1;
    bool seekable = true;
    bool atEnd = false;             // the file has no more bytes to give
    int readError = 0;              // the error number of a read that failed
    std::uint64_t fileSize = 0;     // of a regular file; 0 when not known
    std::uint64_t readFromFile = 0; // bytes read from the descriptor so far
    std::unique_ptr<std::uint8_t[]> block;
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// The bytes of a TGA file in order, from memory or from an open file read in large blocks.
//
// A file may end anywhere. Every reader of bytes goes through here, and this is the one place that says
// what a byte past the end of the data is:
//   - readExactly and skip report it, so that the header and colour map can be rejected;
//   - value() gives 0 for a pixel value that is cut short, even when some of its bytes were present;
//   - packetHeader() gives 1 for a missing run-length packet header (a raw packet of two values).
// A read error on the file counts as the end of the data.
class ByteSource {
public:
    // Bytes held in memory; skipping forward always succeeds there, as it does on a seekable file.
    ByteSource(const std::uint8_t* data, std::size_t size);
    // An open file descriptor, read in blocks. `seekable` says whether the file allows skipping forward.
    ByteSource(int fd, bool seekable);
    ~ByteSource();
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // Copies the next n bytes to out. False when fewer than n bytes remain (they are all consumed).
    bool readExactly(std::uint8_t* out, std::size_t n);

    // Moves n bytes forward. Past the end of the data that is not a failure (the reads that follow
    // find nothing); only a file that cannot seek refuses, as a pipe does.
    bool skip(std::size_t n);

    // The next pixel value of n bytes (1 or more), little-endian; bytes beyond the fourth are read and
    // dropped. A value cut short by the end of the data is 0.
    std::uint32_t value(unsigned n) {
        if (static_cast<std::size_t>(end - pos) >= n) {
            std::uint32_t v = 0;
            const unsigned kept = n < 4 ? n : 4;
            for (unsigned i = 0; i < kept; ++i)
                v |= std::uint32_t{pos[i]} << (8 * i);
            pos += n;
            return v;
        }
        return valueAcrossBlocks(n);
    }

    // The next run-length packet header, or 1 when the data has ended.
    std::uint8_t packetHeader() {
        if (pos != end)
            return *pos++;
        std::uint8_t header = 0;
        return readExactly(&header, 1) ? header : 1;
    }

    // For reading many values at once: the bytes buffered now, refilling first when none are. 0 only
    // once the data has ended. The caller reads them at data() and consumes them with advance().
    std::size_t available() {
        if (pos == end)
            refill();
        return static_cast<std::size_t>(end - pos);
    }
    const std::uint8_t* data() const { return pos; }
    void advance(std::size_t n) { pos += n; }

private:
    std::uint32_t valueAcrossBlocks(unsigned n);
    // Refills the block buffer, keeping the bytes not yet consumed. False when nothing new arrived.
    bool refill();

    const std::uint8_t* pos;
    const std::uint8_t* end;
    int fd = -1;
    bool seekable = true;
    bool atEnd = false; // the file has no more bytes to give
    std::unique_ptr<std::uint8_t[]> block;
};

#include "system/byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t blockSize = std::size_t{1} << 20;

} // namespace

ByteSource::ByteSource(const std::uint8_t* data, std::size_t size)
    : pos(data), end(data + size), atEnd(true) {}

ByteSource::ByteSource(int file, bool canSeek)
    : pos(nullptr), end(nullptr), fd(file), seekable(canSeek), block(new std::uint8_t[blockSize]) {
    pos = end = block.get();
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (at >= 0 && info.st_size >= at)
            fileSize = static_cast<std::uint64_t>(info.st_size - at);
    }
}

std::uint64_t ByteSource::knownRemaining() const {
    const auto buffered = static_cast<std::uint64_t>(end - pos);
    if (block == nullptr)
        return buffered;
    if (fileSize == 0)
        return UINT64_MAX;
    return fileSize - std::min(fileSize, readFromFile) + buffered;
}

ByteSource::~ByteSource() = default;

bool ByteSource::refill() {
    if (atEnd)
        return false;
    const std::size_t kept = static_cast<std::size_t>(end - pos);
    std::memmove(block.get(), pos, kept);
    pos = block.get();
    end = pos + kept;
    for (;;) {
        const ssize_t got = ::read(fd, block.get() + kept, blockSize - kept);
        if (got > 0) {
            end += got;
            readFromFile += static_cast<std::uint64_t>(got);
            return true;
        }
        if (got < 0 && errno == EINTR)
            continue;
        // A folder reads as an empty file (the readers then find no header), as it always has.
        if (got < 0 && errno != EISDIR)
            readError = errno;
        atEnd = true;
        return false;
    }
}

std::size_t ByteSource::peek(std::size_t n) {
    n = std::min(n, peekLimit);
    while (static_cast<std::size_t>(end - pos) < n && refill()) {
    }
    return static_cast<std::size_t>(end - pos);
}

bool ByteSource::readExactly(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
        if (pos == end && !refill())
            return false;
        const std::size_t take = std::min(n, static_cast<std::size_t>(end - pos));
        std::memcpy(out, pos, take);
        pos += take;
        out += take;
        n -= take;
    }
    return true;
}

bool ByteSource::skip(std::size_t n) {
    while (n > 0) {
        if (pos == end && !refill())
            return seekable; // a seekable file may be skipped past its end; a stream has really ended
        const std::size_t take = std::min(n, static_cast<std::size_t>(end - pos));
        pos += take;
        n -= take;
    }
    return true;
}

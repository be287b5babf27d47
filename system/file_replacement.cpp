#include "system/file_replacement.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int maxLinkHops = 40;
constexpr std::size_t linkTextLimit = 4096;

// An open file descriptor, closed at the end of its scope unless closed before.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    ~FileDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    // Closes now and tells whether the close succeeded (a delayed write error shows up here).
    bool close() {
        const int closing = fd;
        fd = -1;
        return ::close(closing) == 0;
    }

private:
    int fd;
};

// The name of a temporary file that exists, removed at the end of its scope unless committed by renaming
// it over its target.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string pathOfCreatedFile) : path(std::move(pathOfCreatedFile)) {}
    ~TemporaryFile() {
        if (!committed)
            ::unlink(path.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool renameTo(const std::string& target) {
        committed = ::rename(path.c_str(), target.c_str()) == 0;
        return committed;
    }

private:
    std::string path;
    bool committed = false;
};

// Follows symbolic links from path to the file they finally name, which need not exist yet. False when
// the links loop or cannot be read.
bool followLinks(std::string& path) {
    for (int hop = 0; hop < maxLinkHops; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return true;
        std::vector<char> text(linkTextLimit + 1);
        const ssize_t length = ::readlink(path.c_str(), text.data(), text.size());
        if (length < 0 || static_cast<std::size_t>(length) >= text.size())
            return false;
        const std::string link(text.data(), static_cast<std::size_t>(length));
        const std::size_t slash = path.rfind('/');
        if (link.starts_with('/') || slash == std::string::npos)
            path = link;
        else
            path = path.substr(0, slash + 1) + link;
    }
    return false;
}

// The name of the temporary file beside target: target's name followed by a unique suffix. A name near
// the longest a folder entry may have is shortened first, so that every name that can be written can
// also be written through a temporary file.
std::string temporaryName(const std::string& target) {
    constexpr char suffix[] = ".tmpXXXXXX";
    constexpr std::size_t suffixLength = sizeof suffix - 1;
    const std::size_t slash = target.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t nameLength = target.size() - nameStart;
    const std::size_t keep = std::min(nameLength, std::size_t{NAME_MAX} - suffixLength);
    return target.substr(0, nameStart + keep) + suffix;
}

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// A target that is not a regular file (a device, a pipe) cannot be replaced: it is opened and written.
ReplaceResult writeInPlace(const std::string& target, const std::function<bool(int fd)>& produce) {
    FileDescriptor file(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file.isOpen())
        return ReplaceResult::CannotOpen;
    const bool written = produce(file.get());
    const bool closed = file.close();
    return written && closed ? ReplaceResult::Ok : ReplaceResult::CannotWrite;
}

} // namespace

ReplaceResult replaceFile(const char* path, const std::function<bool(int fd)>& produce) {
    std::string target = path;
    if (target.empty() || !followLinks(target))
        return ReplaceResult::CannotOpen;

    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode))
        return writeInPlace(target, produce);
    // Replacing a file by rename needs no write access to the file itself; keep refusing a file that
    // could not be opened for writing.
    if (exists && ::access(target.c_str(), W_OK) != 0)
        return ReplaceResult::CannotOpen;

    // The new file is built beside the target, so that the rename that replaces it is atomic and a failed
    // write never leaves a partial file at the path or harms the file that stood there. Whatever ends the
    // write (an error, or an exception from the producer), the descriptor is closed and the temporary file
    // removed unless the rename has committed it.
    std::string name = temporaryName(target);
    FileDescriptor file(::mkostemp(name.data(), O_CLOEXEC));
    if (!file.isOpen())
        return ReplaceResult::CannotOpen;
    TemporaryFile temporary(name);
    (void)::fchmod(file.get(), exists ? (existing.st_mode & 07777) : newFileMode());
    const bool written = produce(file.get());
    const bool closed = file.close();
    if (!written || !closed || !temporary.renameTo(target))
        return ReplaceResult::CannotWrite;
    return ReplaceResult::Ok;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return false; // EFBIG, EPIPE, ENOSPC, EIO...: the caller discards the file
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

OutputBuffer::OutputBuffer(int descriptor, std::size_t capacity) : fd(descriptor), buffer(capacity) {}

std::uint8_t* OutputBuffer::room(std::size_t n) {
    if (buffer.size() - used < n && !flush())
        return nullptr;
    return failed ? nullptr : buffer.data() + used;
}

void OutputBuffer::put(const void* bytes, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    while (n > 0 && !failed) {
        if (used == buffer.size())
            flush();
        const std::size_t take = std::min(n, buffer.size() - used);
        std::memcpy(buffer.data() + used, p, take);
        used += take;
        p += take;
        n -= take;
    }
}

bool OutputBuffer::flush() {
    if (!failed && used > 0)
        failed = !writeAll(fd, buffer.data(), used);
    used = 0;
    return !failed;
}

#include "system/file_replacement.h"

#include "system/interruption.h"
#include "system/standard_output.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr int maxLinkHops = 40;
constexpr int temporaryNameTries = 100;
constexpr std::size_t copyBufferSize = std::size_t{1} << 20;

// An open file descriptor, closed at the end of its scope unless closed before. A descriptor of
// AT_FDCWD stands for the working directory and is never closed.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor = -1) : fd(descriptor) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0 || fd == AT_FDCWD; }
    void reset(int descriptor = -1) {
        if (fd >= 0)
            ::close(fd);
        fd = descriptor;
    }
    // Closes now and tells whether the close succeeded (a delayed write error shows up here).
    bool close() {
        const int closing = fd;
        fd = -1;
        return ::close(closing) == 0;
    }

private:
    int fd;
};

// Where a file goes: an open folder and the file's name in it. Working relative to the folder's descriptor,
// not to a path joined as text, keeps every later step on the same folder and lets the kernel follow the
// links on the way, however long the path they spell would be.
struct Place {
    FileDescriptor folder{AT_FDCWD};
    std::string name;
};

// Splits `path` at its last slash: the folder part is opened (relative to place.folder) and the name kept.
bool enterFolder(const std::string& path, Place& place) {
    const std::size_t slash = path.rfind('/');
    place.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (place.name.empty())
        return false; // a path that ends in a slash names a folder
    if (slash == std::string::npos)
        return true;
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::openat(place.folder.get(), folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    place.folder.reset(fd);
    return true;
}

// The text of the symbolic link `name` in `folder`, of any length.
bool readLink(int folder, const std::string& name, std::size_t sizeHint, std::string& text) {
    std::size_t room = std::max<std::size_t>(sizeHint, 255) + 1;
    for (;;) {
        text.resize(room);
        const ssize_t length = ::readlinkat(folder, name.c_str(), text.data(), room);
        if (length < 0)
            return false;
        if (static_cast<std::size_t>(length) < room) {
            text.resize(static_cast<std::size_t>(length));
            return true;
        }
        room *= 2;
    }
}

// Follows symbolic links from `path` to the file they finally name, which need not exist yet. False when
// a folder on the way cannot be opened, the name is a folder's, or the links loop.
bool resolvePlace(const char* path, Place& place) {
    std::string current = path;
    for (int hop = 0; hop < maxLinkHops; ++hop) {
        if (current.empty() || !enterFolder(current, place))
            return false;
        struct stat info {};
        if (::fstatat(place.folder.get(), place.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(info.st_mode))
            return true;
        if (!readLink(place.folder.get(), place.name, static_cast<std::size_t>(info.st_size), current))
            return false;
    }
    return false;
}

// The name of the temporary file beside `target`: target's name, then ".tmp" and six letters. A name near
// the longest a folder entry may have is shortened first, so that every name that can be written can also
// be written through a temporary file.
std::string temporaryName(const std::string& target, unsigned serial) {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix = ".tmp";
    for (int i = 0; i < 6; ++i, serial /= 62)
        suffix += letters[serial % 62];
    const std::size_t keep = std::min(target.size(), std::size_t{NAME_MAX} - suffix.size());
    return target.substr(0, keep) + suffix;
}

unsigned temporarySeed() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<unsigned>(now.tv_nsec) ^ (static_cast<unsigned>(::getpid()) << 12);
}

// Whether files are synced to the disk before they take their name (CHROMALOOM_NO_FSYNC=1 turns it off,
// for scratch work where speed matters more than surviving a power loss).
bool syncing() {
    static const bool enabled = [] {
        const char* value = std::getenv("CHROMALOOM_NO_FSYNC");
        return value == nullptr || std::strcmp(value, "1") != 0;
    }();
    return enabled;
}

// Syncs a folder's entries, so that a name just given survives a power loss. Best effort: the file itself
// is complete and in place whatever this gives.
void syncFolder(int folder) {
    if (!syncing())
        return;
    FileDescriptor opened(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.isOpen())
        (void)::fsync(opened.get());
}

// Gives the open file `fd` (made without a name) the name `name` in `folder`. False with errno set; EEXIST
// when the name is taken.
bool linkUnnamed(int fd, int folder, const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != ENOENT)
        return false;
    // Without /proc, the descriptor itself (a privilege some systems require).
    return ::linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0;
}

// The new file, written beside the target. Where the file system allows, it is made without a name
// (O_TMPFILE) and named only once complete, so that a process killed while writing (SIGKILL included)
// leaves nothing behind; elsewhere it has a temporary name from the start. A named temporary file is
// removed at the end of its scope (or by an interrupting signal, see system/interruption.h) unless
// committed by renaming it over its target.
class TemporaryFile {
public:
    TemporaryFile(const Place& p) : place(p) {}
    ~TemporaryFile() {
        if (!name.empty() && !committed) {
            const InterruptionsHeld held;
            ::unlinkat(place.folder.get(), name.c_str(), 0);
            forgetTemporaryFile();
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates the file; returns its descriptor, or -1 with errno set. Interrupting signals wait while a
    // named file and its record come into being together.
    int create() {
        const int unnamedFd = ::openat(place.folder.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (unnamedFd >= 0) {
            unnamed = true;
            return unnamedFd;
        }
        return createNamed();
    }

    // Gives the complete file `fd` its place at the target: an unnamed file is linked to the target's
    // name when nothing is there, else to a temporary name first; then the temporary name is renamed over
    // the target. False with errno set. `fd` stays open; `close` is called on it before the rename, so
    // that a delayed write error stops the replacement.
    bool commit(int fd, bool exists, const std::function<bool()>& close) {
        if (unnamed) {
            if (!exists) {
                const InterruptionsHeld held;
                if (linkUnnamed(fd, place.folder.get(), place.name)) {
                    if (close())
                        return committed = true;
                    const int error = errno;
                    ::unlinkat(place.folder.get(), place.name.c_str(), 0);
                    errno = error;
                    return false;
                }
                if (errno != EEXIST)
                    return false;
            }
            if (!nameUnnamed(fd))
                return false;
        }
        if (!close())
            return false;
        const InterruptionsHeld held;
        committed = ::renameat(place.folder.get(), name.c_str(), place.folder.get(), place.name.c_str()) == 0;
        if (committed)
            forgetTemporaryFile();
        return committed;
    }

    const std::string& fileName() const { return name; }

private:
    int createNamed() {
        unsigned serial = temporarySeed();
        for (int attempt = 0; attempt < temporaryNameTries; ++attempt, serial = serial * 2654435761u + 1) {
            const std::string candidate = temporaryName(place.name, serial);
            const InterruptionsHeld held;
            const int fd =
                ::openat(place.folder.get(), candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd >= 0) {
                name = candidate;
                recordTemporaryFile(place.folder.get(), name.c_str());
                return fd;
            }
            if (errno != EEXIST)
                return -1;
        }
        errno = EEXIST;
        return -1;
    }

    // Links the unnamed file to a fresh temporary name, recorded as a named one is.
    bool nameUnnamed(int fd) {
        unsigned serial = temporarySeed();
        for (int attempt = 0; attempt < temporaryNameTries; ++attempt, serial = serial * 2654435761u + 1) {
            const std::string candidate = temporaryName(place.name, serial);
            const InterruptionsHeld held;
            if (linkUnnamed(fd, place.folder.get(), candidate)) {
                name = candidate;
                recordTemporaryFile(place.folder.get(), name.c_str());
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        errno = EEXIST;
        return false;
    }

    const Place& place;
    std::string name;
    bool unnamed = false;
    bool committed = false;
};

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Writes a target opened in place (`descriptor`, -1 when the open failed) with `produce`. Not
// all-or-nothing: a failure part way leaves the target incomplete, reported as `failure`.
ReplaceResult writeOpened(int descriptor, const std::function<bool(int fd)>& produce, ReplaceResult failure,
                          int& error) {
    FileDescriptor file(descriptor);
    if (!file.isOpen())
        return error = errno, ReplaceResult::CannotOpen;
    const bool written = produce(file.get());
    const bool closed = file.close();
    if (written && !closed)
        error = errno;
    return written && closed ? ReplaceResult::Ok : failure;
}

// Opens the target itself, emptied, and writes it.
ReplaceResult writeInPlace(const Place& place, const std::function<bool(int fd)>& produce,
                           ReplaceResult failure, int& error) {
    return writeOpened(
        ::openat(place.folder.get(), place.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666),
        produce, failure, error);
}

// Copies the complete temporary file into the target in place, for a target that may be written but not
// replaced.
ReplaceResult copyInPlace(const Place& place, const std::string& temporary, int& error) {
    FileDescriptor from(::openat(place.folder.get(), temporary.c_str(), O_RDONLY | O_CLOEXEC));
    if (!from.isOpen())
        return error = errno, ReplaceResult::CannotWrite;
    const auto copy = [&from, &error](int to) {
        std::string buffer(copyBufferSize, '\0');
        for (;;) {
            const ssize_t got = ::read(from.get(), buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                if (got < 0)
                    error = errno;
                return got == 0;
            }
            if (!writeAll(to, reinterpret_cast<const std::uint8_t*>(buffer.data()),
                          static_cast<std::size_t>(got))) {
                error = errno;
                return false;
            }
        }
    };
    return writeInPlace(place, copy, ReplaceResult::CannotWriteInPlace, error);
}

// The refusals that mean "you may not replace this file here", as opposed to a failing disk: a folder the
// user may not create files in, a sticky folder guarding another user's file, a file mounted on its own.
bool refusedReplacement(int error) {
    return error == EACCES || error == EPERM || error == EBUSY || error == EXDEV || error == EROFS;
}

// The mode of the new file: that of the file it replaces, and its owner and group where the process may
// set them (the umask applies only to files that did not exist).
// Copies the extended attributes of the file `from` (a path) to the open file `to`: user attributes,
// access control lists (system.posix_acl_access) and whatever else the process may set. Best effort, as
// the owner is: an attribute that may not be set is left out.
void copyExtendedAttributes(const std::string& from, int to) {
    const ssize_t listed = ::llistxattr(from.c_str(), nullptr, 0);
    if (listed <= 0)
        return;
    std::string names(static_cast<std::size_t>(listed), '\0');
    const ssize_t got = ::llistxattr(from.c_str(), names.data(), names.size());
    if (got <= 0)
        return;
    names.resize(static_cast<std::size_t>(got));
    std::string value;
    for (std::size_t at = 0; at < names.size();) {
        const std::string attribute = names.c_str() + at;
        at += attribute.size() + 1;
        const ssize_t size = ::lgetxattr(from.c_str(), attribute.c_str(), nullptr, 0);
        if (size < 0)
            continue;
        value.resize(static_cast<std::size_t>(size));
        const ssize_t read = ::lgetxattr(from.c_str(), attribute.c_str(), value.data(), value.size());
        if (read < 0)
            continue;
        (void)::fsetxattr(to, attribute.c_str(), value.data(), static_cast<std::size_t>(read), 0);
    }
}

void keepWhatTheFileWas(int fd, const Place& place, bool exists, const struct stat& existing) {
    if (exists) {
        (void)::fchown(fd, existing.st_uid, existing.st_gid); // refused to an ordinary user: kept as is
        copyExtendedAttributes("/proc/self/fd/" + std::to_string(place.folder.get()) + "/" + place.name, fd);
        (void)::fchmod(fd, existing.st_mode & 07777);
    } else {
        (void)::fchmod(fd, newFileMode());
    }
}

// A target that exists and is not a regular file (a device, a pipe, a FIFO, also when named through
// /proc/self/fd or /dev/fd) is opened as the kernel finds it and written there.
ReplaceResult writeToExisting(const char* path, const std::function<bool(int fd)>& produce, int& error) {
    return writeOpened(::open(path, O_WRONLY | O_CLOEXEC), produce, ReplaceResult::CannotWrite, error);
}

} // namespace

ReplaceResult replaceFile(const char* path, const std::function<bool(int fd)>& produce, int* error) {
    // Every failure leaves its error number here; `errno` is read at once, before anything can change it.
    int failed = 0;
    const auto outcome = [&](ReplaceResult result) {
        if (error != nullptr)
            *error = result == ReplaceResult::Ok ? 0 : failed;
        return result;
    };
    const std::function<bool(int)> producing = [&](int fd) {
        errno = 0;
        const bool written = produce(fd);
        if (!written)
            failed = errno;
        return written;
    };
    if (namesStandardOutput(path)) {
        // The program's own standard output, at its current place; what was printed before comes first.
        std::fflush(stdout);
        return outcome(producing(standardOutputForFiles()) ? ReplaceResult::Ok : ReplaceResult::CannotWrite);
    }
    struct stat found {};
    if (::stat(path, &found) == 0 && !S_ISREG(found.st_mode) && !S_ISDIR(found.st_mode))
        return outcome(writeToExisting(path, producing, failed));
    Place place;
    if (!resolvePlace(path, place))
        return failed = errno, outcome(ReplaceResult::CannotOpen);
    // A name no folder entry can hold: nothing can be opened under it (the temporary file's shortened
    // name could, and the failure would come only at the end).
    if (place.name.size() > NAME_MAX)
        return failed = ENAMETOOLONG, outcome(ReplaceResult::CannotOpen);
    struct stat existing {};
    const bool exists = ::fstatat(place.folder.get(), place.name.c_str(), &existing, 0) == 0;
    if (exists && !S_ISREG(existing.st_mode))
        return outcome(writeInPlace(place, producing, ReplaceResult::CannotWrite, failed));
    // Replacing a file by rename needs no write access to the file itself; keep refusing a file that
    // could not be opened for writing.
    if (exists && ::faccessat(place.folder.get(), place.name.c_str(), W_OK, 0) != 0)
        return failed = errno, outcome(ReplaceResult::CannotOpen);

    // The new file is built beside the target, so that the rename that replaces it is atomic and a failed
    // write never leaves a partial file at the path or harms the file that stood there. Whatever ends the
    // write (an error, an exception from the producer, an interrupting signal), the descriptor is closed and
    // the temporary file removed unless the rename has committed it.
    TemporaryFile temporary(place);
    FileDescriptor file(temporary.create());
    if (!file.isOpen()) {
        failed = errno;
        if (exists && refusedReplacement(failed)) // it may be written, though not replaced
            return outcome(writeInPlace(place, producing, ReplaceResult::CannotWriteInPlace, failed));
        return outcome(ReplaceResult::CannotOpen);
    }
    keepWhatTheFileWas(file.get(), place, exists, existing);
    if (!producing(file.get()))
        return outcome(ReplaceResult::CannotWrite);
    // The content reaches the disk before the name does, so that after a power loss the name never
    // points to an empty or partial file.
    if (syncing() && ::fsync(file.get()) != 0)
        return failed = errno, outcome(ReplaceResult::CannotWrite);
    if (temporary.commit(file.get(), exists, [&file] { return file.close(); })) {
        syncFolder(place.folder.get());
        return outcome(ReplaceResult::Ok);
    }
    failed = errno;
    if (failed == ENAMETOOLONG)
        return outcome(ReplaceResult::CannotOpen);
    if (exists && refusedReplacement(failed))
        return outcome(copyInPlace(place, temporary.fileName(), failed));
    return outcome(ReplaceResult::CannotWrite);
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

// A preloaded library for the tests: read() of one file fails with EIO once a given number of its bytes has
// been read, as a failing disk does. CHROMALOOM_READ_FAULT_PATH names the file and
// CHROMALOOM_READ_FAULT_AFTER the bytes that read as usual; every other descriptor reads as usual.

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using ReadFunction = ssize_t (*)(int, void*, size_t);

bool isTheFile(int fd, const char* path) {
    struct stat open {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::stat(path, &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

} // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    static const auto realRead = reinterpret_cast<ReadFunction>(::dlsym(RTLD_NEXT, "read"));
    const char* path = std::getenv("CHROMALOOM_READ_FAULT_PATH");
    const char* after = std::getenv("CHROMALOOM_READ_FAULT_AFTER");
    if (path != nullptr && after != nullptr && isTheFile(fd, path)) {
        const off_t position = ::lseek(fd, 0, SEEK_CUR);
        const off_t limit = std::atol(after);
        if (position >= limit) {
            errno = EIO;
            return -1;
        }
        if (static_cast<off_t>(count) > limit - position)
            count = static_cast<size_t>(limit - position);
    }
    return realRead(fd, buffer, count);
}

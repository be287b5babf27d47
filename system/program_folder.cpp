#include "system/program_folder.h"

#include <climits>
#include <unistd.h>

std::string programFolder() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
    // A result that fills the buffer may have been cut short; a path that short is not trusted either.
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path)
        return {};
    std::string folder(path, static_cast<std::size_t>(n));
    const std::size_t slash = folder.rfind('/');
    if (slash == std::string::npos)
        return {};
    folder.resize(slash == 0 ? 1 : slash);
    return folder;
}

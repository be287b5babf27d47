#include "system/standard_output.h"

#include <cstring>
#include <initializer_list>
#include <unistd.h>

namespace {

int outputForFiles = STDOUT_FILENO;

} // namespace

void setStandardOutputForFiles(int fd) {
    outputForFiles = fd;
}

int standardOutputForFiles() {
    return outputForFiles;
}

bool namesStandardOutput(const char* path) {
    for (const char* name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"})
        if (std::strcmp(path, name) == 0)
            return true;
    return false;
}

bool namesStandardInput(const char* path) {
    for (const char* name : {"/dev/stdin", "/dev/fd/0", "/proc/self/fd/0"})
        if (std::strcmp(path, name) == 0)
            return true;
    return false;
}

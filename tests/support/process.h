#pragma once

#include "system/sanitizers.h"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

// Paths fixed at build time: the program under test and the root of the source tree.
std::filesystem::path chromaloomPath();
std::filesystem::path sourceDir();

// A fresh directory under the system's temporary folder, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return dir; }
    std::filesystem::path operator/(const std::string& name) const { return dir / name; }

private:
    std::filesystem::path dir;
};

struct RunOptions {
    std::filesystem::path program;           // the program to run; empty: the one built
    std::vector<std::string> args;           // command-line arguments after the program name
    std::filesystem::path workDir;           // working directory; empty: the test's own
    std::optional<std::string> stdinData;    // standard input; none: /dev/null
    std::filesystem::path stdinPath;         // or standard input opened from this path
    std::optional<rlim_t> fileSizeLimit;     // RLIMIT_FSIZE in bytes (SIGXFSZ left as it is by default)
    std::optional<rlim_t> addressSpaceLimit; // RLIMIT_AS in bytes
    std::optional<mode_t> fileModeMask;      // the umask
    // Run as an unprivileged user, so that permission checks apply: when the test runs as root, the child
    // drops to `nobody` before it starts the program, and exits with cannotDropPrivileges where it cannot.
    bool runAsNobody = false;
    std::optional<rlim_t> descriptorLimit; // RLIMIT_NOFILE: open files at once
    std::filesystem::path stdoutPath;      // standard output opened for writing on this path instead
    bool stdoutClosed = false;             // or started with standard output closed
    unsigned alarmSeconds = 0;             // stopped from outside by SIGALRM after this long; 0: never
    std::vector<std::pair<std::string, std::string>> environment; // variables set for the program
};

constexpr int cannotDropPrivileges = 125;

struct RunResult {
    std::string output; // everything written to standard output
    int status = -1;    // exit status, or 128 + signal number when killed by a signal
    std::string errors; // everything written to standard error (also passed on to the test's own)
    long maxRssKb = 0;  // the program's peak resident memory
};

// Runs the built program and waits for it.
RunResult runChromaloom(const RunOptions& options);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// What a script's lines printed: the output without the two lines the program prints before the first
// line ("Chromaloom" and "Opening script file ..."), which the script cases under tests/e2e/ pin.
std::string afterStartUp(const std::string& output);

// The names of the entries of a folder, sorted: what a run left behind.
std::vector<std::string> namesIn(const std::filesystem::path& dir);

// What the program printed for script line `line` after "Error (line N): ", or "" when it printed no error
// for that line. Tests compare two lines' messages with it where the exact text is pinned by a script case
// under tests/e2e/.
std::string errorMessageOfLine(const std::string& output, int line);

// The address and thread sanitizers reserve far more address space than any limit, so limits on it cannot
// be tested in their builds.
#if CHROMALOOM_ADDRESS_SANITIZER || CHROMALOOM_THREAD_SANITIZER
constexpr bool addressSpaceCanBeLimited = false;
#else
constexpr bool addressSpaceCanBeLimited = true;
#endif

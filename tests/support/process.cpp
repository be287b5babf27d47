#include "tests/support/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <iostream>
#include <iterator>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

fs::path chromaloomPath() {
    return CHROMALOOM_BINARY;
}

fs::path sourceDir() {
    return CHROMALOOM_SOURCE_DIR;
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "chromaloom-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string afterStartUp(const std::string& output) {
    const std::size_t first = output.find('\n');
    const std::size_t second = first == std::string::npos ? first : output.find('\n', first + 1);
    return second == std::string::npos ? "" : output.substr(second + 1);
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string errorMessageOfLine(const std::string& output, int line) {
    const std::string lines = '\n' + output;
    const std::string prefix = "\nError (line " + std::to_string(line) + "): ";
    const std::size_t at = lines.find(prefix);
    if (at == std::string::npos)
        return "";
    const std::size_t start = at + prefix.size();
    return lines.substr(start, lines.find('\n', start) - start);
}

RunResult runChromaloom(const RunOptions& options) {
    // Standard input comes from a file, so that a long script can never fill a pipe while the program's
    // own output fills the other one.
    TempDir inputDir;
    fs::path inputPath = options.stdinPath.empty() ? fs::path("/dev/null") : options.stdinPath;
    if (options.stdinData) {
        inputPath = inputDir / "stdin";
        writeFile(inputPath, *options.stdinData);
    }
    std::string program = options.program.empty() ? chromaloomPath().string() : options.program.string();
    // The unprivileged user may not reach the build folder (a clone in root's home, say): it runs a copy of
    // the program from a folder of its own that everyone may enter.
    std::optional<TempDir> programCopy;
    if (options.runAsNobody && ::geteuid() == 0) {
        programCopy.emplace();
        fs::permissions(programCopy->path(), fs::perms::owner_all | fs::perms::group_read |
                                                 fs::perms::group_exec | fs::perms::others_read |
                                                 fs::perms::others_exec);
        const fs::path copy = *programCopy / "chromaloom";
        fs::copy_file(program, copy);
        fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        program = copy.string();
    }
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // The user is looked up before the fork, where the C library may still allocate freely.
    struct Ids {
        uid_t uid;
        gid_t gid;
    };
    const bool dropToNobody = options.runAsNobody && ::geteuid() == 0;
    std::optional<Ids> nobody;
    if (dropToNobody) {
        if (const passwd* entry = ::getpwnam("nobody"))
            nobody = Ids{entry->pw_uid, entry->pw_gid};
    }

    const fs::path errorPath = inputDir / "stderr";
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        throw std::runtime_error("pipe failed");
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(pipeFds[0]);
        const int in = open(inputPath.c_str(), O_RDONLY);
        const int err = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int out = options.stdoutPath.empty() ? pipeFds[1] : open(options.stdoutPath.c_str(), O_WRONLY);
        if (in < 0 || err < 0 || out < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
            dup2(err, STDERR_FILENO) < 0)
            _exit(126);
        close(pipeFds[1]);
        if (options.stdoutClosed)
            close(STDOUT_FILENO);
        for (const auto& [name, value] : options.environment)
            setenv(name.c_str(), value.c_str(), 1);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0)
            _exit(126);
        if (options.fileSizeLimit) {
            const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.addressSpaceLimit) {
            const rlimit limit{*options.addressSpaceLimit, *options.addressSpaceLimit};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (options.descriptorLimit) {
            const rlimit limit{*options.descriptorLimit, *options.descriptorLimit};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (options.fileModeMask)
            ::umask(*options.fileModeMask);
        if (dropToNobody && (!nobody || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->gid) != 0 ||
                             ::setuid(nobody->uid) != 0))
            _exit(cannotDropPrivileges);
        if (options.alarmSeconds != 0)
            alarm(options.alarmSeconds);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    RunResult result;
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
        if (n > 0)
            result.output.append(chunk, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(pipeFds[0]);
    int wstatus = 0;
    rusage usage{};
    while (wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
    }
    result.maxRssKb = usage.ru_maxrss;
    result.errors = readFile(errorPath);
    std::cerr << result.errors;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return result;
}

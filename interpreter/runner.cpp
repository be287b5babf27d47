#include "interpreter/runner.h"

#include "interpreter/usage.h"
#include "system/interruption.h"
#include "system/memory_budget.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>

namespace {

bool isTokenByte(unsigned char c) {
    return c >= 0x21 && c <= 0x7F;
}

void printInstalledCommands() {
    std::printf("Installed commands: ");
    for (const Command* cmd = Command::registry; cmd != nullptr; cmd = cmd->next)
        std::printf("%s ", cmd->name);
    std::printf("\n");
}

// Opens the script file named on the command line, or reports why it cannot be read and returns null.
// A directory opens without complaint on this platform but cannot be read as a script, so it is refused
// here with the error the first read would give.
std::FILE* openScript(const char* path) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::printf("Can't open file `%s' - error %d\n", path, errno);
        return nullptr;
    }
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        std::printf("Can't open file `%s' - error %d\n", path, EISDIR);
        return nullptr;
    }
    return file;
}

// The first error met while writing standard output; 0 while there is none.
int outputError = 0;

void flushOutput() {
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && outputError == 0)
        outputError = errno != 0 ? errno : EIO;
}

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

} // namespace

void tokenize(char* buffer, ArgList& args) {
    args.clear();
    unsigned char* p = reinterpret_cast<unsigned char*>(buffer);
    for (;;) {
        while (*p != 0 && !isTokenByte(*p))
            ++p;
        if (*p == 0 || *p == '#')
            return;
        args.push_back(reinterpret_cast<char*>(p));
        while (isTokenByte(*p))
            ++p;
        if (*p == 0)
            return;
        *p++ = 0;
    }
}

void countLine(ScriptContext& ctx) {
    ctx.lineNumber = static_cast<int>(static_cast<unsigned>(ctx.lineNumber) + 1u);
}

void runLine(char* buffer, ScriptContext& ctx) {
    ArgList args;
    tokenize(buffer, args);
    if (args.empty())
        return;
    Command* cmd = findCommand(args[0]);
    if (cmd == nullptr) {
        ctx.report("unknown verb `%s'", args[0]);
        return;
    }
    const int count = static_cast<int>(args.size());
    if (count != cmd->argCount) {
        ctx.report("wrong number of arguments to command `%s' (expecting %d got %d)", cmd->name,
                   cmd->argCount, count);
        return;
    }
    // Every command finishes its checks and allocations before it changes a pixel or a variable, so a
    // command that runs out of memory leaves everything as it was.
    try {
        cmd->run(args, ctx);
    } catch (const std::bad_alloc&) {
        ctx.report("not enough memory");
    }
}

bool runScript(std::FILE* source) {
    ScriptContext ctx;
    char buffer[lineBufferSize];
    while (std::fgets(buffer, lineBufferSize, source) != nullptr) {
        countLine(ctx);
        runLine(buffer, ctx);
        flushOutput();
    }
    if (std::ferror(source)) {
        std::printf("Error: can't read script (error %d)\n", errno);
        return false;
    }
    return true;
}

void runScriptText(const char* text, std::size_t size) {
    if (size == 0)
        return; // nothing to run, and a stream over no bytes cannot be opened everywhere
    // Opened for reading only: the bytes are never written through the stream.
    const std::unique_ptr<std::FILE, FileCloser> source(fmemopen(const_cast<char*>(text), size, "r"));
    if (source != nullptr)
        runScript(source.get());
}

void prepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    prepareInterruptions();
}

int finishOutput(int status) {
    flushOutput();
    if (outputError == 0)
        return status;
    std::fprintf(stderr, "chromaloom: can't write output: %s\n", std::strerror(outputError));
    return 1;
}

int runProgram(int argc, char** argv) {
    if (const std::optional<int> status = answerOption(argc, argv))
        return *status;
    // A memory limit that cannot be read would silently mean no limit: it is refused before anything runs.
    if (const char* limit = std::getenv("CHROMALOOM_MEMORY_LIMIT");
        limit != nullptr && !parseByteSize(limit)) {
        std::fprintf(
            stderr,
            "chromaloom: CHROMALOOM_MEMORY_LIMIT='%s' is not a size: give a number of bytes, or of K, M, "
            "G or T (binary units, such as 512M or 2GiB)\n",
            limit);
        return 1;
    }
    std::printf("Chromaloom\n");

    std::FILE* source = stdin;
    if (argc == 1) {
        std::printf("Reading from STDIN\n");
        printInstalledCommands();
    } else if (argc == 2) {
        std::printf("Opening script file %s\n", argv[1]);
        source = openScript(argv[1]);
    } else {
        std::printf("Chromaloom requires either 0 or 1 command line argument!");
        return 1;
    }
    if (source == nullptr) {
        std::printf("Failed to open script file!\n");
        return 1;
    }
    // What start-up printed is out before the first line runs, however that line ends.
    flushOutput();

    const int status = runScript(source) ? 0 : 1;
    if (source != stdin)
        std::fclose(source);
    return status;
}

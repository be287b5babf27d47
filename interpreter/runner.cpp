#include "interpreter/runner.h"

#include "interpreter/options.h"
#include "interpreter/usage.h"
#include "system/interruption.h"
#include "system/memory_budget.h"
#include "system/standard_output.h"
#include "system/thread_pool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

namespace {

// The word with $1 to $9 replaced by the script's arguments and $$ by a dollar sign; any other $ stays as
// it is. False (reported) when the word names an argument the script was not given.
bool substituteWord(const char* word, const ScriptContext& ctx, std::string& out, int& missing) {
    out.clear();
    for (const char* p = word; *p != '\0'; ++p) {
        if (*p != '$' || (p[1] != '$' && (p[1] < '1' || p[1] > '9'))) {
            out += *p;
            continue;
        }
        ++p;
        if (*p == '$') {
            out += '$';
            continue;
        }
        const auto n = static_cast<std::size_t>(*p - '0');
        if (n > ctx.parameters.size()) {
            missing = static_cast<int>(n);
            return false;
        }
        out += ctx.parameters[n - 1];
    }
    return true;
}

// Replaces the script's arguments in every word that names one. The new words live in `storage` for as long
// as the line runs. False (reported) when a word names an argument the script was not given.
bool substituteParameters(ArgList& args, std::vector<std::string>& storage, ScriptContext& ctx) {
    storage.resize(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (std::strchr(args[i], '$') == nullptr)
            continue;
        int missing = 0;
        if (!substituteWord(args[i], ctx, storage[i], missing)) {
            ctx.report("no argument $%d: the script was given %zu", missing, ctx.parameters.size());
            return false;
        }
        args[i] = storage[i].c_str();
    }
    return true;
}

} // namespace

void runLine(char* buffer, ScriptContext& ctx) {
    ArgList args;
    tokenize(buffer, args);
    if (args.empty())
        return;
    std::vector<std::string> substituted;
    if (ctx.substitute && !substituteParameters(args, substituted, ctx))
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

bool runScript(std::FILE* source, const ProgramOptions& options) {
    ScriptContext ctx;
    ctx.strict = options.strict;
    ctx.substitute = options.substitute;
    ctx.parameters = options.parameters;
    char buffer[lineBufferSize];
    while (std::fgets(buffer, lineBufferSize, source) != nullptr) {
        countLine(ctx);
        const unsigned problemsBefore = ctx.problems;
        runLine(buffer, ctx);
        flushOutput();
        // In strict mode the first line that fails ends the run.
        if (ctx.strict && ctx.problems != problemsBefore)
            return false;
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
        runScript(source.get(), ProgramOptions{});
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

namespace {

// Sends standard output's messages to standard error for the rest of the run, so that standard output can
// carry an image: the descriptor that was standard output is kept for writes to /dev/stdout.
void quieten() {
    std::fflush(stdout);
    const int imageOutput = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (imageOutput >= 0)
        setStandardOutputForFiles(imageOutput);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
}

// A memory limit that cannot be read would silently mean no limit: it is refused before anything runs.
bool memoryLimitIsReadable() {
    const char* limit = std::getenv("CHROMALOOM_MEMORY_LIMIT");
    if (limit == nullptr || parseByteSize(limit))
        return true;
    std::fprintf(
        stderr,
        "chromaloom: CHROMALOOM_MEMORY_LIMIT='%s' is not a size: give a number of bytes, or of K, M, "
        "G or T (binary units, such as 512M or 2GiB)\n",
        limit);
    return false;
}

// So is a thread count that cannot be read: it would silently mean every CPU.
bool threadCountIsReadable() {
    const char* count = std::getenv("CHROMALOOM_THREADS");
    if (count == nullptr || parseThreadCount(count))
        return true;
    std::fprintf(stderr,
                 "chromaloom: CHROMALOOM_THREADS='%s' is not a thread count: give a whole number from 1 to "
                 "256\n",
                 count);
    return false;
}

} // namespace

int runProgram(int argc, char** argv) {
    if (const std::optional<int> status = answerOption(argc, argv))
        return *status;
    if (!memoryLimitIsReadable() || !threadCountIsReadable())
        return 1;
    ProgramOptions options;
    std::string problem;
    const bool understood = parseOptions(argc, argv, options, problem);
    if (options.quiet)
        quieten();
    else
        std::printf("Chromaloom\n");
    if (!understood) {
        std::printf("%s\n", problem.c_str());
        return 1;
    }
    if (options.threads)
        setThreadCount(*options.threads);

    std::FILE* source = stdin;
    if (options.fromStandardInput) {
        if (!options.quiet) {
            std::printf("Reading from STDIN\n");
            printInstalledCommands();
        }
    } else {
        if (!options.quiet)
            std::printf("Opening script file %s\n", options.script.c_str());
        source = openScript(options.script.c_str());
    }
    if (source == nullptr) {
        std::printf("Failed to open script file!\n");
        return 1;
    }
    // What start-up printed is out before the first line runs, however that line ends.
    flushOutput();

    const int status = runScript(source, options) ? 0 : 1;
    if (source != stdin)
        std::fclose(source);
    return status;
}

#include "interpreter/usage.h"

#include "interpreter/command.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef CHROMALOOM_VERSION
#error "CHROMALOOM_VERSION is set by the build from the project's version"
#endif

namespace {

constexpr const char* helpBeforeVerbs =
    "Usage: chromaloom [OPTIONS] SCRIPT [ARG...]   runs the script in the file SCRIPT\n"
    "       chromaloom [OPTIONS] < SCRIPT         runs a script read from standard input\n"
    "       chromaloom -h | --help                prints this text\n"
    "       chromaloom --version                  prints the version\n"
    "\n"
    "Options, before SCRIPT:\n"
    "  --strict   the first line that fails ends the run with status 1; a file that\n"
    "             ends early and a number word that is not all a number fail too,\n"
    "             and a message about a file names it and the system's reason\n"
    "  --quiet    no banner and no start-up lines; messages go to standard error,\n"
    "             so that standard output can carry an image (/dev/stdout)\n"
    "  --threads N\n"
    "             the threads that work on each image, 1 to 256 (by default\n"
    "             CHROMALOOM_THREADS, else every CPU the run may use); the output\n"
    "             is the same for any number\n"
    "\n"
    "ARG1 to ARG9 stand for $1 to $9 in the script's words (read a $1); $$ is a\n"
    "dollar sign. With options or arguments, SCRIPT - is standard input.\n"
    "\n"
    "A script has one command per line: a verb and its arguments, separated by\n"
    "blanks; a word that begins with # starts a comment. v is an image variable, a\n"
    "single letter a to z; copy takes two (from, to) and so does composite (a, b).\n"
    "A line that fails prints \"Error (line N): ...\" and the script goes on.\n"
    "A script file named like an option runs as ./--help. Exit status: 0 when the\n"
    "script ran to its end (without --strict, however many lines failed), 1 when\n"
    "the command line or the script was wrong or, with --strict, a line failed.\n"
    "\n";

std::string (*formatsParagraph)() = nullptr;

constexpr const char* helpAfterVerbs =
    "\n"
    "The language reference is docs/language.md in the source tree, installed as\n"
    "share/doc/chromaloom/language.md under the installation prefix; see also\n"
    "man chromaloom.\n";

void printHelp() {
    std::vector<const Command*> verbs;
    for (const Command* cmd = Command::registry; cmd != nullptr; cmd = cmd->next)
        verbs.push_back(cmd);
    std::sort(verbs.begin(), verbs.end(),
              [](const Command* a, const Command* b) { return std::strcmp(a->name, b->name) < 0; });
    std::fputs(helpBeforeVerbs, stdout);
    if (formatsParagraph != nullptr)
        std::printf("%s\n", formatsParagraph().c_str());
    std::fputs("Verbs:\n", stdout);
    for (const Command* cmd : verbs) {
        const std::string usage = cmd->usage();
        if (usage.empty())
            std::printf("  %s\n", cmd->name);
        else
            std::printf("  %-11s %s\n", cmd->name, usage.c_str());
    }
    std::fputs(helpAfterVerbs, stdout);
}

} // namespace

void setFormatsHelp(std::string (*describe)()) {
    formatsParagraph = describe;
}

std::optional<int> answerOption(int argc, char** argv) {
    if (argc != 2)
        return std::nullopt;
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)
        printHelp();
    else if (std::strcmp(argv[1], "--version") == 0)
        std::printf("chromaloom %s\n", CHROMALOOM_VERSION);
    else
        return std::nullopt;
    // Output that cannot be written is reported, and turned into status 1, when the program finishes.
    return 0;
}

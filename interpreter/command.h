#pragma once

#include <vector>

class ScriptContext;

// The tokens of one script line, verb first. They point into the runner's line buffer and are valid only
// while the line's command runs.
using ArgList = std::vector<const char*>;

// One verb of the script language. Every verb is a single object in static storage that links itself to the
// front of Command::registry while it is constructed; the runner finds verbs only through that list.
class Command {
public:
    Command(const char* name, int argCount, const char* usage);
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Runs the verb on one line. The runner guarantees args.size() == argCount. Returns 0 on success and
    // 1, 2 or 3 on failure; every problem has already been reported on standard output.
    virtual int execute(ArgList& args, ScriptContext& ctx) = 0;

    const char* const name; // lower-case verb
    const int argCount;     // tokens on the line, the verb included
    Command* const next;    // next command in the registry, null for the last one
    // The arguments after the verb, one word each, as --help lists them: "v 3|5" for blur, "" for test.
    const char* const usage;

    static Command* registry;

protected:
    ~Command() = default;
};

// The command whose verb equals `verb` when ASCII letters are compared without regard to case, or null.
Command* findCommand(const char* verb);

#pragma once

#include "interpreter/arguments.h"

#include <string>
#include <vector>

class ScriptContext;

// One verb of the script language. Every verb is a single object in static storage that links itself to the
// front of Command::registry while it is constructed; the runner finds verbs only through that list.
//
// A verb declares its arguments once, in its constructor; the line's words are resolved against them
// (checked in order, each refusal reported with the verb's own message) before execute runs, so execute
// does only the verb's own work.
class Command {
public:
    Command(const char* name, std::vector<Argument> arguments);
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Runs the verb on one line: resolves the words after the verb, then executes. The runner guarantees
    // args.size() == argCount. Returns 0 on success and 1, 2 or 3 on failure; every problem has already
    // been reported where the script's messages go (standard output, or standard error under --quiet).
    int run(const ArgList& args, ScriptContext& ctx);

    // The verb's own work, with every argument accepted.
    virtual int execute(const Arguments& args, ScriptContext& ctx) = 0;

    // Whether an image this verb stores in a variable carries on the metadata (profile, EXIF, XMP) of the
    // image the variable held before, when the verb made it without any: true for the verbs that make a new
    // image out of one that was there (blur, crop, composite's destination...). A verb that brings an image
    // of its own (read, blank, copy) answers false and sets the metadata itself.
    virtual bool keepsMetadata() const { return true; }

    // The arguments after the verb as --help lists them, one word each: "v 3|5" for blur, "" for test.
    std::string usage() const;

    const char* const name;                // lower-case verb
    const std::vector<Argument> arguments; // what the verb takes, in order
    const int argCount;                    // tokens on the line, the verb included
    Command* const next;                   // next command in the registry, null for the last one

    static Command* registry;

protected:
    ~Command() = default;
};

// The command whose verb equals `verb` when ASCII letters are compared without regard to case, or null.
Command* findCommand(const char* verb);

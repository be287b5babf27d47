#pragma once

#include "image/image.h"

#include <cassert>
#include <string>
#include <vector>

// The state of a running script: the current line number and the 26 image variables a to z. The context
// owns every image stored in it.
class ScriptContext {
public:
    static constexpr int variableCount = 26;

    ScriptContext();
    ~ScriptContext();
    ScriptContext(const ScriptContext&) = delete;
    ScriptContext& operator=(const ScriptContext&) = delete;

    // 1-based number of the line being executed; 0 before the first line.
    int lineNumber = 0;

    // The run's settings from the command line (interpreter/options.h).
    bool strict = false;                 // a number word must be a whole number, a file must be whole
    bool substitute = false;             // $1 to $9 in the words stand for `parameters`
    std::vector<std::string> parameters; // the arguments given after the script

    // Problems reported so far: every report counts one, so a line failed when the count grew.
    unsigned problems = 0;

    // The slot of a variable name: 0..25 for a single ASCII letter of either case. Otherwise prints the
    // name message and returns -1.
    int variableIndex(const char* name);

    // The image a variable holds, or null. A bad name prints the name message and then the out-of-bounds
    // message; an empty variable prints nothing.
    Image* getImage(const char* name);

    // A variable a command works on: its slot (-1 for a bad name) and the image there (null when the name is
    // bad or the variable empty).
    struct Variable {
        int index;
        Image* image;
    };

    // The two ways a command looks up a variable. They differ only in what a bad name prints, and which one a
    // command uses is part of its output, so each command keeps its own. Both report an empty variable with
    // the command's own message (`missing`, printed after the "Error (line N): " prefix).
    //
    // A command that stores its result back into the variable uses the index from the same lookup.
    //
    // fetchImage takes the steps of getImage: a bad name prints the name message, the out-of-bounds message
    // and then `missing`.
    Variable fetchImage(const char* name, const char* missing);

    // checkNameThenFetch checks the name first: a bad name prints only the name message.
    Variable checkNameThenFetch(const char* name, const char* missing);

    // The image in a slot 0..25, or null when it is empty.
    Image* imageAt(int index) const {
        assert(index >= 0 && index < variableCount);
        return images[static_cast<std::size_t>(index)].get();
    }

    // Stores an image (or null) in a slot 0..25, releasing what the slot held. Commands only pass indexes
    // they got from a lookup that succeeded.
    void setImage(int index, ImagePtr image);

    // Prints "Error (line N): " followed by the formatted text and a newline.
    void report(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Prints "Note (line N): " followed by the formatted text and a newline: something the line did that the
    // user should know of, which is not a problem (the line succeeded).
    void note(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Prints the formatted text and a newline, with no line number: a problem all the same.
    void reportWithoutLine(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    // variableIndex, followed by the out-of-bounds message for a bad name.
    int indexOrOutOfBounds(const char* name);
    // The lookup result for an index from either lookup; prints `missing` when there is no image.
    Variable imageOrMissing(int index, const char* missing);

    std::vector<ImagePtr> images;
};

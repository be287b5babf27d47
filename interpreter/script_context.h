#pragma once

#include "image/image.h"

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

    // The slot of a variable name: 0..25 for a single ASCII letter of either case. Otherwise prints the
    // name message and returns -1.
    int variableIndex(const char* name);

    // The image a variable holds, or null. A bad name prints the name message and then the out-of-bounds
    // message; an empty variable prints nothing.
    Image* getImage(const char* name);

    // The two ways a command looks up the variable it works on. Both report a missing image with the
    // command's own message (`missing`, printed after the "Error (line N): " prefix) and yield null.
    //
    // imageOrReport fetches through getImage, so a bad name prints the name message, the out-of-bounds
    // message and then `missing`.
    Image* imageOrReport(const char* name, const char* missing);

    // variableOrReport checks the name first, so a bad name prints only the name message; it is used by
    // commands that store back into the variable. The index is -1 for a bad name.
    struct Variable {
        int index;
        Image* image;
    };
    Variable variableOrReport(const char* name, const char* missing);

    // The image in a valid slot (0..25), or null when it is empty.
    Image* imageAt(int index) const { return images[static_cast<std::size_t>(index)].get(); }

    // Stores an image (or null) in a slot, releasing what the slot held. An index outside 0..25 prints the
    // out-of-bounds message and stores nothing.
    void setImage(int index, ImagePtr image);

    // Prints "Error (line N): " followed by the formatted text and a newline.
    void report(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::vector<ImagePtr> images;
};

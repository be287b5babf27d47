#include "interpreter/script_context.h"

#include <cstdarg>
#include <cstdio>

ScriptContext::ScriptContext() : images(variableCount) {}

ScriptContext::~ScriptContext() {
    for (int i = 0; i < variableCount; ++i)
        setImage(i, nullptr);
}

int ScriptContext::variableIndex(const char* name) {
    if (name == nullptr) {
        report("no variable name!");
        return -1;
    }
    if (name[0] != '\0' && name[1] == '\0') {
        const char c = name[0];
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a';
    }
    report("variable must have 1 character name!");
    return -1;
}

int ScriptContext::indexOrOutOfBounds(const char* name) {
    // variableIndex yields -1 or a valid slot, so -1 is the only index out of bounds here.
    const int index = variableIndex(name);
    if (index < 0)
        report("variable access out of bounds");
    return index;
}

Image* ScriptContext::getImage(const char* name) {
    const int index = indexOrOutOfBounds(name);
    return index < 0 ? nullptr : imageAt(index);
}

ScriptContext::Variable ScriptContext::imageOrMissing(int index, const char* missing) {
    Image* image = index < 0 ? nullptr : imageAt(index);
    if (image == nullptr)
        report("%s", missing);
    return {index, image};
}

ScriptContext::Variable ScriptContext::fetchImage(const char* name, const char* missing) {
    return imageOrMissing(indexOrOutOfBounds(name), missing);
}

ScriptContext::Variable ScriptContext::checkNameThenFetch(const char* name, const char* missing) {
    const int index = variableIndex(name);
    if (index < 0)
        return {index, nullptr};
    return imageOrMissing(index, missing);
}

void ScriptContext::setImage(int index, ImagePtr image) {
    assert(index >= 0 && index < variableCount);
    images[static_cast<std::size_t>(index)] = std::move(image);
}

void ScriptContext::report(const char* format, ...) {
    ++problems;
    std::printf("Error (line %d): ", lineNumber);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
}

void ScriptContext::note(const char* format, ...) {
    std::printf("Note (line %d): ", lineNumber);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
}

void ScriptContext::reportWithoutLine(const char* format, ...) {
    ++problems;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
}

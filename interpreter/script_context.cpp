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

Image* ScriptContext::getImage(const char* name) {
    const int index = variableIndex(name);
    if (index < 0 || index >= variableCount) {
        report("variable access out of bounds");
        return nullptr;
    }
    return imageAt(index);
}

Image* ScriptContext::imageOrReport(const char* name, const char* missing) {
    Image* image = getImage(name);
    if (image == nullptr)
        report("%s", missing);
    return image;
}

ScriptContext::Variable ScriptContext::variableOrReport(const char* name, const char* missing) {
    const int index = variableIndex(name);
    if (index < 0)
        return {index, nullptr};
    Image* image = imageAt(index);
    if (image == nullptr)
        report("%s", missing);
    return {index, image};
}

void ScriptContext::setImage(int index, ImagePtr image) {
    if (index < 0 || index >= variableCount) {
        report("variable access out of bounds");
        return;
    }
    images[static_cast<std::size_t>(index)] = std::move(image);
}

void ScriptContext::report(const char* format, ...) {
    std::printf("Error (line %d): ", lineNumber);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
}

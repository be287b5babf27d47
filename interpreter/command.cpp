#include "interpreter/command.h"

Command* Command::registry = nullptr;

Command::Command(const char* verb, int tokenCount, const char* arguments)
    : name(verb), argCount(tokenCount), next(registry), usage(arguments) {
    registry = this;
}

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (lowerAscii(*a) != lowerAscii(*b))
            return false;
    }
    return *a == *b;
}

} // namespace

Command* findCommand(const char* verb) {
    for (Command* cmd = Command::registry; cmd != nullptr; cmd = cmd->next) {
        if (equalsIgnoringCase(cmd->name, verb))
            return cmd;
    }
    return nullptr;
}

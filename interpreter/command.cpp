#include "interpreter/command.h"

#include "interpreter/script_context.h"

#include <array>

Command* Command::registry = nullptr;

Command::Command(const char* verb, std::vector<Argument> declared)
    : name(verb), arguments(std::move(declared)), argCount(static_cast<int>(arguments.size()) + 1),
      next(registry) {
    registry = this;
}

int Command::run(const ArgList& args, ScriptContext& ctx) {
    Arguments resolved;
    int failure = 0;
    if (!resolveArguments(arguments, args, ctx, resolved, failure))
        return failure;
    if (!keepsMetadata())
        return execute(resolved, ctx);
    // A variable whose image the verb replaced by one without metadata hands its metadata on to it, and
    // likewise the quality of the file it was read from, so that a photo re-saved after an edit stays alike.
    std::array<const Image*, ScriptContext::variableCount> before{};
    std::array<MetadataPtr, ScriptContext::variableCount> carried{};
    std::array<int, ScriptContext::variableCount> quality{};
    for (int i = 0; i < ScriptContext::variableCount; ++i) {
        const Image* image = ctx.imageAt(i);
        before[static_cast<std::size_t>(i)] = image;
        if (image != nullptr) {
            carried[static_cast<std::size_t>(i)] = image->metadata;
            quality[static_cast<std::size_t>(i)] = image->sourceQuality;
        }
    }
    const int status = execute(resolved, ctx);
    for (int i = 0; i < ScriptContext::variableCount; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        Image* image = ctx.imageAt(i);
        if (image == nullptr || image == before[slot])
            continue;
        if (image->metadata == nullptr)
            image->metadata = std::move(carried[slot]);
        if (image->sourceQuality == 0)
            image->sourceQuality = quality[slot];
    }
    return status;
}

std::string Command::usage() const {
    std::string words;
    for (const Argument& a : arguments) {
        if (!words.empty())
            words += ' ';
        words += a.usage;
    }
    return words;
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

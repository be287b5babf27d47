#include "commands/load_report.h"

#include <cstring>

int reportLoad(const LoadResult& loaded, const char* file, ScriptContext& ctx) {
    if (loaded.image == nullptr) {
        if (!ctx.strict)
            ctx.report("can't read image! (%s)", loaded.reason.c_str());
        else
            ctx.report("can't read image '%s': %s", file,
                       loaded.systemError != 0 ? std::strerror(loaded.systemError) : loaded.reason.c_str());
        return 2;
    }
    for (const std::string& note : loaded.notes)
        ctx.note("%s", note.c_str());
    return 0;
}

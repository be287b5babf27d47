#include "interpreter/command.h"

// Every verb of the language, in registration order. Each command object links itself to the front of
// Command::registry when it is constructed, so the registry (and the start-up listing) reads this list
// backwards: the last verb here is the first one listed. Adding a verb is one line here, plus its source
// file under commands/ and that file in the build's source list.
#define CHROMALOOM_VERBS(VERB)                                                                               \
    VERB(blur)                                                                                               \
    VERB(chromakey)                                                                                          \
    VERB(composite)                                                                                          \
    VERB(copy)                                                                                               \
    VERB(crop)                                                                                               \
    VERB(darken)                                                                                             \
    VERB(desaturate)                                                                                         \
    VERB(dissolve)                                                                                           \
    VERB(fill)                                                                                               \
    VERB(opaque)                                                                                             \
    VERB(paint)                                                                                              \
    VERB(painter)                                                                                            \
    VERB(test)                                                                                               \
    VERB(info)                                                                                               \
    VERB(read)                                                                                               \
    VERB(write)                                                                                              \
    VERB(blank)                                                                                              \
    VERB(resize)                                                                                             \
    VERB(rotate)                                                                                             \
    VERB(warp)

// Each commands/<verb>.cpp defines <verb>Command(), which constructs its one command object on first call.
#define CHROMALOOM_DECLARE(verb) Command& verb##Command();
CHROMALOOM_VERBS(CHROMALOOM_DECLARE)

namespace {

// Runs before main: constructs the command objects one after another, in the order of the list above,
// whatever order the linker laid out the command files in.
struct Registration {
    Registration() {
#define CHROMALOOM_CONSTRUCT(verb) verb##Command();
        CHROMALOOM_VERBS(CHROMALOOM_CONSTRUCT)
    }
} const registration;

} // namespace

#include "interpreter/command.h"

// The verbs, one line each. Each commands/<verb>.cpp defines `Command& <verb>Command()`, whose first call
// constructs the verb's command object, which links itself to the front of Command::registry.
//
// They are constructed before main, one after another in the order written here, whatever order the
// linker laid out the command files in. Each object goes to the front of the registry, so the registry, and
// with it the start-up listing, holds them in the reverse order:
//
//   Installed commands: pad place mirror flip turn thumbnail scale fit srgb strip warp rotate resize blank
//   write read info test painter paint opaque fill dissolve desaturate darken crop copy composite chromakey
//   blur
//
// (one line, with a blank after every verb). Scripts and their expected output rely on that line, so a new
// verb goes at the end of this list, and thus at the front of the listing.
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
    VERB(warp)                                                                                               \
    VERB(strip)                                                                                              \
    VERB(srgb)                                                                                               \
    VERB(fit)                                                                                                \
    VERB(scale)                                                                                              \
    VERB(thumbnail)                                                                                          \
    VERB(turn)                                                                                               \
    VERB(flip)                                                                                               \
    VERB(mirror)                                                                                             \
    VERB(place)                                                                                              \
    VERB(pad)

#define CHROMALOOM_DECLARE_VERB(verb) Command& verb##Command();
CHROMALOOM_VERBS(CHROMALOOM_DECLARE_VERB)

namespace {

struct Registration {
    Registration() {
#define CHROMALOOM_CONSTRUCT_VERB(verb) verb##Command();
        CHROMALOOM_VERBS(CHROMALOOM_CONSTRUCT_VERB)
    }
} const registration;

} // namespace

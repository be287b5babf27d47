#include "interpreter/command.h"

// Each commands/<verb>.cpp defines one of these; the first call constructs the verb's command object, which
// links itself to the front of Command::registry.
Command& blurCommand();
Command& chromakeyCommand();
Command& compositeCommand();
Command& copyCommand();
Command& cropCommand();
Command& darkenCommand();
Command& desaturateCommand();
Command& dissolveCommand();
Command& fillCommand();
Command& opaqueCommand();
Command& paintCommand();
Command& painterCommand();
Command& testCommand();
Command& infoCommand();
Command& readCommand();
Command& writeCommand();
Command& blankCommand();
Command& resizeCommand();
Command& rotateCommand();
Command& warpCommand();

namespace {

// Runs before main and constructs the command objects one after another in the order written here, whatever
// order the linker laid out the command files in. Each object goes to the front of the registry, so the
// registry, and with it the start-up listing, holds them in the reverse order:
//
//   Installed commands: warp rotate resize blank write read info test painter paint opaque fill dissolve
//   desaturate darken crop copy composite chromakey blur
//
// (one line, with a blank after every verb). Scripts and their expected output rely on that line, so a new
// verb goes at the end of this list, and thus at the front of the listing. Adding a verb is one line here
// and one above, plus its source file under commands/ and that file in the build's source list.
struct Registration {
    Registration() {
        blurCommand();
        chromakeyCommand();
        compositeCommand();
        copyCommand();
        cropCommand();
        darkenCommand();
        desaturateCommand();
        dissolveCommand();
        fillCommand();
        opaqueCommand();
        paintCommand();
        painterCommand();
        testCommand();
        infoCommand();
        readCommand();
        writeCommand();
        blankCommand();
        resizeCommand();
        rotateCommand();
        warpCommand();
    }
} const registration;

} // namespace

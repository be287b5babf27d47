#pragma once

#include <csignal>

// A program ended by SIGTERM, SIGINT or SIGHUP while it writes a file through a temporary one first removes
// that temporary file, so that an interrupted write leaves nothing behind; it then ends as the signal
// demands (the signal is raised again with its default action, so the exit status still names it). A
// signal that was ignored when the program started stays ignored.

// Installs the handlers. Called once at start-up.
void prepareInterruptions();

// The temporary file being written, by its folder's descriptor and its name in that folder; cleared when
// it is renamed or removed. Callers hold InterruptionsHeld around each change.
void recordTemporaryFile(int folder, const char* name);
void forgetTemporaryFile();

// Keeps the three signals waiting for the life of the object, so that a file and its record come into
// being (or go) together.
class InterruptionsHeld {
public:
    InterruptionsHeld();
    ~InterruptionsHeld();
    InterruptionsHeld(const InterruptionsHeld&) = delete;
    InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;

private:
    sigset_t previous;
};

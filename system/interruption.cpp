#include "system/interruption.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int interruptions[] = {SIGTERM, SIGINT, SIGHUP};

// What the handler may touch: plain storage written only while the signals are held.
volatile sig_atomic_t temporaryRecorded = 0;
int temporaryFolder = AT_FDCWD;
char temporaryName[NAME_MAX + 1];

extern "C" void onInterruption(int signal) {
    if (temporaryRecorded != 0)
        ::unlinkat(temporaryFolder, temporaryName, 0);
    // With the default action restored, the signal raised again ends the program as it would have.
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

sigset_t interruptionSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : interruptions)
        sigaddset(&set, s);
    return set;
}

} // namespace

void prepareInterruptions() {
    for (const int s : interruptions) {
        struct sigaction action {};
        if (::sigaction(s, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            continue;
        action = {};
        action.sa_handler = onInterruption;
        action.sa_mask = interruptionSet();
        ::sigaction(s, &action, nullptr);
    }
}

void recordTemporaryFile(int folder, const char* name) {
    temporaryRecorded = 0;
    temporaryFolder = folder;
    std::strncpy(temporaryName, name, NAME_MAX);
    temporaryName[NAME_MAX] = '\0';
    temporaryRecorded = 1;
}

void forgetTemporaryFile() {
    temporaryRecorded = 0;
}

InterruptionsHeld::InterruptionsHeld() {
    const sigset_t set = interruptionSet();
    ::sigprocmask(SIG_BLOCK, &set, &previous);
}

InterruptionsHeld::~InterruptionsHeld() {
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

#pragma once

#include <optional>

// The two options of the command line. Started with exactly one argument that is --help or --version, the
// program prints the help text or its version on standard output instead of running a script; this returns
// the exit status then: 0, or 1 when standard output could not be written. Every other command line gives
// nothing back and runs as a script, so that a script file named like an option runs as ./--help.
std::optional<int> answerOption(int argc, char** argv);

#pragma once

#include <optional>
#include <string>

// The two options of the command line. Started with exactly one argument that is --help or --version, the
// program prints the help text or its version on standard output instead of running a script; this returns
// the exit status then, 0 (output that could not be written is reported when the program finishes, and
// makes it 1). Every other command line gives nothing back and runs as a script, so that a script file
// named like an option runs as ./--help.
std::optional<int> answerOption(int argc, char** argv);

// The help text's paragraph on file formats, which the formats describe themselves: the read verb hands
// over the function that writes it, so that the interpreter knows no format.
void setFormatsHelp(std::string (*describe)());

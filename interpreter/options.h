#pragma once

#include <optional>
#include <string>
#include <vector>

// The command line of a script run:
//
//   chromaloom [--strict] [--quiet] [--threads N] [SCRIPT [ARG1 ... ARG9]]
//
// The options come before the script. Without SCRIPT the script is read from standard input; so it is with
// `-` as SCRIPT when options or arguments are given (alone, `-` names a file, as it always has). The
// arguments after the script stand for $1 to $9 in the script's words.
struct ProgramOptions {
    bool strict = false; // the first line that fails ends the run with status 1; see docs/language.md
    bool quiet = false;  // no banner or start-up lines; every message on standard error
    std::optional<unsigned> threads; // --threads N (or --threads=N): the pool's size for this run
    bool fromStandardInput = true;
    std::string script; // the script file's path when not from standard input
    std::vector<std::string> parameters;
    bool substitute = false; // arguments were given after the script: $1 to $9 are replaced
};

// The most arguments a script takes: $1 to $9.
inline constexpr std::size_t maxParameters = 9;

// Reads the command line (argv[0] is the program). False, with a message for standard output in
// `problem`, when it cannot be run.
bool parseOptions(int argc, char** argv, ProgramOptions& options, std::string& problem);

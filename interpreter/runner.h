#pragma once

#include "interpreter/command.h"
#include "interpreter/script_context.h"

// Size of the line buffer: a script is read in pieces of at most this many bytes minus one.
constexpr int lineBufferSize = 256;

// Splits a NUL-terminated line buffer into tokens in place. Bytes 0x21..0x7F make up tokens; every other
// nonzero byte separates them. A token that begins with '#' starts a comment that runs to the end.
void tokenize(char* buffer, ArgList& args);

// Counts one more line read. A script on standard input can run past the largest int; the count then
// wraps around to the smallest instead of overflowing.
void countLine(ScriptContext& ctx);

// Runs one piece of script text that has already been counted as a line: finds the verb, checks the token
// count and executes the command. A command that runs out of memory fails with a message; the script goes on.
void runLine(char* buffer, ScriptContext& ctx);

// The whole program: banner, script source from the command line, the line loop. Returns the exit status.
int runProgram(int argc, char** argv);

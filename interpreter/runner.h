#pragma once

#include "interpreter/command.h"
#include "interpreter/options.h"
#include "interpreter/script_context.h"

#include <cstddef>
#include <cstdio>

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

// Runs a whole script with a fresh context: every line from `source` until its end, standard output flushed
// after each line so that each line's messages are out before the next line starts. A read error on the
// script is reported; returns false in that case, and in strict mode when a line fails.
bool runScript(std::FILE* source, const ProgramOptions& options);

// Runs a script held in memory, exactly as runScript runs the same bytes read from a file.
void runScriptText(const char* text, std::size_t size);

// Prepares the process so that it is not ended from outside by a failed write: a write into a pipe that
// has lost its reader, or past the file-size limit, fails with an error that the command reports. A
// program ended by SIGTERM, SIGINT or SIGHUP removes the temporary file it is writing first.
void prepareProcess();

// The exit status once standard output has been flushed: `status`, or 1 with a message on standard error
// when anything printed could not be written.
int finishOutput(int status);

// The whole program: banner, script source from the command line, the line loop. Returns the exit status.
int runProgram(int argc, char** argv);

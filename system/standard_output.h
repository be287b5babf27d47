#pragma once

// Writing an image to the program's own standard output: /dev/stdout, /dev/fd/1 and /proc/self/fd/1 all
// name the descriptor set here (standard output itself, unless the messages were moved off it so that it
// can carry an image). Such a write goes to the descriptor directly, at its current place, with no
// temporary file and no rename: whatever standard output is (a pipe, a terminal, a log file), the image
// follows what it already holds.

void setStandardOutputForFiles(int fd);
int standardOutputForFiles();

// Whether a path names the program's standard output.
bool namesStandardOutput(const char* path);

// Whether a path names the program's standard input (/dev/stdin, /dev/fd/0, /proc/self/fd/0), which is then
// read from the descriptor the program has, not opened again: a named pipe opened again would wait for a
// writer of its own.
bool namesStandardInput(const char* path);

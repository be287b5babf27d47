#pragma once

// jpeglib.h needs size_t and FILE declared before it.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
#include <string>

// How the JPEG reader and writer talk to libjpeg's error handling.
//
// libjpeg reports a fatal error by calling error_exit, which must not return. Ours records the message and
// jumps back with longjmp to the setjmp of the function that called into the library. So that the jump
// skips nothing that needs cleaning up, every function that calls setjmp keeps only locals without
// destructors, and the library's records live in plain structs owned by a caller further out, which
// releases them with jpeg_destroy on either path. No C++ exception ever passes through the library.
//
// Warnings and traces print nothing, with one exception: a warning that the data ended early, of the file
// or of a scan, is a failure.

struct JpegErrorHandler {
    jpeg_error_mgr pub; // what the library sees; must stay the first member
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool endedEarly;
};

// Ends the library's work at once with `reason` (after "JPEG: "), as an error of the library would.
[[noreturn]] void failJpeg(j_common_ptr cinfo, const char* reason);

// Points the library's error manager at `handler` and returns it for the record's `err` field.
jpeg_error_mgr* installJpegErrorHandler(JpegErrorHandler& handler);

// Throws std::bad_alloc when the failure the handler caught is the library running out of memory, or a
// buffer passing the memory the library was allowed.
void throwIfJpegOutOfMemory(const JpegErrorHandler& handler);

// The reason for the failure the handler caught: "JPEG: file ends early", or the library's message. Throws
// as throwIfJpegOutOfMemory does.
std::string jpegFailureReason(const JpegErrorHandler& handler);

#include "formats/jpeg_library.h"

#include <jerror.h>
#include <new>

namespace {

JpegErrorHandler& handlerOf(j_common_ptr cinfo) {
    return *reinterpret_cast<JpegErrorHandler*>(cinfo->err);
}

bool meansEndOfData(int code) {
    return code == JERR_INPUT_EOF || code == JWRN_JPEG_EOF;
}

// The warnings that data ended early: the file, or the coded data of a scan, which the library would
// otherwise fill with grey to the end of the image.
bool endsEarly(int code) {
    return meansEndOfData(code) || code == JWRN_HIT_MARKER;
}

[[noreturn]] void failAndJump(j_common_ptr cinfo) {
    JpegErrorHandler& handler = handlerOf(cinfo);
    handler.endedEarly = meansEndOfData(handler.pub.msg_code);
    (*handler.pub.format_message)(cinfo, handler.message);
    std::longjmp(handler.jump, 1);
}

// A negative level is a warning (corrupt data the library can go on past); levels 0 and up are traces.
void emitMessage(j_common_ptr cinfo, int level) {
    if (level < 0 && endsEarly(cinfo->err->msg_code))
        failAndJump(cinfo);
}

void outputNothing(j_common_ptr) {}

} // namespace

void failJpeg(j_common_ptr cinfo, const char* reason) {
    JpegErrorHandler& handler = handlerOf(cinfo);
    handler.pub.msg_code = 0;
    handler.endedEarly = false;
    std::snprintf(handler.message, sizeof handler.message, "%s", reason);
    std::longjmp(handler.jump, 1);
}

jpeg_error_mgr* installJpegErrorHandler(JpegErrorHandler& handler) {
    jpeg_std_error(&handler.pub);
    handler.pub.error_exit = failAndJump;
    handler.pub.emit_message = emitMessage;
    handler.pub.output_message = outputNothing;
    handler.message[0] = '\0';
    handler.endedEarly = false;
    return &handler.pub;
}

void throwIfJpegOutOfMemory(const JpegErrorHandler& handler) {
    const int code = handler.pub.msg_code;
    if (code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE)
        throw std::bad_alloc();
}

std::string jpegFailureReason(const JpegErrorHandler& handler) {
    if (handler.endedEarly)
        return "JPEG: file ends early";
    throwIfJpegOutOfMemory(handler);
    return std::string("JPEG: ") + handler.message;
}

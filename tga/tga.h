#pragma once

#include "image/image.h"

class ByteSource;

#include <cstddef>
#include <cstdint>

// TGA files in and out of memory images.
//
// The reader accepts colour-mapped, true-colour and grey-scale images (types 1, 2, 3 and their run-length
// encoded forms 9, 10, 11), all four origins, and premultiplies colour by alpha while decoding. The writer
// always produces one variant: uncompressed 32-bit true colour with 8 alpha bits, bottom-left origin,
// straight (not premultiplied) colour. Neither prints anything; the reason for a failure is left in
// TgaError for the caller to report.

// Codes of TgaError, in the order in which the reader checks a file.
namespace TgaCode {
enum : int {
    NoError = 0,
    BadImageHeader = 1,
    CannotOpenFile = 2,
    BadFormatArgument = 3,
    UnexpectedEndOfFile = 4,
    NoImageData = 5,
    ColormapForGrayscale = 6,
    UnsupportedColormapEntrySize = 7,
    BadColormap = 8,
    CannotReadFromFile = 9,
    UnknownImageType = 10,
    ZeroSizeImage = 11,
};
} // namespace TgaCode

// Code of the last failure of the TGA reader or writer; 0 at start-up. Success never changes it.
extern int TgaError;

// The message for a code: the fixed text for 0..11, "unknown error" for anything else.
const char* tgaErrorMessage(std::uint32_t code);

// Loads a TGA file as an image with its top row first. Returns null with TgaError set when the file
// cannot be opened or is not a readable TGA image. Throws std::bad_alloc when the image does not fit in
// memory.
ImagePtr loadImage(const char* path);

// Decodes a TGA file held in memory, exactly as loadImage decodes the same bytes read from a seekable file.
ImagePtr decodeTga(const std::uint8_t* data, std::size_t size);

// Decodes a TGA file from a source positioned at its start. A `whole` file must hold all its pixels: one
// that ends before them is refused (TgaError UnexpectedEndOfFile), before any pixel is allocated where the
// size of the file tells; otherwise the missing pixels read as zero bytes.
ImagePtr decodeTga(ByteSource& source, bool whole = false);

// The largest width or height a TGA file can hold: its header has 16 bits for each.
constexpr std::uint32_t maxTgaSide = 65535;

enum class WriteResult {
    Ok,                 // the file is complete at the path
    TooLarge,           // width or height above 65535: no file was touched
    CannotOpen,         // the file could not be created (TgaError is set to CannotOpenFile)
    CannotWrite,        // a write, the close or the final rename failed; nothing was left at the path
    CannotWriteInPlace, // a file that could only be written in place failed part way: it is incomplete
};

// Writes the whole TGA file of an image (top row first in memory) to an open descriptor: header, image ID,
// then the rows bottom row first as straight colour. False when a write fails. The caller has checked that
// the sides fit (maxTgaSide).
bool encodeTga(const Image& image, int fd);

// Writes an image (top row first in memory) as a 32-bit TGA file. A regular file at the path (or at the end
// of a symbolic link there) is replaced only once the new file is complete: the pixels go to a temporary
// file in the same folder, which is renamed over the target on success and removed on failure. A target
// that exists and is not a regular file (a device, a pipe) is written in place.
WriteResult writeImage(const char* path, const Image& image);

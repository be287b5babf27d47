#pragma once

#include "formats/png_chunks.h"

#include "image/image.h"
#include "system/byte_source.h"

#include <string>

namespace png {

// Reads a PNG file that is not of the common kind through the PNG library. The source is at the start of
// the file (the library reads the signature itself); `h` is its header, already checked.
ImagePtr decodeWithLibrary(ByteSource& source, const Header& h, std::string& reason);

} // namespace png

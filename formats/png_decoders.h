#pragma once

#include "formats/found_metadata.h"
#include "formats/png_chunks.h"

#include "image/image.h"
#include "system/byte_source.h"

#include <string>

namespace png {

// Reads a PNG file that is not of the common kind through the PNG library. The source is at the start of
// the file (the library reads the signature itself); `h` is its header, already checked. The metadata chunks
// are taken from the bytes as the library reads them, by the same code as the program's own reader's.
ImagePtr decodeWithLibrary(ByteSource& source, const Header& h, std::string& reason, FoundMetadata& found);

} // namespace png

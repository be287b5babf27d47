#pragma once

#include "formats/found_metadata.h"
#include "image/image.h"
#include "system/byte_source.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// Every image format the program knows, one row each: what it is called, how a file of it is told by its
// first bytes, the words that choose it in a written file's name, the extensions its files carry, its
// reader and writer, the largest image it holds and what metadata it carries. Reading, writing, --help,
// the language reference and the batch driver all go by this table, so a new format is its own files and
// one row here.

// Which blocks of an image's metadata a format keeps in the files it writes.
enum MetadataCarried : unsigned {
    CarriesNone = 0,
    CarriesIcc = 1,
    CarriesExif = 2,
    CarriesXmp = 4,
    CarriesAll = CarriesIcc | CarriesExif | CarriesXmp,
};

using FormatMatcher = bool (*)(const std::uint8_t* head, std::size_t size);
using FormatDecoder = ImagePtr (*)(ByteSource& source, std::string& reason, FoundMetadata& found);
// quality: 1 to 100 for a lossy format given one, the row's default quality otherwise (0: lossless).
using FormatEncoder = bool (*)(const Image& image, int quality, int fd);

struct ImageFormat {
    const char* name;       // "PNG": as --help and the reference name it, and as a refusal names it
    const char* prefixes;   // the words that choose it before a colon in a written name, blank-separated
    const char* extensions; // the extensions of its files in lower case, blank-separated, without the dot
    // Tells a file of this format from its first bytes (as many as ByteSource::peek gives). Null for TGA,
    // which is read when no row matches, and for the rows that only write.
    FormatMatcher matches;
    // Null in a row that matches: the file is refused by name, "NAME files are not supported".
    FormatDecoder decode;
    FormatEncoder encode;  // null when the program does not write the format
    int defaultQuality;    // -1: no quality in the prefix; otherwise the quality without digits (0 lossless)
    std::uint32_t maxSide; // the largest width and height a file holds
    unsigned metadata;     // MetadataCarried bits
};

// The rows, in the order files are matched against them (the first match wins); TGA, the fallback, last.
std::span<const ImageFormat> imageFormats();

// The row whose prefixes hold `word` (any letter case), or null.
const ImageFormat* formatByPrefix(const char* word, std::size_t length);

// The row of TGA, which reads every file no other row matches.
const ImageFormat& tgaFormat();

// The extensions of the files `read` takes, each once, in table order, blank-separated (the batch driver's
// list).
std::string readableExtensions();

// The lines --help shows about formats, wrapped at 80 columns.
std::string formatsHelp();

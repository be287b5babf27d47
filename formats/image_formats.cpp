#include "formats/image_formats.h"

#include "formats/bmp.h"
#include "formats/codecs.h"
#include "formats/gif.h"
#include "formats/heif.h"
#include "formats/named_formats.h"
#include "formats/tiff.h"
#include "tga/tga.h"

#include <array>
#include <cstring>
#include <strings.h>

namespace {

ImagePtr decodePnmFound(ByteSource& source, std::string& reason, FoundMetadata& /*found*/) {
    return decodePnm(source, reason);
}

ImagePtr decodeGifFound(ByteSource& source, std::string& reason, FoundMetadata& /*found*/) {
    return decodeGif(source, reason);
}
ImagePtr decodeBmpFound(ByteSource& source, std::string& reason, FoundMetadata& /*found*/) {
    return decodeBmp(source, reason);
}

bool encodeTiffFile(const Image& image, int /*quality*/, int fd) {
    return encodeTiff(image, fd);
}
bool encodeTgaFile(const Image& image, int /*quality*/, int fd) {
    return encodeTga(image, fd);
}
bool encodePngFile(const Image& image, int /*quality*/, int fd) {
    return encodePng(image, fd);
}
bool encodePamFile(const Image& image, int /*quality*/, int fd) {
    return encodePnm(image, PnmKind::Pam, fd);
}
bool encodePpmFile(const Image& image, int /*quality*/, int fd) {
    return encodePnm(image, PnmKind::Ppm, fd);
}
bool encodePgmFile(const Image& image, int /*quality*/, int fd) {
    return encodePnm(image, PnmKind::Pgm, fd);
}

constexpr std::uint32_t anySide = 0x7FFFFFFF;
constexpr int noQuality = -1;
constexpr int lossless = 0;
constexpr int defaultJpegQuality = 90;
// avif: without digits: a middle setting of the AV1 encoder's range.
constexpr int defaultAvifQuality = 60;

// The rows. Reading tries each matcher in this order: the formats read, then those refused by name; TGA,
// with no signature of its own, takes every other file.
const ImageFormat formats[] = {
    {"PNG", "png", "png", matchesPng, decodePng, encodePngFile, noQuality, anySide, CarriesAll},
    {"JPEG", "jpg jpeg", "jpg jpeg", matchesJpeg, decodeJpeg, encodeJpeg, defaultJpegQuality, 65500,
     CarriesAll},
    {"WebP", "webp", "webp", matchesWebp, decodeWebp, encodeWebp, lossless, 16383, CarriesAll},
    {"PNM/PAM", "pam", "pam pnm pbm pgm ppm", matchesPnm, decodePnmFound, encodePamFile, noQuality, anySide,
     CarriesNone},
    {"PPM", "ppm", "ppm", nullptr, nullptr, encodePpmFile, noQuality, anySide, CarriesNone},
    {"PGM", "pgm", "pgm", nullptr, nullptr, encodePgmFile, noQuality, anySide, CarriesNone},
    {"TIFF", "tif tiff", "tif tiff", matchesTiff, decodeTiff, encodeTiffFile, noQuality, anySide,
     CarriesIcc | CarriesXmp},
    {"HEIF/AVIF", "avif", "heic heif hif avif", matchesHeif, decodeHeif, encodeAvif, defaultAvifQuality,
     maxAvifSide, CarriesAll},
    {"GIF", "", "gif", matchesGif, decodeGifFound, nullptr, noQuality, 0, CarriesNone},
    {"BMP", "", "bmp dib", matchesBmp, decodeBmpFound, nullptr, noQuality, 0, CarriesNone},
    {"ICO", "", "ico", matchesIco, nullptr, nullptr, noQuality, 0, CarriesNone},
    {"PSD", "", "psd", matchesPsd, nullptr, nullptr, noQuality, 0, CarriesNone},
    {"PDF", "", "pdf", matchesPdf, nullptr, nullptr, noQuality, 0, CarriesNone},
    {"PostScript", "", "ps eps", matchesPostScript, nullptr, nullptr, noQuality, 0, CarriesNone},
    {"SVG", "", "svg", matchesSvg, nullptr, nullptr, noQuality, 0, CarriesNone},
    {"JPEG XL", "", "jxl", matchesJpegXl, nullptr, nullptr, noQuality, 0, CarriesNone},
    {"JPEG 2000", "", "jp2 j2k", matchesJpeg2000, nullptr, nullptr, noQuality, 0, CarriesNone},
    {"OpenEXR", "", "exr", matchesOpenExr, nullptr, nullptr, noQuality, 0, CarriesNone},
    {"camera raw", "", "crw cr3 raf orf rw2 mrw x3f", matchesCameraRaw, nullptr, nullptr, noQuality, 0,
     CarriesNone},
    {"QOI", "", "qoi", matchesQoi, nullptr, nullptr, noQuality, 0, CarriesNone},
    {"XCF", "", "xcf", matchesXcf, nullptr, nullptr, noQuality, 0, CarriesNone},
    {"TGA", "tga", "tga", nullptr, nullptr, encodeTgaFile, noQuality, maxTgaSide, CarriesNone},
};

// Calls `each` with every blank-separated word of `words` (pointer and length).
template <typename F> void forEachWord(const char* words, F each) {
    while (*words != '\0') {
        while (*words == ' ')
            ++words;
        const char* end = words;
        while (*end != '\0' && *end != ' ')
            ++end;
        if (end > words)
            each(words, static_cast<std::size_t>(end - words));
        words = end;
    }
}

// Appends `text` to `out`, wrapping at 80 columns: a word that would pass the edge starts a new line.
void appendWrapped(std::string& out, const std::string& text) {
    std::size_t column = 0;
    forEachWord(text.c_str(), [&](const char* word, std::size_t length) {
        if (column > 0 && column + 1 + length > 79) {
            out += '\n';
            column = 0;
        } else if (column > 0) {
            out += ' ';
            ++column;
        }
        out.append(word, length);
        column += length;
    });
    out += '\n';
}

} // namespace

std::span<const ImageFormat> imageFormats() {
    return formats;
}

const ImageFormat& tgaFormat() {
    return formats[std::size(formats) - 1];
}

const ImageFormat* formatByPrefix(const char* word, std::size_t length) {
    for (const ImageFormat& format : formats) {
        bool found = false;
        forEachWord(format.prefixes, [&](const char* prefix, std::size_t n) {
            found = found || (n == length && strncasecmp(prefix, word, n) == 0);
        });
        if (found)
            return &format;
    }
    return nullptr;
}

std::string readableExtensions() {
    std::string list;
    for (const ImageFormat& format : formats) {
        if (format.decode == nullptr && &format != &tgaFormat())
            continue;
        forEachWord(format.extensions, [&](const char* word, std::size_t n) {
            const std::string extension(word, n);
            if ((" " + list + " ").find(" " + extension + " ") != std::string::npos)
                return;
            if (!list.empty())
                list += ' ';
            list += extension;
        });
    }
    return list;
}

std::string formatsHelp() {
    std::string out = "Formats: read tells a file's format by its content and turns a photo upright\n"
                      "as its EXIF orientation says; write takes the format its file name starts\n"
                      "with (png:out, jpg85:out.jpg with a quality), else the one its extension\n"
                      "names (out.png, OUT.JPG), else TGA; a JPEG read is written back as JPEG at\n"
                      "its own quality unless the name gives one:\n";
    std::string refused;
    for (const ImageFormat& format : formats) {
        const bool reads = format.decode != nullptr || &format == &tgaFormat();
        if (!reads && format.encode == nullptr) {
            refused += std::string(refused.empty() ? "" : ", ") + format.name;
            continue;
        }
        std::string line = std::string("  ") + format.name;
        line.resize(13, ' ');
        line += reads ? "read" : "    ";
        if (format.encode != nullptr) {
            line += reads ? ", write" : "  write";
            forEachWord(format.prefixes, [&](const char* prefix, std::size_t n) {
                line += ' ';
                line.append(prefix, n);
                line += ':';
            });
            if (format.defaultQuality > 0)
                line += " (quality " + std::to_string(format.defaultQuality) + " without)";
            else if (format.defaultQuality == 0)
                line += " (lossless without a quality)";
        }
        out += line + '\n';
    }
    appendWrapped(out, "Refused by name: " + refused + ".");
    return out;
}

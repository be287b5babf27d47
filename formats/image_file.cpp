#include "formats/image_file.h"

#include "formats/codecs.h"
#include "system/byte_source.h"
#include "system/file_replacement.h"
#include "system/standard_output.h"
#include "tga/tga.h"

#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace {

enum class Format { Tga, Png, Jpeg, Webp, Pam, Ppm, Pgm };

// A file name as `write` takes it: the format, the quality of a lossy format (0 when none was given), and
// the path that remains once the prefix is taken off.
struct OutputName {
    Format format = Format::Tga;
    int quality = 0;
    const char* path = nullptr;
};

struct PrefixWord {
    const char* word;
    Format format;
    bool takesQuality;
};
constexpr PrefixWord prefixWords[] = {
    {"tga", Format::Tga, false},  {"png", Format::Png, false},  {"jpg", Format::Jpeg, true},
    {"jpeg", Format::Jpeg, true}, {"webp", Format::Webp, true}, {"pam", Format::Pam, false},
    {"ppm", Format::Ppm, false},  {"pgm", Format::Pgm, false},
};

// A file that may be written but not replaced is written in place; when that fails part way the file is
// left incomplete, and the message says so.
constexpr const char* writtenInPlace = "cannot write to file in place: it is incomplete";

constexpr int defaultJpegQuality = 90;
constexpr int lowestQuality = 1;
constexpr int highestQuality = 100;
// A quality in a name has at most this many digits (100 needs three; leading zeros count).
constexpr std::size_t qualityDigits = 3;

// The prefix at the start of a name: a known format word in any letter case, for jpg, jpeg and webp
// followed by up to three digits of quality, then a colon. `quality` is -1 when no digits were given.
struct Prefix {
    Format format;
    int quality;
    std::size_t length; // up to and including the colon
};

std::optional<Prefix> findPrefix(const char* name) {
    for (const PrefixWord& w : prefixWords) {
        const std::size_t n = std::strlen(w.word);
        if (strncasecmp(name, w.word, n) != 0)
            continue;
        std::size_t at = n;
        int quality = -1;
        if (w.takesQuality) {
            while (at - n < qualityDigits && std::isdigit(static_cast<unsigned char>(name[at])) != 0) {
                quality = (quality < 0 ? 0 : quality * 10) + (name[at] - '0');
                ++at;
            }
        }
        if (name[at] == ':')
            return Prefix{w.format, quality, at + 1};
    }
    return std::nullopt;
}

// Splits the name a write line gives. False with a reason when the prefix asks for a quality outside 1..100.
bool parseOutputName(const char* name, OutputName& out, std::string& reason) {
    out = OutputName{Format::Tga, 0, name};
    const std::optional<Prefix> prefix = findPrefix(name);
    if (!prefix)
        return true;
    const bool qualityGiven = prefix->quality >= 0;
    if (qualityGiven && (prefix->quality < lowestQuality || prefix->quality > highestQuality)) {
        reason = "quality must be 1 to 100";
        return false;
    }
    out.format = prefix->format;
    out.quality = prefix->quality;
    if (out.format == Format::Jpeg && out.quality < 0)
        out.quality = defaultJpegQuality;
    if (out.quality < 0)
        out.quality = 0; // WebP without a quality is lossless
    out.path = name + prefix->length;
    return true;
}

// The largest width and height each format can hold, and a name for its limit in messages.
struct SideLimit {
    std::uint64_t side;
    const char* text;
};
SideLimit sideLimit(Format format) {
    switch (format) {
    case Format::Tga:
        return {maxTgaSide, "width or height above 65535"};
    case Format::Jpeg:
        return {65500, "width or height above 65500"};
    case Format::Webp:
        return {16383, "width or height above 16383"};
    case Format::Png:
    case Format::Pam:
    case Format::Ppm:
    case Format::Pgm:
        break;
    }
    return {0x7FFFFFFF, "width or height above 2147483647"};
}

bool encode(const Image& image, const OutputName& name, int fd) {
    switch (name.format) {
    case Format::Tga:
        return encodeTga(image, fd);
    case Format::Png:
        return encodePng(image, fd);
    case Format::Jpeg:
        return encodeJpeg(image, name.quality, fd);
    case Format::Webp:
        return encodeWebp(image, name.quality, fd);
    case Format::Pam:
        return encodePnm(image, PnmKind::Pam, fd);
    case Format::Ppm:
        return encodePnm(image, PnmKind::Ppm, fd);
    case Format::Pgm:
        return encodePnm(image, PnmKind::Pgm, fd);
    }
    return false;
}

LoadResult decodeFrom(ByteSource& source, bool whole) {
    const std::size_t n = source.peek(ByteSource::peekLimit);
    const std::uint8_t* head = source.data();
    LoadResult result;
    FoundMetadata found;
    if (matchesPng(head, n))
        result.image = decodePng(source, result.reason, found);
    else if (matchesJpeg(head, n))
        result.image = decodeJpeg(source, result.reason, found);
    else if (matchesWebp(head, n))
        result.image = decodeWebp(source, result.reason, found);
    else if (matchesPnm(head, n))
        result.image = decodePnm(source, result.reason);
    else if ((result.image = decodeTga(source, whole)) == nullptr)
        result.reason = tgaErrorMessage(static_cast<std::uint32_t>(TgaError));
    // A file whose reading failed part way is not read at all, whatever the decoder made of what came
    // before: a TGA file that seems to end early would otherwise load with the rest black.
    if (source.failed()) {
        TgaError = TgaCode::CannotReadFromFile;
        return {nullptr, tgaErrorMessage(TgaCode::CannotReadFromFile), source.error()};
    }
    return result;
}

// Closes a file descriptor when the read ends, however it ends.
struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
};

} // namespace

LoadResult loadImageFile(const char* name, bool whole) {
    const std::optional<Prefix> prefix = findPrefix(name);
    const char* path = prefix ? name + prefix->length : name;
    const int fd = namesStandardInput(path) ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                                            : ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        TgaError = TgaCode::CannotOpenFile;
        return {nullptr, tgaErrorMessage(TgaCode::CannotOpenFile), errno};
    }
    FdCloser closer{fd};
    // Read in blocks straight from the descriptor; a pipe, which cannot seek, skips by reading.
    const bool seekable = ::lseek(fd, 0, SEEK_CUR) != -1;
    ByteSource source(fd, seekable);
    return decodeFrom(source, whole);
}

LoadResult decodeImageFile(const std::uint8_t* data, std::size_t size) {
    ByteSource source(data, size);
    return decodeFrom(source, false);
}

std::string saveImageFile(const char* name, const Image& image, int* systemError) {
    if (systemError != nullptr)
        *systemError = 0;
    OutputName output;
    std::string reason;
    if (!parseOutputName(name, output, reason))
        return reason;
    const SideLimit limit = sideLimit(output.format);
    if (image.width > limit.side || image.height > limit.side)
        return limit.text;
    // A TGA file holds an empty image (its header and nothing after it); the other formats cannot.
    if (output.format != Format::Tga && (image.width == 0 || image.height == 0))
        return tgaErrorMessage(TgaCode::ZeroSizeImage);
    const ReplaceResult result = replaceFile(
        output.path, [&](int fd) { return encode(image, output, fd); }, systemError);
    if (result == ReplaceResult::CannotOpen && output.format == Format::Tga)
        TgaError = TgaCode::CannotOpenFile;
    switch (result) {
    case ReplaceResult::Ok:
        return {};
    case ReplaceResult::CannotOpen:
        return "cannot open file";
    case ReplaceResult::CannotWriteInPlace:
        return writtenInPlace;
    case ReplaceResult::CannotWrite:
        break;
    }
    return "cannot write to file";
}

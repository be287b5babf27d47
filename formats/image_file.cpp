#include "formats/image_file.h"

#include "formats/codecs.h"
#include "formats/exif_orientation.h"
#include "formats/heif.h"
#include "formats/image_formats.h"
#include "formats/scaled_decoders.h"
#include "image/orientation.h"
#include "system/byte_source.h"
#include "system/file_replacement.h"
#include "system/standard_output.h"
#include "tga/tga.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace {

// A file name as `write` takes it: the format, the quality of a lossy format (its default when none was
// given), and the path that remains once the prefix is taken off.
struct OutputName {
    const ImageFormat* format = nullptr;
    int quality = 0;
    bool qualityGiven = false;
    const char* path = nullptr;
};

// A file that may be written but not replaced is written in place; when that fails part way the file is
// left incomplete, and the message says so.
constexpr const char* writtenInPlace = "cannot write to file in place: it is incomplete";

constexpr int lowestQuality = 1;
constexpr int highestQuality = 100;
// A quality in a name has at most this many digits (100 needs three; leading zeros count).
constexpr std::size_t qualityDigits = 3;

// The prefix at the start of a name: a format's word in any letter case, for a format that takes a
// quality followed by up to three digits of it, then a colon. `quality` is -1 when no digits were given.
struct Prefix {
    const ImageFormat* format;
    int quality;
    std::size_t length; // up to and including the colon
};

std::optional<Prefix> findPrefix(const char* name) {
    std::size_t letters = 0;
    while (std::isalpha(static_cast<unsigned char>(name[letters])) != 0)
        ++letters;
    const ImageFormat* format = letters == 0 ? nullptr : formatByPrefix(name, letters);
    if (format == nullptr)
        return std::nullopt;
    std::size_t at = letters;
    int quality = -1;
    if (format->defaultQuality >= 0) {
        while (at - letters < qualityDigits && std::isdigit(static_cast<unsigned char>(name[at])) != 0) {
            quality = (quality < 0 ? 0 : quality * 10) + (name[at] - '0');
            ++at;
        }
    }
    if (name[at] != ':')
        return std::nullopt;
    return Prefix{format, quality, at + 1};
}

// The format a name's extension chooses: the writing row one of whose prefix words is the extension, in any
// letter case; null when there is none. The extension is what follows the last dot of the last part of the
// path, a dot that starts the part aside (".png" alone is a hidden file without an extension). It chooses
// no quality: "out.jpg85" has the extension "jpg85", which no row takes.
const ImageFormat* formatByExtension(const char* path) {
    const char* part = std::strrchr(path, '/');
    part = part == nullptr ? path : part + 1;
    const char* dot = std::strrchr(part, '.');
    if (dot == nullptr || dot == part || dot[1] == '\0')
        return nullptr;
    const ImageFormat* format = formatByPrefix(dot + 1, std::strlen(dot + 1));
    return format != nullptr && format->encode != nullptr ? format : nullptr;
}

// Splits the name a write line gives: a prefix chooses the format, or else the name's extension does, or
// else the file is TGA. False with a reason when the prefix asks for a quality outside 1..100.
bool parseOutputName(const char* name, OutputName& out, std::string& reason) {
    out = OutputName{&tgaFormat(), 0, false, name};
    const std::optional<Prefix> prefix = findPrefix(name);
    if (!prefix) {
        if (const ImageFormat* format = formatByExtension(name)) {
            out.format = format;
            out.quality = std::max(format->defaultQuality, 0);
        }
        return true;
    }
    const bool qualityGiven = prefix->quality >= 0;
    if (qualityGiven && (prefix->quality < lowestQuality || prefix->quality > highestQuality)) {
        reason = "quality must be 1 to 100";
        return false;
    }
    out.format = prefix->format;
    out.quality = qualityGiven ? prefix->quality : std::max(prefix->format->defaultQuality, 0);
    out.qualityGiven = qualityGiven;
    out.path = name + prefix->length;
    return true;
}

// The image's metadata from what the reader found, with the picture turned upright as its EXIF orientation
// says (unless the reader turned it already) and the orientation then recorded as 1.
void settleMetadata(ImagePtr& image, FoundMetadata& found) {
    const int orientation = exifOrientation(found.exif);
    if (orientation > 0) {
        if (!found.upright && orientation != 1) {
            const int quality = image->sourceQuality;
            image = orientedImage(*image, orientation);
            image->sourceQuality = quality;
        }
        markExifUpright(found.exif);
    }
    image->metadata = makeMetadata(std::move(found.icc), std::move(found.exif), std::move(found.xmp));
}

// A decoding shrunk for a box: the box (null for the whole picture).
LoadResult decodeFrom(ByteSource& source, bool whole, const FitSize* box = nullptr) {
    const std::size_t n = source.peek(ByteSource::peekLimit);
    const std::uint8_t* head = source.data();
    LoadResult result;
    FoundMetadata found;
    const ImageFormat* format = nullptr;
    for (const ImageFormat& f : imageFormats()) {
        if (f.matches != nullptr && f.matches(head, n)) {
            format = &f;
            break;
        }
    }
    if (format != nullptr && format->decode == nullptr)
        return {nullptr, std::string(format->name) + " files are not supported", 0, {}};
    // The stored size of a picture a decoder shrank (0 x 0: not shrunk).
    FitSize stored{0, 0};
    if (format != nullptr && box != nullptr && format->decode == decodeJpeg)
        result.image = decodeJpegScaled(source, result.reason, found, box->width, box->height, stored);
    else if (format != nullptr && box != nullptr && format->decode == decodeWebp)
        result.image = decodeWebpScaled(source, result.reason, found, box->width, box->height, stored);
    else if (format != nullptr && box != nullptr && format->decode == decodeHeif)
        // A thumbnail the file holds that covers the whole box, else the primary picture.
        result.image = decodeHeifThumbnail(source, result.reason, found, box->width, box->height);
    else if (format != nullptr)
        result.image = format->decode(source, result.reason, found);
    else if ((result.image = decodeTga(source, whole)) == nullptr)
        result.reason = tgaErrorMessage(static_cast<std::uint32_t>(TgaError));
    // A file whose reading failed part way is not read at all, whatever the decoder made of what came
    // before: a TGA file that seems to end early would otherwise load with the rest black.
    if (source.failed()) {
        TgaError = TgaCode::CannotReadFromFile;
        return {nullptr, tgaErrorMessage(TgaCode::CannotReadFromFile), source.error(), {}};
    }
    if (result.image != nullptr) {
        result.notes = std::move(found.notes);
        const int orientation = exifOrientation(found.exif);
        const bool turns = !found.upright && orientation >= 5 && orientation <= 8;
        settleMetadata(result.image, found);
        if (stored.width == 0)
            stored = {result.image->width, result.image->height};
        else if (turns)
            stored = {stored.height, stored.width};
        result.fullWidth = stored.width;
        result.fullHeight = stored.height;
    }
    return result;
}

// Closes a file descriptor when the read ends, however it ends.
struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
};

} // namespace

namespace {

LoadResult loadFile(const char* name, bool whole, const FitSize* box) {
    const std::optional<Prefix> prefix = findPrefix(name);
    const char* path = prefix ? name + prefix->length : name;
    const int fd = namesStandardInput(path) ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                                            : ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        TgaError = TgaCode::CannotOpenFile;
        return {nullptr, tgaErrorMessage(TgaCode::CannotOpenFile), errno, {}};
    }
    FdCloser closer{fd};
    // Read in blocks straight from the descriptor; a pipe, which cannot seek, skips by reading.
    const bool seekable = ::lseek(fd, 0, SEEK_CUR) != -1;
    ByteSource source(fd, seekable);
    return decodeFrom(source, whole, box);
}

} // namespace

LoadResult loadImageFile(const char* name, bool whole) {
    return loadFile(name, whole, nullptr);
}

LoadResult loadImageFileScaled(const char* name, std::uint32_t boxWidth, std::uint32_t boxHeight,
                               bool whole) {
    const FitSize box{boxWidth, boxHeight};
    return loadFile(name, whole, &box);
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
    const ImageFormat& format = *output.format;
    // A JPEG read and written back as JPEG without a quality keeps the quality it came with, so that it
    // comes back about the size it was rather than at the default quality.
    if (!output.qualityGiven && format.encode == encodeJpeg && image.sourceQuality > 0)
        output.quality = image.sourceQuality;
    if (image.width > format.maxSide || image.height > format.maxSide)
        return "width or height above " + std::to_string(format.maxSide);
    // A TGA file holds an empty image (its header and nothing after it); the other formats cannot.
    const bool tga = &format == &tgaFormat();
    if (!tga && (image.width == 0 || image.height == 0))
        return tgaErrorMessage(TgaCode::ZeroSizeImage);
    const ReplaceResult result = replaceFile(
        output.path, [&](int fd) { return format.encode(image, output.quality, fd); }, systemError);
    if (result == ReplaceResult::CannotOpen && tga)
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

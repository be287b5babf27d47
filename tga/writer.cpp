#include "tga/convert.h"
#include "tga/tga.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The fixed file layout: an 18-byte header for uncompressed true colour, 32 bits per pixel with 8 alpha
// bits and the first row at the bottom, then a 21-byte image-ID text, then the pixels as blue, green,
// red, alpha. Nothing follows the pixels.
constexpr char imageIdText[] = "written with pixelkit";
constexpr std::size_t imageIdLength = sizeof imageIdText - 1;
constexpr std::size_t headerSize = 18;
constexpr std::uint8_t trueColorType = 2;
constexpr std::uint8_t bitsPerPixel = 32;
constexpr std::uint8_t descriptorAlpha8BottomLeft = 8;
constexpr std::uint32_t maxSide = 65535;

constexpr std::size_t chunkSize = std::size_t{1} << 20;
constexpr int maxLinkHops = 40;
constexpr std::size_t linkTextLimit = 4096;

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

// Writes the whole file to fd: header, image ID, then the rows bottom row first, each pixel converted
// back to straight colour. The pixels are converted a chunk at a time (a row never exceeds a chunk, and
// a small image needs no more than its file size).
bool writeTgaTo(int fd, const Image& image) {
    const std::size_t fileSize = headerSize + imageIdLength + image.byteCount();
    std::vector<std::uint8_t> chunk(std::min(chunkSize, fileSize));
    std::uint8_t* h = chunk.data();
    std::memset(h, 0, headerSize);
    h[0] = static_cast<std::uint8_t>(imageIdLength);
    h[2] = trueColorType;
    h[12] = static_cast<std::uint8_t>(image.width);
    h[13] = static_cast<std::uint8_t>(image.width >> 8);
    h[14] = static_cast<std::uint8_t>(image.height);
    h[15] = static_cast<std::uint8_t>(image.height >> 8);
    h[16] = bitsPerPixel;
    h[17] = descriptorAlpha8BottomLeft;
    std::memcpy(h + headerSize, imageIdText, imageIdLength);
    std::size_t used = headerSize + imageIdLength;

    const ConversionTables& t = conversionTables();
    const std::size_t rowBytes = image.rowBytes();
    for (std::uint32_t row = image.height; row-- > 0;) {
        if (chunk.size() - used < rowBytes) {
            if (!writeAll(fd, chunk.data(), used))
                return false;
            used = 0;
        }
        const std::uint8_t* in = image.pixel(0, row);
        std::uint8_t* out = chunk.data() + used;
        for (std::uint32_t x = 0; x < image.width; ++x, in += 4, out += 4) {
            const std::uint8_t* straight = t.straightColour + std::size_t{in[3]} * 256;
            out[0] = straight[in[2]];
            out[1] = straight[in[1]];
            out[2] = straight[in[0]];
            out[3] = t.straightAlpha[in[3]];
        }
        used += rowBytes;
    }
    return writeAll(fd, chunk.data(), used);
}

// Follows symbolic links from path to the file they finally name, which need not exist yet. False when
// the links loop or cannot be read.
bool followLinks(std::string& path) {
    for (int hop = 0; hop < maxLinkHops; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return true;
        std::vector<char> text(linkTextLimit + 1);
        const ssize_t length = ::readlink(path.c_str(), text.data(), text.size());
        if (length < 0 || static_cast<std::size_t>(length) >= text.size())
            return false;
        const std::string link(text.data(), static_cast<std::size_t>(length));
        const std::size_t slash = path.rfind('/');
        if (link.starts_with('/') || slash == std::string::npos)
            path = link;
        else
            path = path.substr(0, slash + 1) + link;
    }
    return false;
}

// The name of the temporary file beside target: target's name followed by a unique suffix. A name near
// the longest a folder entry may have is shortened first, so that every name that can be written can
// also be written through a temporary file.
std::string temporaryName(const std::string& target) {
    constexpr char suffix[] = ".tmpXXXXXX";
    constexpr std::size_t suffixLength = sizeof suffix - 1;
    const std::size_t slash = target.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t nameLength = target.size() - nameStart;
    const std::size_t keep = std::min(nameLength, std::size_t{NAME_MAX} - suffixLength);
    return target.substr(0, nameStart + keep) + suffix;
}

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

WriteResult cannotOpen() {
    TgaError = TgaCode::CannotOpenFile;
    return WriteResult::CannotOpen;
}

// A target that is not a regular file (a device, a pipe) cannot be replaced: it is opened and written.
WriteResult writeInPlace(const std::string& target, const Image& image) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return cannotOpen();
    const bool written = writeTgaTo(fd, image);
    const bool closed = ::close(fd) == 0;
    return written && closed ? WriteResult::Ok : WriteResult::CannotWrite;
}

} // namespace

WriteResult writeImage(const char* path, const Image& image) {
    // The header holds 16 bits of each side: a larger image would be written with a wrong size.
    if (image.width > maxSide || image.height > maxSide)
        return WriteResult::TooLarge;
    std::string target = path;
    if (target.empty() || !followLinks(target))
        return cannotOpen();

    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode))
        return writeInPlace(target, image);
    // Replacing a file by rename needs no write access to the file itself; keep refusing a file that
    // could not be opened for writing.
    if (exists && ::access(target.c_str(), W_OK) != 0)
        return cannotOpen();

    // The new file is built beside the target, so that the rename that replaces it is atomic and a failed
    // write never leaves a partial file at the path or harms the file that stood there.
    std::string temporary = temporaryName(target);
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return cannotOpen();
    (void)::fchmod(fd, exists ? (existing.st_mode & 07777) : newFileMode());
    const bool written = writeTgaTo(fd, image);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return WriteResult::CannotWrite;
    }
    return WriteResult::Ok;
}

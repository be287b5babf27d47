#include "tga/convert.h"
#include "tga/header.h"
#include "tga/tga.h"

#include <algorithm>
#include <bit>
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
constexpr std::uint8_t bitsPerPixel = 32;
constexpr std::uint8_t alphaBits = 8;

constexpr std::size_t chunkSize = std::size_t{1} << 20;
constexpr int maxLinkHops = 40;
constexpr std::size_t linkTextLimit = 4096;

// An open file descriptor, closed at the end of its scope unless closed before.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    ~FileDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    // Closes now and tells whether the close succeeded (a delayed write error shows up here).
    bool close() {
        const int closing = fd;
        fd = -1;
        return ::close(closing) == 0;
    }

private:
    int fd;
};

// The name of a temporary file that exists, removed at the end of its scope unless committed by renaming
// it over its target.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string pathOfCreatedFile) : path(std::move(pathOfCreatedFile)) {}
    ~TemporaryFile() {
        if (!committed)
            ::unlink(path.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool renameTo(const std::string& target) {
        committed = ::rename(path.c_str(), target.c_str()) == 0;
        return committed;
    }

private:
    std::string path;
    bool committed = false;
};

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            return false; // EFBIG, EPIPE, ENOSPC, EIO...: the caller discards the file
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

void convertPixel(const std::uint8_t* in, std::uint8_t* out, const ConversionTables& t) {
    const std::uint8_t alpha = in[3];
    if (alpha == 255) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    } else {
        const std::uint8_t* straight = t.straightColour + std::size_t{alpha} * 256;
        out[0] = straight[in[2]];
        out[1] = straight[in[1]];
        out[2] = straight[in[0]];
    }
    out[3] = t.straightAlpha[alpha];
}

// One row of the image converted back to straight colour in the file's channel order. Two opaque pixels
// at a time only exchange red and blue; the others go through the tables.
void convertRow(const std::uint8_t* in, std::uint8_t* out, std::uint32_t width, const ConversionTables& t) {
    std::uint32_t x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t alphas = 0xFF000000FF000000u;
        constexpr std::uint64_t greenAlpha = 0xFF00FF00FF00FF00u;
        constexpr std::uint64_t low = 0x000000FF000000FFu;
        for (; x + 2 <= width; x += 2, in += 8, out += 8) {
            std::uint64_t w;
            std::memcpy(&w, in, 8);
            if ((w & alphas) == alphas) {
                w = (w & greenAlpha) | ((w >> 16) & low) | ((w & low) << 16);
                std::memcpy(out, &w, 8);
            } else {
                convertPixel(in, out, t);
                convertPixel(in + 4, out + 4, t);
            }
        }
    }
    for (; x < width; ++x, in += 4, out += 4)
        convertPixel(in, out, t);
}

// The buffer the file is produced in, a chunk at a time (a row never exceeds a chunk, and a small image
// needs no more than its file size). It is allocated before any file is created, so that running out of
// memory leaves nothing behind.
std::vector<std::uint8_t> chunkFor(const Image& image) {
    return std::vector<std::uint8_t>(
        std::min(chunkSize, TgaHeader::size + imageIdLength + image.byteCount()));
}

// Writes the whole file to fd: header, image ID, then the rows bottom row first.
bool writeTgaTo(int fd, const Image& image, std::vector<std::uint8_t>& chunk) {
    TgaHeader h;
    h.idLength = static_cast<std::uint8_t>(imageIdLength);
    h.imageType = TgaType::TrueColor;
    h.width = static_cast<std::uint16_t>(image.width);
    h.height = static_cast<std::uint16_t>(image.height);
    h.pixelDepth = bitsPerPixel;
    h.descriptor = alphaBits; // origin bits 0: the first row is the bottom row, left to right
    const TgaHeader::Bytes header = h.encode();
    std::memcpy(chunk.data(), header.data(), header.size());
    std::memcpy(chunk.data() + header.size(), imageIdText, imageIdLength);
    std::size_t used = header.size() + imageIdLength;

    const ConversionTables& t = conversionTables();
    const std::size_t rowBytes = image.rowBytes();
    for (std::uint32_t row = image.height; row-- > 0;) {
        if (chunk.size() - used < rowBytes) {
            if (!writeAll(fd, chunk.data(), used))
                return false;
            used = 0;
        }
        convertRow(image.pixel(0, row), chunk.data() + used, image.width, t);
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
    std::vector<std::uint8_t> chunk = chunkFor(image);
    FileDescriptor file(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file.isOpen())
        return cannotOpen();
    const bool written = writeTgaTo(file.get(), image, chunk);
    const bool closed = file.close();
    return written && closed ? WriteResult::Ok : WriteResult::CannotWrite;
}

} // namespace

WriteResult writeImage(const char* path, const Image& image) {
    // The header holds 16 bits of each side: a larger image would be written with a wrong size.
    if (image.width > maxTgaSide || image.height > maxTgaSide)
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
    // write never leaves a partial file at the path or harms the file that stood there. Whatever ends the
    // write (an error, or an exception from a caller's memory), the descriptor is closed and the temporary
    // file removed unless the rename has committed it.
    std::vector<std::uint8_t> chunk = chunkFor(image);
    std::string name = temporaryName(target);
    FileDescriptor file(::mkostemp(name.data(), O_CLOEXEC));
    if (!file.isOpen())
        return cannotOpen();
    TemporaryFile temporary(name);
    (void)::fchmod(file.get(), exists ? (existing.st_mode & 07777) : newFileMode());
    const bool written = writeTgaTo(file.get(), image, chunk);
    const bool closed = file.close();
    if (!written || !closed || !temporary.renameTo(target))
        return WriteResult::CannotWrite;
    return WriteResult::Ok;
}

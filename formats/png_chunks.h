#pragma once

#include "system/byte_source.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The container of PNG files: an 8-byte signature, then chunks of a 4-byte big-endian data length, a
// 4-byte type, the data and a CRC-32 of type and data. The reader and the writer share what is here.
namespace png {

inline constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
inline constexpr std::size_t signatureSize = sizeof signature;
// The largest chunk data length a file may declare.
inline constexpr std::uint32_t maxChunkLength = 0x7FFFFFFFu;
inline constexpr std::size_t ihdrSize = 13;

// A chunk type as the big-endian number of its four letters.
constexpr std::uint32_t chunkType(const char (&name)[5]) {
    return std::uint32_t{static_cast<std::uint8_t>(name[0])} << 24 |
           std::uint32_t{static_cast<std::uint8_t>(name[1])} << 16 |
           std::uint32_t{static_cast<std::uint8_t>(name[2])} << 8 |
           std::uint32_t{static_cast<std::uint8_t>(name[3])};
}
inline constexpr std::uint32_t IHDR = chunkType("IHDR");
inline constexpr std::uint32_t PLTE = chunkType("PLTE");
inline constexpr std::uint32_t tRNS = chunkType("tRNS");
inline constexpr std::uint32_t IDAT = chunkType("IDAT");
inline constexpr std::uint32_t IEND = chunkType("IEND");

// A chunk whose first letter is upper case is critical: a reader that does not know it cannot read the file.
constexpr bool isCritical(std::uint32_t type) {
    return (type & 0x20000000u) == 0;
}

enum ColourType : std::uint8_t {
    Grey = 0,
    Rgb = 2,
    Palette = 3,
    GreyAlpha = 4,
    RgbAlpha = 6,
};

// The CRC-32 of the chunk format (the one of gzip and zlib's crc32), continued from `crc` (0 to start).
std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

inline std::uint32_t readBigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline void writeBigEndian32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// A chunk type's four letters as a message shows them: any byte that is not a printable character as '?'.
inline std::string chunkName(std::uint32_t type) {
    std::string name(4, '?');
    for (std::size_t i = 0; i < 4; ++i) {
        const auto c = static_cast<char>(type >> (24 - 8 * i));
        if (c >= ' ' && c <= '~')
            name[i] = c;
    }
    return name;
}

// The header chunk's fields.
struct Header {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t depth = 0;
    std::uint8_t colourType = 0;
    std::uint8_t interlace = 0;
};

// The chunks after the header, read through the byte source with their checksums.
class ChunkReader {
public:
    explicit ChunkReader(ByteSource& s) : source(s) {}

    // Reads the next chunk's length and type. False with a reason when the file ends or the length is bad.
    bool next(std::string& reason) {
        std::uint8_t bytes[8];
        if (!source.readExactly(bytes, sizeof bytes)) {
            reason = "PNG: file ends early";
            return false;
        }
        left = png::readBigEndian32(bytes);
        type = png::readBigEndian32(bytes + 4);
        if (left > png::maxChunkLength) {
            reason = "PNG: bad chunk length";
            return false;
        }
        crc = png::crc32(0, bytes + 4, 4);
        return true;
    }

    std::uint32_t chunkType() const { return type; }
    std::uint32_t remaining() const { return left; }

    // The chunk's data in pieces: the bytes of it that are buffered now (0 when the file has ended).
    std::size_t piece(const std::uint8_t*& data) {
        const std::size_t n = left == 0 ? 0 : std::min<std::size_t>(left, source.available());
        data = source.data(); // after available(), which may move the buffered bytes
        return n;
    }
    void consume(std::size_t n) {
        crc = png::crc32(crc, source.data(), n);
        source.advance(n);
        left -= static_cast<std::uint32_t>(n);
    }

    // Reads the rest of the chunk's data and its checksum. False with a reason when the file ends or the
    // checksum does not match.
    bool finish(std::string& reason) {
        const std::uint8_t* data = nullptr;
        while (left > 0) {
            const std::size_t n = piece(data);
            if (n == 0) {
                reason = "PNG: file ends early";
                return false;
            }
            consume(n);
        }
        std::uint8_t stored[4];
        if (!source.readExactly(stored, sizeof stored)) {
            reason = "PNG: file ends early";
            return false;
        }
        if (png::readBigEndian32(stored) != crc) {
            reason = "PNG: checksum mismatch";
            return false;
        }
        return true;
    }

    // The whole data of a small chunk (at most `limit` bytes), checksum checked.
    bool readSmall(std::vector<std::uint8_t>& out, std::size_t limit, std::string& reason) {
        if (left > limit) {
            reason = "PNG: bad " + name() + " chunk";
            return false;
        }
        out.resize(left);
        std::size_t at = 0;
        const std::uint8_t* data = nullptr;
        while (left > 0) {
            const std::size_t n = piece(data);
            if (n == 0)
                break;
            std::memcpy(out.data() + at, data, n);
            at += n;
            consume(n);
        }
        return finish(reason);
    }

    std::string name() const { return chunkName(type); }

private:
    ByteSource& source;
    std::uint32_t type = 0;
    std::uint32_t left = 0;
    std::uint32_t crc = 0;
};

} // namespace png

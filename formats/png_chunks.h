#pragma once

#include <cstddef>
#include <cstdint>

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

} // namespace png

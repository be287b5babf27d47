#include "formats/png_chunks.h"

#include <isa-l/crc.h>

std::uint32_t png::crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    return crc32_gzip_refl(crc, data, size);
}

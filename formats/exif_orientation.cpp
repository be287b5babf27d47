#include "formats/exif_orientation.h"

#include <cstddef>
#include <optional>

namespace {

constexpr std::uint16_t orientationTag = 274;
constexpr std::uint16_t shortType = 3;
constexpr std::size_t headerBytes = 8;
constexpr std::size_t entryBytes = 12;

// Where the value of a well-formed orientation tag lies in the block, and whether the block is big-endian.
struct TagValue {
    std::size_t offset;
    bool bigEndian;
};

std::optional<TagValue> findOrientation(const std::vector<std::uint8_t>& exif) {
    if (exif.size() < headerBytes)
        return std::nullopt;
    bool big = false;
    if (exif[0] == 'I' && exif[1] == 'I' && exif[2] == 42 && exif[3] == 0)
        big = false;
    else if (exif[0] == 'M' && exif[1] == 'M' && exif[2] == 0 && exif[3] == 42)
        big = true;
    else
        return std::nullopt;
    const std::uint8_t* p = exif.data();
    auto read16 = [&](std::size_t at) {
        return static_cast<std::uint16_t>(big ? (p[at] << 8 | p[at + 1]) : (p[at] | p[at + 1] << 8));
    };
    auto read32 = [&](std::size_t at) {
        return big ? (std::uint32_t{p[at]} << 24 | std::uint32_t{p[at + 1]} << 16 |
                      std::uint32_t{p[at + 2]} << 8 | p[at + 3])
                   : (std::uint32_t{p[at]} | std::uint32_t{p[at + 1]} << 8 | std::uint32_t{p[at + 2]} << 16 |
                      std::uint32_t{p[at + 3]} << 24);
    };
    const std::uint64_t directory = read32(4);
    if (directory < headerBytes || directory + 2 > exif.size())
        return std::nullopt;
    const std::size_t count = read16(static_cast<std::size_t>(directory));
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t entry = directory + 2 + i * entryBytes;
        if (entry + entryBytes > exif.size())
            return std::nullopt;
        const auto at = static_cast<std::size_t>(entry);
        if (read16(at) != orientationTag)
            continue;
        // One SHORT, held in the first two bytes of the value field.
        if (read16(at + 2) != shortType || read32(at + 4) != 1)
            return std::nullopt;
        return TagValue{at + 8, big};
    }
    return std::nullopt;
}

} // namespace

int exifOrientation(const std::vector<std::uint8_t>& exif) {
    const std::optional<TagValue> tag = findOrientation(exif);
    if (!tag)
        return 0;
    const std::uint8_t* v = exif.data() + tag->offset;
    const int value = tag->bigEndian ? (v[0] << 8 | v[1]) : (v[0] | v[1] << 8);
    return value >= 1 && value <= 8 ? value : 0;
}

void markExifUpright(std::vector<std::uint8_t>& exif) {
    const std::optional<TagValue> tag = findOrientation(exif);
    if (!tag)
        return;
    exif[tag->offset] = tag->bigEndian ? 0 : 1;
    exif[tag->offset + 1] = tag->bigEndian ? 1 : 0;
}

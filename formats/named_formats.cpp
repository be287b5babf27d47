#include "formats/named_formats.h"

#include <cstring>

namespace {

bool startsWith(const std::uint8_t* head, std::size_t size, const char* text, std::size_t length) {
    return size >= length && std::memcmp(head, text, length) == 0;
}

template <std::size_t N> bool startsWith(const std::uint8_t* head, std::size_t size, const char (&text)[N]) {
    return startsWith(head, size, text, N - 1);
}

std::uint16_t little16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t little32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// An ISO base media file (JPEG XL's and JPEG 2000's containers, camera raw's CR3) whose first box is `box`
// with a first brand: four bytes of box size (its first bytes are 0 in every such file, a TGA file with
// no colour map and no image data, which read refuses whatever follows), then the box type.
bool startsWithBox(const std::uint8_t* head, std::size_t size, const char* type, const char* brand) {
    if (size < 12 || head[0] != 0 || head[1] != 0 || head[2] != 0 || std::memcmp(head + 4, type, 4) != 0)
        return false;
    return brand == nullptr || std::memcmp(head + 8, brand, 4) == 0;
}

} // namespace

// Reserved 0, type 1 (icon), a count of images, then a directory entry of 16 bytes each: width, height,
// colour count, reserved 0, planes (0 or 1), bits a pixel (0, 1, 4, 8, 16, 24 or 32), the image's size and
// its offset, past the directory. As TGA the bytes 00 00 01 would be a colour-mapped image without a colour
// map. Every entry that the first bytes hold must be consistent.
bool matchesIco(const std::uint8_t* head, std::size_t size) {
    constexpr std::size_t directoryStart = 6;
    constexpr std::size_t entryBytes = 16;
    if (size < directoryStart + entryBytes || head[0] != 0 || head[1] != 0 || head[2] != 1 || head[3] != 0)
        return false;
    const std::size_t count = little16(head + 4);
    if (count == 0)
        return false;
    const std::size_t directoryEnd = directoryStart + count * entryBytes;
    for (std::size_t i = 0; i < count && directoryStart + (i + 1) * entryBytes <= size; ++i) {
        const std::uint8_t* entry = head + directoryStart + i * entryBytes;
        const unsigned planes = little16(entry + 4);
        const unsigned bits = little16(entry + 6);
        const bool knownBits =
            bits == 0 || bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
        if (entry[3] != 0 || planes > 1 || !knownBits || little32(entry + 8) == 0 ||
            little32(entry + 12) < directoryEnd)
            return false;
    }
    return true;
}

// "8BPS", version 1 or 2: colour-map type 'B'.
bool matchesPsd(const std::uint8_t* head, std::size_t size) {
    return startsWith(head, size, "8BPS\0\1") || startsWith(head, size, "8BPS\0\2");
}

// "%PDF-": colour-map type 'P'.
bool matchesPdf(const std::uint8_t* head, std::size_t size) {
    return startsWith(head, size, "%PDF-");
}

// "%!PS": colour-map type '!'.
bool matchesPostScript(const std::uint8_t* head, std::size_t size) {
    return startsWith(head, size, "%!PS");
}

// An SVG document: "<svg", or an XML declaration "<?xml" with "<svg" among the first bytes. The second
// byte, 's' or '?', is a reserved colour-map type.
bool matchesSvg(const std::uint8_t* head, std::size_t size) {
    if (startsWith(head, size, "<svg"))
        return true;
    if (!startsWith(head, size, "<?xml"))
        return false;
    constexpr char tag[] = "<svg";
    for (std::size_t i = 0; i + 4 <= size; ++i) {
        if (std::memcmp(head + i, tag, 4) == 0)
            return true;
    }
    return false;
}

// The bare codestream FF 0A (colour-map type 10), or the container's signature box "JXL ".
bool matchesJpegXl(const std::uint8_t* head, std::size_t size) {
    return startsWith(head, size, "\xFF\x0A") ||
           (startsWithBox(head, size, "JXL ", nullptr) && size >= 12 && little32(head + 8) == 0x0A870A0D);
}

// The codestream FF 4F FF 51 (colour-map type 0x4F), or the container's signature box "jP  ".
bool matchesJpeg2000(const std::uint8_t* head, std::size_t size) {
    return startsWith(head, size, "\xFF\x4F\xFF\x51") || startsWithBox(head, size, "jP  ", nullptr);
}

// 76 2F 31 01: colour-map type 0x2F.
bool matchesOpenExr(const std::uint8_t* head, std::size_t size) {
    return startsWith(head, size, "\x76\x2F\x31\x01");
}

// Raw files of cameras that are not plain TIFF: Canon CRW ("II" 1A 00 00 00 "HEAPCCDR") and CR3 (a media
// file of brand "crx "), Fujifilm RAF, Olympus ORF ("IIRO", "IIRS", "MMOR"), Panasonic RW2 ("IIU\0"),
// Minolta MRW ("\0MRM"), Sigma X3F ("FOVb"). Each second byte ('I', 'U', 'M', 'O') is a reserved colour-map
// type, and CR3 begins as the media files above.
bool matchesCameraRaw(const std::uint8_t* head, std::size_t size) {
    return (startsWith(head, size, "II\x1A\0\0\0") && size >= 14 &&
            std::memcmp(head + 6, "HEAPCCDR", 8) == 0) ||
           startsWith(head, size, "FUJIFILMCCD-RAW") || startsWith(head, size, "IIRO\x08\0") ||
           startsWith(head, size, "IIRS\x08\0") || startsWith(head, size, "MMOR\0\0") ||
           startsWith(head, size, "IIU\0\x08\0") || startsWith(head, size, "\0MRM") ||
           startsWith(head, size, "FOVb") || startsWithBox(head, size, "ftyp", "crx ");
}

// "qoif": colour-map type 'o'.
bool matchesQoi(const std::uint8_t* head, std::size_t size) {
    return startsWith(head, size, "qoif");
}

// "gimp xcf": colour-map type 'i'.
bool matchesXcf(const std::uint8_t* head, std::size_t size) {
    return startsWith(head, size, "gimp xcf");
}

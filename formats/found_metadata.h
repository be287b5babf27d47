#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What a reader found in a file beside the pixels: the colour profile, EXIF and XMP blocks as the file held
// them, and a note for each block it left out. The dispatch in image_file.cpp turns them into the image's
// metadata once the pixels are read, and applies the EXIF orientation unless the decoder did.
struct FoundMetadata {
    std::vector<std::uint8_t> icc;  // the whole ICC profile
    std::vector<std::uint8_t> exif; // from the TIFF header on ("II*\0" or "MM\0*")
    std::vector<std::uint8_t> xmp;  // the XMP packet
    std::vector<std::string> notes; // "ICC profile of 20000000 bytes left out (above 16 MiB)"
    bool upright = false;           // the decoder has turned the pixels as the file asks (HEIF's own
                                    // rotation and mirror), so the EXIF orientation is not applied again
};

enum class MetadataKind { Icc, Exif, Xmp };

// The largest block of each kind an image keeps. A larger one is left out with a note, and the file is read
// all the same; the cap bounds what a hostile file can make the reader hold.
inline constexpr std::size_t metadataBlockCap = std::size_t{16} << 20;

// Whether a block of `size` bytes of `kind` is to be kept: true when it is within the cap; otherwise adds its
// note to `found` and returns false, and the caller skips the block's bytes instead of reading them.
bool admitMetadataBlock(FoundMetadata& found, MetadataKind kind, std::uint64_t size);

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// What a picture carries beside its pixels, kept as the bytes its file held them: the colour profile (ICC),
// the camera's EXIF and the editor's XMP. The image only carries them; reading them out of a file, putting
// them into one and telling what they say is the formats' business.
//
// An image's blocks never change once made, so images that share them (a copy, a verb's result) hold the
// same object. Their bytes count in the memory budget of all images for as long as an image holds them.
class ImageMetadata {
public:
    // Takes the three blocks (any may be empty), counting their bytes in the budget first: throws
    // std::bad_alloc when the budget refuses them.
    ImageMetadata(std::vector<std::uint8_t> icc, std::vector<std::uint8_t> exif,
                  std::vector<std::uint8_t> xmp);
    ~ImageMetadata();
    ImageMetadata(const ImageMetadata&) = delete;
    ImageMetadata& operator=(const ImageMetadata&) = delete;

    // The ICC profile, whole, as its first byte starts it.
    const std::vector<std::uint8_t>& icc() const { return iccBytes; }
    // The EXIF block from its TIFF header on ("II*\0" or "MM\0*"), without the "Exif\0\0" a JPEG puts in
    // front of it.
    const std::vector<std::uint8_t>& exif() const { return exifBytes; }
    // The XMP packet, as UTF-8 text.
    const std::vector<std::uint8_t>& xmp() const { return xmpBytes; }

    bool empty() const { return iccBytes.empty() && exifBytes.empty() && xmpBytes.empty(); }

private:
    std::vector<std::uint8_t> iccBytes;
    std::vector<std::uint8_t> exifBytes;
    std::vector<std::uint8_t> xmpBytes;
    std::size_t budgeted = 0;
};

using MetadataPtr = std::shared_ptr<const ImageMetadata>;

// The blocks in one object, or null when all three are empty. Throws std::bad_alloc as the constructor does.
MetadataPtr makeMetadata(std::vector<std::uint8_t> icc, std::vector<std::uint8_t> exif,
                         std::vector<std::uint8_t> xmp);

#include "image/metadata.h"

#include "system/memory_budget.h"

ImageMetadata::ImageMetadata(std::vector<std::uint8_t> icc, std::vector<std::uint8_t> exif,
                             std::vector<std::uint8_t> xmp) {
    const std::size_t bytes = icc.size() + exif.size() + xmp.size();
    if (bytes > 0)
        reserveImageMemory(bytes);
    budgeted = bytes;
    iccBytes = std::move(icc);
    exifBytes = std::move(exif);
    xmpBytes = std::move(xmp);
}

ImageMetadata::~ImageMetadata() {
    if (budgeted > 0)
        releaseImageMemory(budgeted);
}

MetadataPtr makeMetadata(std::vector<std::uint8_t> icc, std::vector<std::uint8_t> exif,
                         std::vector<std::uint8_t> xmp) {
    if (icc.empty() && exif.empty() && xmp.empty())
        return nullptr;
    return std::make_shared<const ImageMetadata>(std::move(icc), std::move(exif), std::move(xmp));
}

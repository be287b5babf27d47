#include "formats/found_metadata.h"

namespace {

const char* kindName(MetadataKind kind) {
    switch (kind) {
    case MetadataKind::Icc:
        return "ICC profile";
    case MetadataKind::Exif:
        return "EXIF block";
    case MetadataKind::Xmp:
        return "XMP packet";
    }
    return "metadata block";
}

} // namespace

bool admitMetadataBlock(FoundMetadata& found, MetadataKind kind, std::uint64_t size) {
    if (size <= metadataBlockCap)
        return true;
    found.notes.push_back(std::string(kindName(kind)) + " of " + std::to_string(size) +
                          " bytes left out (the most kept is " + std::to_string(metadataBlockCap >> 20) +
                          " MiB)");
    return false;
}

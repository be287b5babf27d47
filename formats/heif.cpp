#include "formats/heif.h"

#include "image/straight_colour.h"
#include "system/memory_budget.h"
#include "system/sanitizers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <libheif/heif.h>
#include <memory>
#include <new>
#include <vector>

namespace {

// The "ftyp" box: its size, "ftyp", the major brand, the minor version, then compatible brands to its end.
constexpr std::size_t ftypHeaderBytes = 16;
constexpr std::array<const char*, 7> stillImageBrands = {"heic", "heix", "heim", "heis",
                                                         "mif1", "mif2", "avif"};

// The library's own limit on a side of an image (and of each tile), checked while it reads the boxes.
// Larger pictures would not fit the budget of any machine this runs on (32768 x 32768 is 4 GiB of pixels).
constexpr int librarySideLimit = 32768;

// A file read from a pipe is held in a buffer that starts at this and doubles as bytes arrive, so a short
// file costs little and a long one is copied a few times at most.
constexpr std::size_t firstReadBytes = std::size_t{1} << 20;

// What the library holds beside our image while it decodes, in samples a pixel: the decoder's planes
// (luma, two chroma planes at full size in the worst case 4:4:4, and alpha), the copy the library takes of
// them out of the decoder's frame pool, the interleaved RGB(A) conversion, and the turned copy when the
// file asks for a rotation or mirror. A sample is one byte, or two above 8 bits. The coded data, which the
// library copies out of the file, is reserved beside it.
constexpr std::size_t decoderSamplesPerPixel = 16;

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint64_t bigEndian64(const std::uint8_t* p) {
    return std::uint64_t{bigEndian32(p)} << 32 | bigEndian32(p + 4);
}

// Budget taken in steps as a buffer grows, all given back at once.
class GrowingReservation {
public:
    GrowingReservation() = default;
    ~GrowingReservation() {
        if (held > 0)
            releaseImageMemory(held);
    }
    GrowingReservation(const GrowingReservation&) = delete;
    GrowingReservation& operator=(const GrowingReservation&) = delete;

    // Makes the reservation at least `bytes`; throws std::bad_alloc when the budget refuses the rest.
    void growTo(std::size_t bytes) {
        if (bytes <= held)
            return;
        reserveImageMemory(bytes - held);
        held = bytes;
    }

private:
    std::size_t held = 0;
};

// The whole file in memory: where the source already holds it, or copied into `storage`, whose bytes
// count in the budget.
struct FileBytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::vector<std::uint8_t> storage;
    GrowingReservation reserved;
};

// Reads everything the source has. A file of known size is refused before it is read when the budget
// cannot hold it; one from a pipe counts as it grows.
void readWholeFile(ByteSource& source, FileBytes& file) {
    const std::uint64_t known = source.knownRemaining();
    const std::size_t buffered = source.available();
    if (known != UINT64_MAX && buffered >= known) {
        file.data = source.data();
        file.size = buffered;
        return;
    }
    if (known != UINT64_MAX) {
        if (known > SIZE_MAX)
            throw std::bad_alloc();
        file.reserved.growTo(static_cast<std::size_t>(known));
        file.storage.reserve(static_cast<std::size_t>(known));
    }
    // A file that grows while it is read is taken at the size it had when reading began.
    const std::uint64_t limit = known;
    for (;;) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(source.available(), limit - file.storage.size()));
        if (n == 0)
            break;
        const std::size_t needed = file.storage.size() + n;
        if (needed > file.storage.capacity()) {
            const std::size_t grown = std::max({needed, firstReadBytes, file.storage.capacity() * 2});
            file.reserved.growTo(grown);
            file.storage.reserve(grown);
        }
        file.storage.insert(file.storage.end(), source.data(), source.data() + n);
        source.advance(n);
    }
    file.data = file.storage.data();
    file.size = file.storage.size();
}

// Whether the file stops inside one of its top-level boxes: a box whose size runs past the end, or a box
// header cut short.
bool endsInsideABox(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
        const std::size_t left = size - at;
        if (left < 8)
            return true;
        std::uint64_t boxSize = bigEndian32(data + at);
        std::uint64_t header = 8;
        if (boxSize == 1) {
            if (left < 16)
                return true;
            boxSize = bigEndian64(data + at + 8);
            header = 16;
        } else if (boxSize == 0) {
            return false; // the last box, running to the end of the file
        }
        if (boxSize < header)
            return false; // not a cut but a damaged box, which the library reports
        if (boxSize > left)
            return true;
        at += static_cast<std::size_t>(boxSize);
    }
    return false;
}

std::string failureReason(const heif_error& error) {
    switch (error.code) {
    case heif_error_Memory_allocation_error:
        // An allocation that failed, or a size beyond the library's limits: either way the file does not
        // fit, as an image too large for the budget does not.
        throw std::bad_alloc();
    case heif_error_Unsupported_feature:
    case heif_error_Unsupported_filetype:
        return "HEIF: unsupported feature";
    case heif_error_Invalid_input:
        if (error.subcode == heif_suberror_End_of_data)
            return "HEIF: file ends early";
        return "HEIF: corrupt data";
    default:
        return "HEIF: corrupt data";
    }
}

struct ContextDeleter {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct DecodedDeleter {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsDeleter {
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

// The colour profile, the first EXIF block and the first XMP packet of the image. A block the library
// cannot hand over, or an EXIF block without a TIFF header where its offset says, is left out with a note:
// the pixels are read all the same.
void readMetadata(const heif_image_handle* handle, FoundMetadata& found) {
    const heif_color_profile_type profile = heif_image_handle_get_color_profile_type(handle);
    if (profile == heif_color_profile_type_prof || profile == heif_color_profile_type_rICC) {
        const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
        if (size > 0 && admitMetadataBlock(found, MetadataKind::Icc, size)) {
            std::vector<std::uint8_t> icc(size);
            if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok)
                found.icc = std::move(icc);
            else
                found.notes.push_back("ICC profile left out (it cannot be read)");
        }
    }

    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) == 1) {
        // The block starts with the offset of the TIFF header from the end of these 4 bytes.
        const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
        if (size > 4 && admitMetadataBlock(found, MetadataKind::Exif, size)) {
            std::vector<std::uint8_t> block(size);
            if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok) {
                found.notes.push_back("EXIF block left out (it cannot be read)");
            } else {
                const std::uint64_t start = std::uint64_t{4} + bigEndian32(block.data());
                const bool tiff = start + 4 <= size && (std::memcmp(&block[start], "II*\0", 4) == 0 ||
                                                        std::memcmp(&block[start], "MM\0*", 4) == 0);
                if (tiff)
                    found.exif.assign(block.begin() + static_cast<std::ptrdiff_t>(start), block.end());
                else
                    found.notes.push_back("EXIF block left out (no TIFF header where it says)");
            }
        }
    }

    const int mimeBlocks = heif_image_handle_get_number_of_metadata_blocks(handle, "mime");
    if (mimeBlocks > 0) {
        std::vector<heif_item_id> ids(static_cast<std::size_t>(mimeBlocks));
        const int listed =
            heif_image_handle_get_list_of_metadata_block_IDs(handle, "mime", ids.data(), mimeBlocks);
        for (int i = 0; i < listed; ++i) {
            const heif_item_id mime = ids[static_cast<std::size_t>(i)];
            const char* type = heif_image_handle_get_metadata_content_type(handle, mime);
            if (type == nullptr || std::strcmp(type, "application/rdf+xml") != 0)
                continue;
            const std::size_t size = heif_image_handle_get_metadata_size(handle, mime);
            if (size > 0 && admitMetadataBlock(found, MetadataKind::Xmp, size)) {
                std::vector<std::uint8_t> xmp(size);
                if (heif_image_handle_get_metadata(handle, mime, xmp.data()).code == heif_error_Ok)
                    found.xmp = std::move(xmp);
                else
                    found.notes.push_back("XMP packet left out (it cannot be read)");
            }
            break;
        }
    }
}

// The decoded interleaved pixels, one row of straight 8-bit RGBA at a time.
struct DecodedRows {
    const std::uint8_t* plane = nullptr;
    std::size_t stride = 0;
    bool alpha = false;
    bool deep = false;     // two bytes a sample, big-endian
    std::uint32_t max = 0; // the largest sample of a deep image, (1 << bits) - 1

    void row(std::uint32_t y, std::uint32_t width, std::uint8_t* out) const {
        const std::uint8_t* in = plane + std::size_t{y} * stride;
        const std::size_t channels = alpha ? 4 : 3;
        for (std::uint32_t x = 0; x < width; ++x, out += 4) {
            for (std::size_t c = 0; c < channels; ++c) {
                if (!deep) {
                    out[c] = in[c];
                    continue;
                }
                const std::uint32_t v =
                    std::min<std::uint32_t>(std::uint32_t{in[2 * c]} << 8 | in[2 * c + 1], max);
                out[c] = static_cast<std::uint8_t>((v * 255 + max / 2) / max);
            }
            if (!alpha)
                out[3] = 255;
            in += deep ? channels * 2 : channels;
        }
    }
};

// Fills the image from the decoded rows. Colour the file stores premultiplied is first made straight, so
// that every pixel is premultiplied the one way all readers do it.
void fillImage(Image& image, const DecodedRows& rows, bool premultipliedInFile) {
    const std::size_t straightBytes = rows.alpha ? image.rowBytes() : 0;
    const std::size_t unpremultipliedBytes = rows.alpha && premultipliedInFile ? image.rowBytes() : 0;
    const MemoryReservation reserved(straightBytes + unpremultipliedBytes);
    std::vector<std::uint8_t> straight(straightBytes);
    std::vector<std::uint8_t> unpremultiplied(unpremultipliedBytes);
    for (std::uint32_t y = 0; y < image.height; ++y) {
        if (!rows.alpha) {
            rows.row(y, image.width, image.pixel(0, y)); // opaque: premultiplying changes nothing
            continue;
        }
        rows.row(y, image.width, straight.data());
        const std::uint8_t* in = straight.data();
        if (premultipliedInFile) {
            straightenPixels(straight.data(), image.width, unpremultiplied.data(), ChannelOrder::Rgba);
            in = unpremultiplied.data();
        }
        premultiplyPixels(in, image.width, image.pixel(0, y), ChannelOrder::Rgba);
    }
}

using HandlePtr = std::unique_ptr<heif_image_handle, HandleDeleter>;

// The thumbnail of `primary` with the fewest pixels among those at least minWidth x minHeight as shown;
// null when there is none.
HandlePtr smallestThumbnail(const heif_image_handle* primary, std::uint32_t minWidth,
                            std::uint32_t minHeight) {
    const int count = heif_image_handle_get_number_of_thumbnails(primary);
    if (count <= 0)
        return nullptr;
    std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
    const int listed = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), count);
    HandlePtr best;
    std::uint64_t bestPixels = UINT64_MAX;
    for (int i = 0; i < listed; ++i) {
        heif_image_handle* raw = nullptr;
        if (heif_image_handle_get_thumbnail(primary, ids[static_cast<std::size_t>(i)], &raw).code !=
            heif_error_Ok)
            continue;
        HandlePtr thumbnail(raw);
        const int width = heif_image_handle_get_width(raw);
        const int height = heif_image_handle_get_height(raw);
        if (width <= 0 || height <= 0 || std::uint32_t(width) < minWidth || std::uint32_t(height) < minHeight)
            continue;
        const std::uint64_t pixels = std::uint64_t(width) * std::uint64_t(height);
        if (pixels < bestPixels) {
            bestPixels = pixels;
            best = std::move(thumbnail);
        }
    }
    return best;
}

// The smallest picture to decode when a thumbnail will do.
struct ThumbnailWish {
    std::uint32_t minWidth = 0;
    std::uint32_t minHeight = 0;
};

// The decoder's own limit never goes below this side: a small picture's grid tiles or alpha may be coded a
// little larger than it.
constexpr int minimumSideLimit = 512;

ImagePtr decodeFile(const FileBytes& file, std::string& reason, FoundMetadata& found,
                    const ThumbnailWish* wish) {
    const std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
    if (context == nullptr)
        throw std::bad_alloc();
    heif_context_set_maximum_image_size_limit(context.get(), librarySideLimit);
    heif_error error =
        heif_context_read_from_memory_without_copy(context.get(), file.data, file.size, nullptr);
    if (error.code != heif_error_Ok) {
        reason = failureReason(error);
        return nullptr;
    }
    heif_image_handle* rawPrimary = nullptr;
    error = heif_context_get_primary_image_handle(context.get(), &rawPrimary);
    const HandlePtr primary(rawPrimary);
    if (error.code != heif_error_Ok || primary == nullptr) {
        reason = error.code != heif_error_Ok ? failureReason(error) : "HEIF: corrupt data";
        return nullptr;
    }
    // The metadata is the primary image's, whichever picture is decoded.
    const HandlePtr thumbnail =
        wish != nullptr ? smallestThumbnail(primary.get(), wish->minWidth, wish->minHeight) : nullptr;
    const HandlePtr& handle = thumbnail != nullptr ? thumbnail : primary;

    const int width = heif_image_handle_get_width(handle.get());
    const int height = heif_image_handle_get_height(handle.get());
    if (width <= 0 || height <= 0) {
        reason = "HEIF: corrupt data";
        return nullptr;
    }
    // The coded size (before rotation and crop) can be the larger one.
    const std::uint64_t shown = std::uint64_t(width) * std::uint64_t(height);
    const std::uint64_t coded = std::uint64_t(std::max(heif_image_handle_get_ispe_width(handle.get()), 0)) *
                                std::uint64_t(std::max(heif_image_handle_get_ispe_height(handle.get()), 0));
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle.get()) > 8;
    ImagePtr image =
        createImageForOverwrite(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    const std::uint64_t decoderBytes =
        std::max(shown, coded) * decoderSamplesPerPixel * (deep ? 2 : 1) + file.size;
    if (decoderBytes > SIZE_MAX)
        throw std::bad_alloc();
    const MemoryReservation decoder(static_cast<std::size_t>(decoderBytes));
    // Every picture the decoder makes for this one (its alpha, the tiles of a grid) is at most its size in
    // a valid file; the library refuses a larger one instead of taking memory the budget never saw.
    const int largestSide = std::max({width, height, heif_image_handle_get_ispe_width(handle.get()),
                                      heif_image_handle_get_ispe_height(handle.get()), minimumSideLimit});
    heif_context_set_maximum_image_size_limit(context.get(), std::min(largestSide, librarySideLimit));

    const std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
    if (options == nullptr)
        throw std::bad_alloc();
    options->ignore_transformations = 0; // turn and crop as the file says
    options->convert_hdr_to_8bit = 0;    // deeper samples are rounded here, as every reader rounds them
    const heif_chroma chroma =
        deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE)
             : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* rawDecoded = nullptr;
    error = heif_decode_image(handle.get(), &rawDecoded, heif_colorspace_RGB, chroma, options.get());
    const std::unique_ptr<heif_image, DecodedDeleter> decoded(rawDecoded);
    if (error.code != heif_error_Ok || decoded == nullptr) {
        reason = error.code != heif_error_Ok ? failureReason(error) : "HEIF: corrupt data";
        return nullptr;
    }

    const int decodedWidth = heif_image_get_width(decoded.get(), heif_channel_interleaved);
    const int decodedHeight = heif_image_get_height(decoded.get(), heif_channel_interleaved);
    int stride = 0;
    DecodedRows rows;
    rows.plane = heif_image_get_plane_readonly(decoded.get(), heif_channel_interleaved, &stride);
    rows.alpha = alpha;
    rows.deep = deep;
    if (deep) {
        const int bits = heif_image_get_bits_per_pixel_range(decoded.get(), heif_channel_interleaved);
        if (bits <= 8 || bits > 16) {
            reason = "HEIF: unsupported feature";
            return nullptr;
        }
        rows.max = (std::uint32_t{1} << bits) - 1;
    }
    const std::size_t rowBytes = std::size_t(std::max(decodedWidth, 0)) * (alpha ? 4 : 3) * (deep ? 2 : 1);
    if (rows.plane == nullptr || decodedWidth <= 0 || decodedHeight <= 0 || stride <= 0 ||
        static_cast<std::size_t>(stride) < rowBytes) {
        reason = "HEIF: corrupt data";
        return nullptr;
    }
    rows.stride = static_cast<std::size_t>(stride);
    // The library reports the size after its transformations; should the decoded picture differ, it is
    // the picture that counts.
    if (decodedWidth != width || decodedHeight != height)
        image = createImageForOverwrite(static_cast<std::uint32_t>(decodedWidth),
                                        static_cast<std::uint32_t>(decodedHeight));

    fillImage(*image, rows, alpha && heif_image_is_premultiplied_alpha(decoded.get()) != 0);
    found.upright = true;
    readMetadata(primary.get(), found);
    return image;
}

} // namespace

#if CHROMALOOM_ADDRESS_SANITIZER
// For the leak checker: the AV1 decoder, as libheif drives it, keeps a block of 40 bytes for good whenever
// the coded data of a picture is empty (a damaged file). The block is the library's to free, not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdav1d.so\n";
}
#endif

bool matchesHeif(const std::uint8_t* head, std::size_t size) {
    if (size < ftypHeaderBytes || std::memcmp(head + 4, "ftyp", 4) != 0)
        return false;
    const std::uint32_t boxSize = bigEndian32(head);
    if (boxSize < ftypHeaderBytes || boxSize % 4 != 0)
        return false;
    const auto isStillBrand = [](const std::uint8_t* brand) {
        return std::any_of(stillImageBrands.begin(), stillImageBrands.end(),
                           [brand](const char* still) { return std::memcmp(brand, still, 4) == 0; });
    };
    if (isStillBrand(head + 8))
        return true;
    const std::size_t end = std::min<std::size_t>(boxSize, size);
    for (std::size_t at = ftypHeaderBytes; at + 4 <= end; at += 4)
        if (isStillBrand(head + at))
            return true;
    return false;
}

namespace {

ImagePtr readAndDecode(ByteSource& source, std::string& reason, FoundMetadata& found,
                       const ThumbnailWish* wish) {
    FileBytes file;
    readWholeFile(source, file);
    if (endsInsideABox(file.data, file.size)) {
        reason = "HEIF: file ends early";
        return nullptr;
    }
    return decodeFile(file, reason, found, wish);
}

} // namespace

ImagePtr decodeHeif(ByteSource& source, std::string& reason, FoundMetadata& found) {
    return readAndDecode(source, reason, found, nullptr);
}

ImagePtr decodeHeifThumbnail(ByteSource& source, std::string& reason, FoundMetadata& found,
                             std::uint32_t minWidth, std::uint32_t minHeight) {
    const ThumbnailWish wish{minWidth, minHeight};
    return readAndDecode(source, reason, found, &wish);
}

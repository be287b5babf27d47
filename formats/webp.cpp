#include "formats/codecs.h"
#include "formats/exif_orientation.h"
#include "formats/scaled_decoders.h"

#include "image/straight_colour.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>
#include <webp/decode.h>
#include <webp/demux.h>

namespace {

// "RIFF", the size of what follows it (4 bytes, little-endian), "WEBP".
constexpr std::size_t riffHeaderBytes = 12;
// The bytes before those the RIFF size counts: "RIFF" and the size itself.
constexpr std::size_t riffPreambleBytes = 8;
// The first allocation for a file read from a descriptor; it grows as bytes arrive, so a file that
// claims a large size but ends early costs no more than it holds.
constexpr std::size_t firstReadBytes = std::size_t{1} << 20;

// Bytes a pixel the library holds beside the output while it decodes a still image: a lossless image is
// held whole as 4-byte ARGB words, and an alpha plane takes a byte a pixel plus, when it is compressed
// losslessly, its ARGB words. A lossy image without alpha is decoded a few rows at a time.
constexpr std::size_t stillDecoderBytesPerPixel = 5;
// What the library holds beside that in rows, in bytes a column of the picture (an estimate: the library
// does not say): for a lossy image its cache of the last macroblock rows (16 luma and 8 of each chroma plane,
// with the rows the loop filter keeps above them) and its per-macroblock state, about 45 bytes; for a
// lossless one the rows its transforms work through, 32 rows of 4-byte words, 128 bytes. With scaling, the
// rescalers' work rows (a 32-bit word a channel, for a row of the output and one of the source) come on top,
// at most 32 bytes a source column. Tables and frame headers of fixed size come to decoderFixedBytes.
constexpr std::size_t decoderBytesPerColumn = 128;
constexpr std::size_t scaledDecoderBytesPerColumn = 32;
constexpr std::size_t decoderFixedBytes = std::size_t{256} << 10;
// WebPBitstreamFeatures::format of a lossless file.
constexpr int losslessFormat = 2;
// An animation is composed on two canvases of 4 bytes a pixel (the frame shown and the one before), and
// its first frame is decoded as a still image.
constexpr std::size_t animationDecoderBytesPerPixel = 2 * 4 + stillDecoderBytesPerPixel;

// The whole file in memory: where the source already holds it, or copied into `storage`, whose room is
// counted in the memory budget before it is taken.
struct FileBytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::vector<std::uint8_t> storage;
    std::size_t reserved = 0; // bytes of the budget held for `storage`

    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes() {
        if (reserved > 0)
            releaseImageMemory(reserved);
    }

    // Makes room for `bytes` in storage, taken from the budget first (std::bad_alloc when refused).
    void makeRoom(std::size_t bytes) {
        if (bytes <= reserved)
            return;
        reserveImageMemory(bytes - reserved);
        reserved = bytes;
        storage.reserve(bytes);
    }
};

// Reads the file up to the end of its RIFF chunk (what follows is not part of it). False when the data
// ends first.
bool readWholeFile(ByteSource& source, FileBytes& file) {
    if (source.peek(riffHeaderBytes) < riffHeaderBytes)
        return false;
    const std::uint8_t* head = source.data();
    const std::uint32_t riffSize = std::uint32_t{head[4]} | std::uint32_t{head[5]} << 8 |
                                   std::uint32_t{head[6]} << 16 | std::uint32_t{head[7]} << 24;
    const std::size_t total = std::size_t{riffSize} + riffPreambleBytes;
    if (source.available() >= total) {
        file.data = source.data();
        file.size = total;
        return true;
    }
    // The bytes to come are counted in the budget before they are read: all of them at once when the
    // file's size is known (a file larger than the budget allows is refused without reading it), and as
    // they arrive from a pipe, doubling the room each time, so that one is refused as soon as it passes.
    const std::uint64_t known = source.knownRemaining();
    const std::size_t expected = static_cast<std::size_t>(std::min<std::uint64_t>(total, known));
    if (known != std::numeric_limits<std::uint64_t>::max())
        file.makeRoom(expected);
    else
        file.makeRoom(std::min(total, firstReadBytes));
    while (file.storage.size() < total) {
        const std::size_t n = std::min(source.available(), total - file.storage.size());
        if (n == 0)
            return false;
        const std::size_t needed = file.storage.size() + n;
        if (needed > file.reserved)
            file.makeRoom(std::min(total, std::max(needed, 2 * file.reserved)));
        file.storage.insert(file.storage.end(), source.data(), source.data() + n);
        source.advance(n);
    }
    file.data = file.storage.data();
    file.size = total;
    return true;
}

// The metadata chunks of an extended file (one that starts with a VP8X chunk): ICCP holds the colour profile,
// EXIF the EXIF block (some writers put JPEG's "Exif\0\0" in front of it, which is dropped), and "XMP " the
// XMP packet. The first chunk of each kind counts; a chunk that runs past the end of the file is not taken.
void findMetadata(const FileBytes& file, FoundMetadata& found) {
    constexpr std::size_t chunkHeaderBytes = 8;
    std::size_t at = riffHeaderBytes;
    if (file.size < at + chunkHeaderBytes || std::memcmp(file.data + at, "VP8X", 4) != 0)
        return;
    bool seen[3] = {false, false, false};
    while (file.size - at >= chunkHeaderBytes) {
        const std::uint8_t* head = file.data + at;
        const std::size_t size = std::size_t{head[4]} | std::size_t{head[5]} << 8 |
                                 std::size_t{head[6]} << 16 | std::size_t{head[7]} << 24;
        at += chunkHeaderBytes;
        if (size > file.size - at)
            return;
        const std::uint8_t* data = file.data + at;
        at += std::min(size + (size & 1), file.size - at); // chunks are padded to an even size
        MetadataKind kind;
        std::vector<std::uint8_t>* out;
        if (std::memcmp(head, "ICCP", 4) == 0)
            kind = MetadataKind::Icc, out = &found.icc;
        else if (std::memcmp(head, "EXIF", 4) == 0)
            kind = MetadataKind::Exif, out = &found.exif;
        else if (std::memcmp(head, "XMP ", 4) == 0)
            kind = MetadataKind::Xmp, out = &found.xmp;
        else
            continue;
        const auto k = static_cast<std::size_t>(kind);
        if (seen[k])
            continue;
        seen[k] = true;
        std::size_t skip = 0;
        static constexpr std::uint8_t exifPrefix[] = {'E', 'x', 'i', 'f', 0, 0};
        if (kind == MetadataKind::Exif && size >= sizeof exifPrefix &&
            std::memcmp(data, exifPrefix, sizeof exifPrefix) == 0)
            skip = sizeof exifPrefix;
        if (admitMetadataBlock(found, kind, size - skip))
            out->assign(data + skip, data + size);
    }
}

std::string failureReason(VP8StatusCode status) {
    switch (status) {
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return "WebP: file ends early";
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return "WebP: unsupported feature";
    case VP8_STATUS_OUT_OF_MEMORY:
        throw std::bad_alloc();
    default:
        return "WebP: corrupt data";
    }
}

// Premultiplies the straight colour the library decoded into the image, a row at a time through a copy.
void premultiplyInPlace(Image& image) {
    const MemoryReservation reserved(image.rowBytes());
    std::vector<std::uint8_t> row(image.rowBytes());
    for (std::uint32_t y = 0; y < image.height; ++y) {
        std::memcpy(row.data(), image.pixel(0, y), row.size());
        premultiplyPixels(row.data(), image.width, image.pixel(0, y), ChannelOrder::Rgba);
    }
}

// A still image, lossy or lossless, decoded as straight RGBA (alpha 255 without an alpha channel) straight
// into the image, with the library's default decoding; or, given `scaled`, shrunk to that size by the
// library as it decodes.
ImagePtr decodeStill(const FileBytes& file, const WebPBitstreamFeatures& features, std::string& reason,
                     const FitSize* scaled = nullptr) {
    const auto width = static_cast<std::uint32_t>(features.width);
    const auto height = static_cast<std::uint32_t>(features.height);
    ImagePtr image = scaled != nullptr ? createImageForOverwrite(scaled->width, scaled->height)
                                       : createImageForOverwrite(width, height);
    const bool heldWhole = features.format == losslessFormat || features.has_alpha != 0;
    MemoryReservation decoder(heldWhole ? std::size_t{width} * height * stillDecoderBytesPerPixel : 0);
    MemoryReservation rows(
        decoderFixedBytes +
        std::size_t{width} * (decoderBytesPerColumn + (scaled != nullptr ? scaledDecoderBytesPerColumn : 0)));

    WebPDecoderConfig config;
    if (WebPInitDecoderConfig(&config) == 0) {
        reason = "WebP: unsupported feature";
        return nullptr;
    }
    if (scaled != nullptr) {
        config.options.use_scaling = 1;
        config.options.scaled_width = static_cast<int>(scaled->width);
        config.options.scaled_height = static_cast<int>(scaled->height);
    }
    config.output.colorspace = MODE_RGBA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = image->pixels.get();
    config.output.u.RGBA.stride = static_cast<int>(image->rowBytes());
    config.output.u.RGBA.size = image->byteCount();
    const VP8StatusCode status = WebPDecode(file.data, file.size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) {
        reason = failureReason(status);
        return nullptr;
    }
    if (features.has_alpha != 0)
        premultiplyInPlace(*image);
    return image;
}

struct AnimationDecoderDeleter {
    void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};

// An animation reads as its first frame composed on the canvas, as a viewer shows it before the second:
// the canvas starts transparent, and the frame is placed at its offset (blending has nothing below it
// yet). The library gives the canvas as straight RGBA.
ImagePtr decodeFirstFrame(const FileBytes& file, const WebPBitstreamFeatures& features, std::string& reason) {
    const auto width = static_cast<std::uint32_t>(features.width);
    const auto height = static_cast<std::uint32_t>(features.height);
    ImagePtr image = createImageForOverwrite(width, height);
    MemoryReservation decoder(std::size_t{width} * height * animationDecoderBytesPerPixel +
                              decoderFixedBytes + std::size_t{width} * decoderBytesPerColumn);

    WebPAnimDecoderOptions options;
    if (WebPAnimDecoderOptionsInit(&options) == 0) {
        reason = "WebP: unsupported feature";
        return nullptr;
    }
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    const WebPData data{file.data, file.size};
    const std::unique_ptr<WebPAnimDecoder, AnimationDecoderDeleter> animation(
        WebPAnimDecoderNew(&data, &options));
    WebPAnimInfo info;
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (animation == nullptr || WebPAnimDecoderGetInfo(animation.get(), &info) == 0 ||
        info.canvas_width != width || info.canvas_height != height ||
        WebPAnimDecoderGetNext(animation.get(), &canvas, &timestamp) == 0) {
        reason = "WebP: corrupt data";
        return nullptr;
    }
    premultiplyPixels(canvas, std::size_t{width} * height, image->pixels.get(), ChannelOrder::Rgba);
    return image;
}

} // namespace

bool matchesWebp(const std::uint8_t* head, std::size_t size) {
    return size >= riffHeaderBytes && std::memcmp(head, "RIFF", 4) == 0 &&
           std::memcmp(head + 8, "WEBP", 4) == 0;
}

ImagePtr decodeWebp(ByteSource& source, std::string& reason, FoundMetadata& found) {
    FileBytes file;
    if (!readWholeFile(source, file)) {
        reason = "WebP: file ends early";
        return nullptr;
    }
    WebPBitstreamFeatures features;
    const VP8StatusCode status = WebPGetFeatures(file.data, file.size, &features);
    if (status != VP8_STATUS_OK) {
        reason = failureReason(status);
        return nullptr;
    }
    findMetadata(file, found);
    if (features.has_animation != 0)
        return decodeFirstFrame(file, features, reason);
    return decodeStill(file, features, reason);
}

ImagePtr decodeWebpScaled(ByteSource& source, std::string& reason, FoundMetadata& found,
                          std::uint32_t boxWidth, std::uint32_t boxHeight, FitSize& fullSize) {
    FileBytes file;
    if (!readWholeFile(source, file)) {
        reason = "WebP: file ends early";
        return nullptr;
    }
    WebPBitstreamFeatures features;
    const VP8StatusCode status = WebPGetFeatures(file.data, file.size, &features);
    if (status != VP8_STATUS_OK) {
        reason = failureReason(status);
        return nullptr;
    }
    findMetadata(file, found);
    const auto width = static_cast<std::uint32_t>(features.width);
    const auto height = static_cast<std::uint32_t>(features.height);
    fullSize = {width, height};
    if (features.has_animation != 0)
        return decodeFirstFrame(file, features, reason);
    // Twice the needed size leaves the last halving to the caller's Lanczos filter, whose result stays close
    // to that of the whole picture fitted; a picture not larger than that is decoded whole.
    const FitSize needed = neededStoredSize(width, height, boxWidth, boxHeight, exifOrientation(found.exif));
    const FitSize twice{needed.width * 2, needed.height * 2};
    if (std::uint64_t{twice.width} >= width || std::uint64_t{twice.height} >= height)
        return decodeStill(file, features, reason);
    return decodeStill(file, features, reason, &twice);
}

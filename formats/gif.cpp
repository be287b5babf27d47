// Reading the first frame of a GIF file through giflib's record-by-record interface. The file is read
// from the source as giflib asks for bytes, and only as far as the end of the first frame's pixels: the
// frames after it are never looked at, so an animation costs no more than its first frame.
//
// Each row of indices the library gives is turned into colour through the frame's colour table and put
// straight into the image, so nothing the size of the frame is held beside the image.

#include "formats/gif.h"

#include "image/straight_colour.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <gif_lib.h>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace {

constexpr char endsEarly[] = "GIF: file ends early";
constexpr char corruptData[] = "GIF: corrupt data";

constexpr std::size_t signatureBytes = 6;
// What giflib allocates for a file while it decodes: the LZW tables and stack (about 25 KiB), its block
// buffer, the two colour tables and the description of one frame.
constexpr std::size_t libraryStateBytes = 32 * 1024;
constexpr std::size_t paletteSize = 256;

// Where the bytes giflib asks for come from, and whether the source ran out while it asked.
struct SourceReader {
    ByteSource* source;
    bool ended = false;
};

int readFromSource(GifFileType* gif, GifByteType* out, int n) {
    auto* reader = static_cast<SourceReader*>(gif->UserData);
    const auto wanted = static_cast<std::size_t>(std::max(n, 0));
    std::size_t got = 0;
    while (got < wanted) {
        const std::size_t available = reader->source->available();
        if (available == 0) {
            reader->ended = true;
            break;
        }
        const std::size_t count = std::min(available, wanted - got);
        std::memcpy(out + got, reader->source->data(), count);
        reader->source->advance(count);
        got += count;
    }
    return static_cast<int>(got);
}

struct GifCloser {
    void operator()(GifFileType* gif) const {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

// The reason for a failure the library reported. Running out of bytes shows in the library as a read
// failure or a structure it could not find, so the source's own end decides which reason it is.
const char* failureReason(int error, const SourceReader& reader) {
    if (error == D_GIF_ERR_NOT_ENOUGH_MEM)
        throw std::bad_alloc();
    return reader.ended ? endsEarly : corruptData;
}

// The straight colours of the frame's indices, and which indices name one.
struct Palette {
    std::array<std::array<std::uint8_t, 4>, paletteSize> colours{};
    std::array<bool, paletteSize> known{};
};

// The frame's own table wins over the file's; the transparent index is transparent black whether or not
// the table reaches it.
Palette makePalette(const ColorMapObject* table, int transparent) {
    Palette palette;
    if (table != nullptr && table->Colors != nullptr) {
        const auto count = std::min(static_cast<std::size_t>(std::max(table->ColorCount, 0)), paletteSize);
        for (std::size_t i = 0; i < count; ++i) {
            const GifColorType& c = table->Colors[i];
            palette.colours[i] = {c.Red, c.Green, c.Blue, 255};
            palette.known[i] = true;
        }
    }
    if (transparent >= 0 && static_cast<std::size_t>(transparent) < paletteSize) {
        palette.colours[static_cast<std::size_t>(transparent)] = {0, 0, 0, 0};
        palette.known[static_cast<std::size_t>(transparent)] = true;
    }
    return palette;
}

// Skips extension blocks up to the first frame, keeping the transparent index of the last graphic control
// block. False, with the reason, when the file holds no frame or cannot be read that far.
bool findFirstFrame(GifFileType* gif, const SourceReader& reader, int& transparent, std::string& reason) {
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) {
            reason = failureReason(gif->Error, reader);
            return false;
        }
        if (type == IMAGE_DESC_RECORD_TYPE)
            return true;
        if (type == TERMINATE_RECORD_TYPE) {
            reason = "GIF: no image";
            return false;
        }
        if (type != EXTENSION_RECORD_TYPE) {
            reason = corruptData;
            return false;
        }
        int code = 0;
        GifByteType* block = nullptr;
        if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) {
            reason = failureReason(gif->Error, reader);
            return false;
        }
        // A control block of the wrong length is passed over, as if it were not there.
        GraphicsControlBlock control;
        if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr &&
            DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
            transparent = control.TransparentColor;
        while (block != nullptr) {
            if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) {
                reason = failureReason(gif->Error, reader);
                return false;
            }
        }
    }
}

// The order an interlaced frame's rows arrive in: four passes, each from its first row in steps.
struct Pass {
    std::uint32_t first;
    std::uint32_t step;
};
constexpr Pass interlacedPasses[] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
constexpr Pass sequentialPass[] = {{0, 1}};

// Where the frame lies on the image: its offset and the columns and rows of it that the image shows.
struct Placement {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t shownWidth = 0; // columns of the frame inside the image, from its left edge
};

} // namespace

bool matchesGif(const std::uint8_t* head, std::size_t size) {
    return size >= signatureBytes && (std::memcmp(head, "GIF87a", signatureBytes) == 0 ||
                                      std::memcmp(head, "GIF89a", signatureBytes) == 0);
}

ImagePtr decodeGif(ByteSource& source, std::string& reason) {
    MemoryReservation library(libraryStateBytes);
    SourceReader reader{&source};
    int error = 0;
    const GifHandle gif(DGifOpen(&reader, readFromSource, &error));
    if (gif == nullptr) {
        reason = failureReason(error, reader);
        return nullptr;
    }
    int transparent = NO_TRANSPARENT_COLOR;
    if (!findFirstFrame(gif.get(), reader, transparent, reason))
        return nullptr;
    if (DGifGetImageDesc(gif.get()) == GIF_ERROR) {
        reason = failureReason(gif->Error, reader);
        return nullptr;
    }

    const GifImageDesc& frame = gif->Image;
    const auto frameWidth = static_cast<std::uint32_t>(std::max(frame.Width, 0));
    const auto frameHeight = static_cast<std::uint32_t>(std::max(frame.Height, 0));
    // The logical screen is the image. A screen without area, which some writers leave, takes the frame's
    // size, the frame at its corner.
    const bool screenHasArea = gif->SWidth > 0 && gif->SHeight > 0;
    const std::uint32_t width = screenHasArea ? static_cast<std::uint32_t>(gif->SWidth) : frameWidth;
    const std::uint32_t height = screenHasArea ? static_cast<std::uint32_t>(gif->SHeight) : frameHeight;
    if (width == 0 || height == 0) {
        reason = "GIF: bad size";
        return nullptr;
    }
    Placement place;
    if (screenHasArea) {
        place.x = static_cast<std::uint32_t>(std::max(frame.Left, 0));
        place.y = static_cast<std::uint32_t>(std::max(frame.Top, 0));
    }
    // The part of the frame beyond the screen's right or bottom edge is decoded but not shown.
    if (place.x < width)
        place.shownWidth = std::min(frameWidth, width - place.x);

    ImagePtr image = createImage(width, height); // transparent black where the frame does not reach
    if (frameWidth == 0 || frameHeight == 0)
        return image;
    MemoryReservation rows(std::size_t{frameWidth} + std::size_t{place.shownWidth} * 4);
    std::vector<GifPixelType> indices(frameWidth);
    std::vector<std::uint8_t> straight(std::size_t{place.shownWidth} * 4);
    const Palette palette =
        makePalette(frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap, transparent);

    const auto passes =
        frame.Interlace ? std::span<const Pass>(interlacedPasses) : std::span<const Pass>(sequentialPass);
    for (const Pass& pass : passes) {
        for (std::uint32_t row = pass.first; row < frameHeight; row += pass.step) {
            if (DGifGetLine(gif.get(), indices.data(), static_cast<int>(frameWidth)) == GIF_ERROR) {
                reason = failureReason(gif->Error, reader);
                return nullptr;
            }
            for (const GifPixelType index : indices) {
                if (!palette.known[index]) {
                    reason = "GIF: bad colour index";
                    return nullptr;
                }
            }
            const std::uint64_t y = std::uint64_t{place.y} + row;
            if (y >= height || place.shownWidth == 0)
                continue;
            for (std::size_t x = 0; x < place.shownWidth; ++x)
                std::memcpy(&straight[4 * x], palette.colours[indices[x]].data(), 4);
            premultiplyPixels(straight.data(), place.shownWidth,
                              image->pixel(place.x, static_cast<std::uint32_t>(y)), ChannelOrder::Rgba);
        }
    }
    return image;
}

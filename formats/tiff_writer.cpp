// Writing TIFF files through libtiff.
//
// The file holds one image in 8-bit samples, in the smallest of grey, grey with alpha, RGB and RGB with
// alpha that holds the image exactly, alpha stored straight (unassociated). The rows go in strips of a
// size fixed by the image's width, each compressed with deflate after horizontal differencing. The library
// lays the file out in memory (it seeks back to link the directory in), little-endian whatever the
// machine, with no tag that changes from one run to the next (no date, no program name), so that the same
// image always gives the same bytes; the finished file is then written to the descriptor in one go. A file
// whose pixels alone come near the 4 GiB that classic TIFF offsets can address is written as BigTIFF.
//
// The image's colour profile goes along when it describes the pixels written: a grey profile with grey
// samples, an RGB profile with RGB samples (an image carrying one is written as RGB even when it is all
// grey, so that the profile stays), no other kind. The XMP packet goes along as it is. EXIF is not
// written: in TIFF it would be a directory of its own whose entries must be rewritten, not a block to copy.

#include "formats/tiff.h"
#include "formats/tiff_library.h"

#include "image/straight_colour.h"
#include "system/file_replacement.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace {

// Raw bytes a strip holds at most (a single row may hold more): large enough for deflate to find its
// matches, small enough for the library's per-strip buffers to stay small.
constexpr std::size_t stripTargetBytes = std::size_t{256} << 10;
// The library's buffers beside each strip: its own copy for differencing, and the compressed output.
constexpr std::size_t libraryCopiesPerStrip = 3;
// The compression level: on photographs, 3 gives files within a few percent of the default level 6 in a
// fifth of the time or less.
constexpr int deflateLevel = 3;
// Pixel bytes from which a file is written as BigTIFF: classic offsets end at 4 GiB, and the directory,
// the metadata and data that compresses badly need room below that.
constexpr std::uint64_t bigTiffPixelBytes = (std::uint64_t{4} << 30) - (std::uint64_t{256} << 20);

struct Layout {
    unsigned channels; // 1 grey, 2 grey and alpha, 3 RGB, 4 RGB and alpha
    bool alpha() const { return channels == 2 || channels == 4; }
    bool colour() const { return channels >= 3; }
};

enum class ProfileSpace { Rgb, Grey, Other };

// The colour space an ICC profile's header names, at bytes 16 to 19.
ProfileSpace profileSpace(const std::vector<std::uint8_t>& icc) {
    if (icc.size() < 20)
        return ProfileSpace::Other;
    if (std::memcmp(icc.data() + 16, "RGB ", 4) == 0)
        return ProfileSpace::Rgb;
    if (std::memcmp(icc.data() + 16, "GRAY", 4) == 0)
        return ProfileSpace::Grey;
    return ProfileSpace::Other;
}

// Whether every pixel is opaque, and whether every pixel's straight colour is grey; `colour` asks for RGB
// whatever the pixels.
Layout chooseLayout(const Image& image, bool colour) {
    const StraightColourTables& t = straightColourTables();
    const std::uint8_t* p = image.pixels.get();
    const std::size_t n = std::size_t{image.width} * image.height;
    bool opaque = true;
    bool grey = !colour;
    for (std::size_t i = 0; i < n && (opaque || grey); ++i, p += 4) {
        const std::uint8_t a = p[3];
        opaque = opaque && a == 255;
        if (grey) {
            const std::uint8_t* straight = t.straightColour + std::size_t{a} * 256;
            const std::uint8_t r = a == 255 ? p[0] : straight[p[0]];
            const std::uint8_t g = a == 255 ? p[1] : straight[p[1]];
            const std::uint8_t b = a == 255 ? p[2] : straight[p[2]];
            grey = r == g && g == b;
        }
    }
    return Layout{(grey ? 1u : 3u) + (opaque ? 0u : 1u)};
}

// The rows from `top` on as the file's samples: straight colour, packed to the layout's channels. An
// opaque layout takes the image's bytes as they are, since straight colour equals stored colour at
// alpha 255.
void packRows(const Image& image, const Layout& layout, std::uint32_t top, std::uint32_t rows,
              std::uint8_t* straight, std::uint8_t* out) {
    const std::size_t w = image.width;
    for (std::uint32_t y = top; y < top + rows; ++y) {
        const std::uint8_t* in = image.pixel(0, y);
        if (layout.alpha()) {
            straightenPixels(in, w, straight, ChannelOrder::Rgba);
            in = straight;
        }
        switch (layout.channels) {
        case 4:
            std::memcpy(out, in, 4 * w);
            out += 4 * w;
            break;
        case 3:
            for (std::size_t x = 0; x < w; ++x, in += 4, out += 3)
                std::memcpy(out, in, 3);
            break;
        case 2:
            for (std::size_t x = 0; x < w; ++x, in += 4, out += 2)
                out[0] = in[0], out[1] = in[3];
            break;
        default:
            for (std::size_t x = 0; x < w; ++x, in += 4)
                *out++ = in[0];
            break;
        }
    }
}

// The file as the library writes it, in budgeted memory. A write the budget refuses fails, and is
// remembered so that the encoder can report it as running out of memory rather than as a failed write.
struct OutputFile {
    tiffio::BudgetedBytes bytes;
    std::uint64_t position = 0;
    bool outOfMemory = false;
};

tmsize_t readOutput(thandle_t handle, void* out, tmsize_t n) {
    auto* file = static_cast<OutputFile*>(handle);
    if (n <= 0 || file->position >= file->bytes.size())
        return 0;
    const std::uint64_t count = std::min(static_cast<std::uint64_t>(n), file->bytes.size() - file->position);
    std::memcpy(out, file->bytes.data() + file->position, static_cast<std::size_t>(count));
    file->position += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t writeOutput(thandle_t handle, void* in, tmsize_t n) {
    auto* file = static_cast<OutputFile*>(handle);
    if (n < 0 || static_cast<std::uint64_t>(n) > std::numeric_limits<std::size_t>::max() - file->position)
        return -1;
    const auto count = static_cast<std::size_t>(n);
    const auto end = static_cast<std::size_t>(file->position) + count;
    const std::size_t size = file->bytes.size();
    if (end > size) {
        try {
            file->bytes.resize(end);
        } catch (const std::bad_alloc&) {
            file->outOfMemory = true;
            return -1;
        }
        // A seek beyond the end leaves a gap, which reads as zeros.
        if (file->position > size)
            std::memset(file->bytes.data() + size, 0, static_cast<std::size_t>(file->position) - size);
    }
    if (count > 0)
        std::memcpy(file->bytes.data() + file->position, in, count);
    file->position = end;
    return n;
}

toff_t seekOutput(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<OutputFile*>(handle);
    std::uint64_t target = 0;
    if (!tiffio::seekTarget(file->position, file->bytes.size(), offset, whence, target))
        return static_cast<toff_t>(-1);
    file->position = target;
    return target;
}

toff_t sizeOfOutput(thandle_t handle) {
    return static_cast<OutputFile*>(handle)->bytes.size();
}

// The tags of the image and its metadata. False when the library refuses one.
bool describe(TIFF* tiff, const Image& image, const Layout& layout, std::uint32_t rowsPerStrip,
              const std::vector<std::uint8_t>* icc, const std::vector<std::uint8_t>* xmp) {
    const std::uint16_t unassociated[] = {EXTRASAMPLE_UNASSALPHA};
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, image.width) == 1 &&
              TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, image.height) == 1 &&
              TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8) == 1 &&
              TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, layout.channels) == 1 &&
              TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                           layout.colour() ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) == 1 &&
              TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
              TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1 &&
              TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) == 1 &&
              TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) == 1 &&
              TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, deflateLevel) == 1 &&
              TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) == 1;
    if (ok && layout.alpha())
        ok = TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, unassociated) == 1;
    if (ok && icc != nullptr)
        ok =
            TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc->size()), icc->data()) == 1;
    if (ok && xmp != nullptr)
        ok = TIFFSetField(tiff, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(xmp->size()), xmp->data()) == 1;
    return ok;
}

// A block too large for a tag's 32-bit count is left out.
const std::vector<std::uint8_t>* fitting(const std::vector<std::uint8_t>& block) {
    return block.empty() || block.size() > std::numeric_limits<std::uint32_t>::max() ? nullptr : &block;
}

} // namespace

bool encodeTiff(const Image& image, int fd) {
    if (image.width == 0 || image.height == 0)
        return false; // a TIFF image has at least one pixel
    const ImageMetadata* metadata = image.metadata.get();
    const ProfileSpace space = metadata != nullptr ? profileSpace(metadata->icc()) : ProfileSpace::Other;
    const Layout layout = chooseLayout(image, space == ProfileSpace::Rgb);
    const bool profileFits =
        (space == ProfileSpace::Rgb && layout.colour()) || (space == ProfileSpace::Grey && !layout.colour());
    const std::vector<std::uint8_t>* icc = profileFits ? fitting(metadata->icc()) : nullptr;
    const std::vector<std::uint8_t>* xmp = metadata != nullptr ? fitting(metadata->xmp()) : nullptr;

    const std::size_t rowBytes = std::size_t{image.width} * layout.channels;
    const auto rowsPerStrip = static_cast<std::uint32_t>(
        std::clamp<std::size_t>(stripTargetBytes / std::max<std::size_t>(rowBytes, 1), 1, image.height));
    const std::size_t stripBytes = rowBytes * rowsPerStrip;
    // The library keeps its own copy of the profile and the XMP packet it is given.
    const std::size_t metadataCopies =
        (icc != nullptr ? icc->size() : 0) + (xmp != nullptr ? xmp->size() : 0);
    MemoryReservation working(stripBytes * (1 + libraryCopiesPerStrip) + image.rowBytes() + metadataCopies);
    std::vector<std::uint8_t> strip(stripBytes);
    std::vector<std::uint8_t> straight(image.rowBytes());

    const bool big = std::uint64_t{rowBytes} * image.height >= bigTiffPixelBytes;
    OutputFile out;
    tiffio::Diagnostics diagnostics;
    tiffio::TiffPtr tiff = tiffio::openSilently(big ? "wl8" : "wl", &out, readOutput, writeOutput, seekOutput,
                                                sizeOfOutput, diagnostics);
    bool ok = tiff != nullptr && describe(tiff.get(), image, layout, rowsPerStrip, icc, xmp);
    std::uint32_t index = 0;
    for (std::uint32_t top = 0; ok && top < image.height;
         top += std::min(rowsPerStrip, image.height - top), ++index) {
        const std::uint32_t rows = std::min(rowsPerStrip, image.height - top);
        packRows(image, layout, top, rows, straight.data(), strip.data());
        const auto size = static_cast<tmsize_t>(rowBytes * rows);
        ok = TIFFWriteEncodedStrip(tiff.get(), index, strip.data(), size) == size;
    }
    ok = ok && TIFFWriteDirectory(tiff.get()) == 1 && !diagnostics.error;
    tiff.reset();
    if (out.outOfMemory)
        throw std::bad_alloc();
    return ok && writeAll(fd, out.bytes.data(), out.bytes.size());
}

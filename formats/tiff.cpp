// Reading TIFF files through libtiff.
//
// The whole file is read into memory first (its bytes counted in the memory budget) and handed to the
// library as a file it reads and seeks in. Before the library looks at it, the first directory is walked
// here: a directory, or a value of one of its entries, that lies beyond the end of the data means the file
// was cut short, and the file is refused as ending early rather than read with the library's guesses for
// what is missing. The same goes for the strips and tiles the directory points at.
//
// The pixels are decoded a strip or a tile at a time by the library, which undoes the compression, the
// predictor, the bit order and the byte order. The samples are then spread to 8 bits each (see
// unpackSamples) into one buffer of the whole image, whatever the layout of strips, tiles and planes, and
// turned into image pixels by the colour model (see convertRow).

#include "formats/tiff.h"
#include "formats/tiff_library.h"

#include "image/straight_colour.h"
#include "system/memory_budget.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace tiffio {

BudgetedBytes::~BudgetedBytes() {
    if (room > 0)
        releaseImageMemory(room);
}

void BudgetedBytes::reserve(std::size_t capacity) {
    if (capacity <= room)
        return;
    reserveImageMemory(capacity);
    std::unique_ptr<std::uint8_t[]> grown(new (std::nothrow) std::uint8_t[capacity]);
    if (grown == nullptr) {
        releaseImageMemory(capacity);
        throw std::bad_alloc();
    }
    if (used > 0)
        std::memcpy(grown.get(), bytes.get(), used);
    bytes = std::move(grown);
    if (room > 0)
        releaseImageMemory(room);
    room = capacity;
}

void BudgetedBytes::resize(std::size_t size) {
    if (size > room) {
        const std::size_t doubled = room > std::numeric_limits<std::size_t>::max() / 2
                                        ? std::numeric_limits<std::size_t>::max()
                                        : 2 * room;
        reserve(std::max(size, doubled));
    }
    used = size;
}

namespace {

// A codec prints nothing: the library's messages are noted, not shown.
int noteError(TIFF*, void* user, const char*, const char*, va_list) {
    static_cast<Diagnostics*>(user)->error = true;
    return 1; // handled: the library's process-wide handler is not called
}

int dropWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

int closeNothing(thandle_t) {
    return 0;
}

int mapNothing(thandle_t, void**, toff_t*) {
    return 0;
}

void unmapNothing(thandle_t, void*, toff_t) {}

struct OptionsDeleter {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

// The few messages the library gives before a handle's own handlers are in place go nowhere either.
void silenceLibrary() {
    static const bool silenced = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)silenced;
}

} // namespace

TiffPtr openSilently(const char* mode, thandle_t handle, TIFFReadWriteProc read, TIFFReadWriteProc write,
                     TIFFSeekProc seek, TIFFSizeProc size, Diagnostics& diagnostics) {
    silenceLibrary();
    const std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
    if (options == nullptr)
        throw std::bad_alloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), noteError, &diagnostics);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), dropWarning, nullptr);
    return TiffPtr(TIFFClientOpenExt("memory", mode, handle, read, write, seek, closeNothing, size,
                                     mapNothing, unmapNothing, options.get()));
}

bool seekTarget(std::uint64_t position, std::uint64_t size, toff_t offset, int whence,
                std::uint64_t& target) {
    // Far beyond any file, so that the sums below cannot wrap.
    constexpr std::uint64_t limit = std::uint64_t{1} << 62;
    std::uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = position;
    else if (whence == SEEK_END)
        base = size;
    else if (whence != SEEK_SET)
        return false;
    const auto displacement = static_cast<std::int64_t>(offset);
    if (displacement < 0) {
        const std::uint64_t back = std::uint64_t{0} - offset;
        if (back > base)
            return false;
        target = base - back;
        return true;
    }
    if (offset > limit || base + offset > limit)
        return false;
    target = base + offset;
    return true;
}

} // namespace tiffio

namespace {

constexpr char endsEarly[] = "TIFF: file ends early";
constexpr char corruptData[] = "TIFF: corrupt data";
constexpr char unsupportedSampleFormat[] = "TIFF: unsupported sample format";
constexpr char unsupportedPhotometric[] = "TIFF: unsupported photometric interpretation";
constexpr char unsupportedBits[] = "TIFF: unsupported bits per sample";
constexpr char unsupportedExtraSamples[] = "TIFF: unsupported extra samples";

// The first allocation for a file of unknown size (from a pipe); it doubles as bytes arrive.
constexpr std::size_t firstReadBytes = std::size_t{1} << 20;

constexpr std::size_t classicHeaderBytes = 8;
constexpr std::size_t bigHeaderBytes = 16;
constexpr std::uint16_t classicMagic = 42;
constexpr std::uint16_t bigMagic = 43;

// ---- The whole file in memory ----

struct FileBytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    tiffio::BudgetedBytes storage;
};

// Reads the source to its end. Bytes already in memory (a source over memory, or a small file the source
// has buffered whole) are used where they are; others are copied into budgeted storage, which for a file
// of known size is reserved whole before the first byte is read, so that a file the budget cannot hold is
// refused at once. Throws std::bad_alloc when the budget refuses.
void readWholeFile(ByteSource& source, FileBytes& file) {
    const std::uint64_t known = source.knownRemaining();
    if (known != std::numeric_limits<std::uint64_t>::max() && source.available() >= known) {
        file.data = source.data();
        file.size = static_cast<std::size_t>(known);
        return;
    }
    if (known != std::numeric_limits<std::uint64_t>::max()) {
        if (known > std::numeric_limits<std::size_t>::max())
            throw std::bad_alloc();
        file.storage.reserve(static_cast<std::size_t>(known));
    } else {
        file.storage.reserve(firstReadBytes);
    }
    for (std::size_t n = source.available(); n > 0; n = source.available()) {
        const std::size_t at = file.storage.size();
        if (n > std::numeric_limits<std::size_t>::max() - at)
            throw std::bad_alloc();
        file.storage.resize(at + n);
        std::memcpy(file.storage.data() + at, source.data(), n);
        source.advance(n);
    }
    file.data = file.storage.data();
    file.size = file.storage.size();
}

// ---- The first directory, checked against the end of the data ----

class HeaderReader {
public:
    HeaderReader(const std::uint8_t* d, std::size_t s, bool little)
        : data(d), size(s), littleEndian(little) {}

    // The unsigned number of `bytes` bytes at `at`; false when it lies beyond the data.
    bool read(std::uint64_t at, unsigned bytes, std::uint64_t& value) const {
        if (at > size || bytes > size - at)
            return false;
        value = 0;
        for (unsigned i = 0; i < bytes; ++i) {
            const unsigned shift = 8 * (littleEndian ? i : bytes - 1 - i);
            value |= std::uint64_t{data[at + i]} << shift;
        }
        return true;
    }

private:
    const std::uint8_t* data;
    std::size_t size;
    bool littleEndian;
};

// Bytes a value of each field type takes; 0 for types the format does not define, whose entries the
// library skips.
unsigned fieldTypeBytes(std::uint64_t type) {
    switch (type) {
    case TIFF_BYTE:
    case TIFF_ASCII:
    case TIFF_SBYTE:
    case TIFF_UNDEFINED:
        return 1;
    case TIFF_SHORT:
    case TIFF_SSHORT:
        return 2;
    case TIFF_LONG:
    case TIFF_SLONG:
    case TIFF_FLOAT:
    case TIFF_IFD:
        return 4;
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_DOUBLE:
    case TIFF_LONG8:
    case TIFF_SLONG8:
    case TIFF_IFD8:
        return 8;
    default:
        return 0;
    }
}

enum class Layout { Complete, Cut, NotTiff };

// Whether the header, the first directory and every value its entries point at lie within the data.
Layout checkFirstDirectory(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return Layout::Cut;
    const bool little = data[0] == 'I' && data[1] == 'I';
    if (!little && !(data[0] == 'M' && data[1] == 'M'))
        return Layout::NotTiff;
    const HeaderReader in(data, size, little);
    std::uint64_t magic = 0;
    in.read(2, 2, magic);
    if (magic != classicMagic && magic != bigMagic)
        return Layout::NotTiff;
    const bool big = magic == bigMagic;
    if (size < (big ? bigHeaderBytes : classicHeaderBytes))
        return Layout::Cut;
    const unsigned countBytes = big ? 8 : 2;
    const unsigned offsetBytes = big ? 8 : 4;
    const std::uint64_t entryBytes = big ? 20 : 12;
    std::uint64_t directory = 0;
    std::uint64_t entries = 0;
    in.read(big ? 8 : 4, offsetBytes, directory);
    if (directory < (big ? bigHeaderBytes : classicHeaderBytes))
        return Layout::NotTiff; // no directory, or one inside the header
    if (!in.read(directory, countBytes, entries))
        return Layout::Cut;
    const std::uint64_t first = directory + countBytes;
    if (entries > (size - first) / entryBytes || size - first - entries * entryBytes < offsetBytes)
        return Layout::Cut; // the entries, or the offset of the next directory after them
    for (std::uint64_t i = 0; i < entries; ++i) {
        const std::uint64_t entry = first + i * entryBytes;
        std::uint64_t type = 0;
        std::uint64_t count = 0;
        std::uint64_t offset = 0;
        in.read(entry + 2, 2, type);
        in.read(entry + 4, offsetBytes, count);
        in.read(entry + 4 + offsetBytes, offsetBytes, offset);
        const unsigned bytes = fieldTypeBytes(type);
        if (bytes == 0 || count <= offsetBytes / bytes)
            continue; // unknown, or held in the entry itself
        if (count > size / bytes || offset > size || count * bytes > size - offset)
            return Layout::Cut;
    }
    return Layout::Complete;
}

// ---- The library's view of the file ----

struct MemoryFile {
    const std::uint8_t* data;
    std::uint64_t size;
    std::uint64_t position = 0;
};

tmsize_t readMemory(thandle_t handle, void* out, tmsize_t n) {
    auto* file = static_cast<MemoryFile*>(handle);
    if (n <= 0 || file->position >= file->size)
        return 0;
    const std::uint64_t count = std::min(static_cast<std::uint64_t>(n), file->size - file->position);
    std::memcpy(out, file->data + file->position, static_cast<std::size_t>(count));
    file->position += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t refuseWrite(thandle_t, void*, tmsize_t) {
    return -1;
}

toff_t seekMemory(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<MemoryFile*>(handle);
    std::uint64_t target = 0;
    if (!tiffio::seekTarget(file->position, file->size, offset, whence, target))
        return static_cast<toff_t>(-1);
    file->position = target;
    return target;
}

toff_t sizeOfMemory(thandle_t handle) {
    return static_cast<MemoryFile*>(handle)->size;
}

// ---- What the directory describes ----

enum class ColourModel { BlackIsZero, WhiteIsZero, Palette, Rgb, Cmyk };
enum class Alpha { None, Straight, Premultiplied };

struct Description {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    unsigned bits = 0;
    unsigned samples = 0; // per pixel, alpha included
    ColourModel model = ColourModel::BlackIsZero;
    Alpha alpha = Alpha::None;
    bool planar = false;               // each sample in its own plane
    std::vector<std::uint8_t> palette; // red, green, blue of each entry, 8 bits each
};

unsigned colourSamples(ColourModel model) {
    switch (model) {
    case ColourModel::Rgb:
        return 3;
    case ColourModel::Cmyk:
        return 4;
    default:
        return 1;
    }
}

// 16-bit samples (and palette entries) to the nearest 8-bit value.
std::uint8_t narrow16(std::uint32_t v) {
    return static_cast<std::uint8_t>((v * 255 + 32767) / 65535);
}

// Reads the tags that say how the pixels are stored; on failure sets `reason`. YCbCr from a JPEG
// compression is asked of the library as RGB.
bool describe(TIFF* tiff, Description& d, std::string& reason) {
    std::uint16_t bits = 0;
    std::uint16_t samples = 0;
    std::uint16_t format = 0;
    std::uint16_t photometric = 0;
    std::uint16_t planar = 0;
    std::uint16_t compression = 0;
    if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &d.width) != 1 ||
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &d.height) != 1 || d.width == 0 || d.height == 0 ||
        TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits) != 1 ||
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples) != 1 ||
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format) != 1 ||
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar) != 1 ||
        TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression) != 1 || samples == 0) {
        reason = corruptData;
        return false;
    }
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID) {
        reason = unsupportedSampleFormat;
        return false;
    }
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) {
        reason = unsupportedBits;
        return false;
    }
    if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) != 1) {
        reason = corruptData;
        return false;
    }
    switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
        d.model = ColourModel::BlackIsZero;
        break;
    case PHOTOMETRIC_MINISWHITE:
        d.model = ColourModel::WhiteIsZero;
        break;
    case PHOTOMETRIC_PALETTE:
        d.model = ColourModel::Palette;
        break;
    case PHOTOMETRIC_RGB:
        d.model = ColourModel::Rgb;
        break;
    case PHOTOMETRIC_YCBCR:
        if (compression != COMPRESSION_JPEG || bits != 8 ||
            TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB) != 1) {
            reason = unsupportedPhotometric;
            return false;
        }
        d.model = ColourModel::Rgb;
        break;
    case PHOTOMETRIC_SEPARATED: {
        std::uint16_t inks = 0;
        if (TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &inks) != 1 || inks != INKSET_CMYK) {
            reason = unsupportedPhotometric;
            return false;
        }
        d.model = ColourModel::Cmyk;
        break;
    }
    default:
        reason = unsupportedPhotometric;
        return false;
    }
    const unsigned colour = colourSamples(d.model);
    if (samples < colour) {
        reason = corruptData;
        return false;
    }
    if (samples > colour + 1 || (samples > colour && d.model == ColourModel::Palette)) {
        reason = unsupportedExtraSamples;
        return false;
    }
    if (samples > colour) {
        // An extra sample of unspecified meaning is taken as straight alpha, as the library's own RGBA
        // reading takes it: writers that leave it unspecified mean alpha.
        std::uint16_t count = 0;
        std::uint16_t* kinds = nullptr;
        const bool tagged = TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &count, &kinds) == 1 && count > 0;
        d.alpha = tagged && kinds[0] == EXTRASAMPLE_ASSOCALPHA ? Alpha::Premultiplied : Alpha::Straight;
    }
    if (d.model == ColourModel::Palette) {
        if (bits > 8) {
            reason = unsupportedBits;
            return false;
        }
        std::uint16_t* red = nullptr;
        std::uint16_t* green = nullptr;
        std::uint16_t* blue = nullptr;
        if (TIFFGetField(tiff, TIFFTAG_COLORMAP, &red, &green, &blue) != 1) {
            reason = corruptData;
            return false;
        }
        const std::size_t entries = std::size_t{1} << bits;
        d.palette.resize(3 * entries);
        for (std::size_t i = 0; i < entries; ++i) {
            d.palette[3 * i] = narrow16(red[i]);
            d.palette[3 * i + 1] = narrow16(green[i]);
            d.palette[3 * i + 2] = narrow16(blue[i]);
        }
    }
    d.bits = bits;
    d.samples = samples;
    d.planar = planar == PLANARCONFIG_SEPARATE && samples > 1;
    return true;
}

// What the library's decoder for the file's compression takes beside the strip or tile it decodes into, an
// estimate from the tags (the library does not say). Every decoder's fixed state (LZW's code table of about
// 120 KiB, the inflater's window, the fax decoder's run arrays, the JPEG decoder's tables) fits in
// codecFixedBytes. A JPEG-compressed strip or tile is decoded through libjpeg, whose rows come to at most
// 64 bytes a column for each sample (the main buffer of three row groups of 8 or 16 rows, and the
// upsampler's rows; see the JPEG reader); a PixarLog one goes through a work buffer of 16-bit samples for
// the whole strip; a WebP-compressed one is decoded whole by libwebp, which holds it as 4-byte words and
// an alpha byte a pixel. The dictionaries of LZMA and Zstandard strips are allocated by those libraries as
// the stream asks, and fill only as far as the strip's own bytes, which are reserved.
constexpr std::uint64_t codecFixedBytes = std::uint64_t{256} << 10;
constexpr std::uint64_t jpegCodecBytesPerSample = 64;
constexpr std::uint64_t pixarLogBytesPerSample = 2;
constexpr std::uint64_t webpCodecBytesPerPixel = 5;
constexpr std::uint16_t compressionWebp = 50001;

std::uint64_t codecWorkingBytes(TIFF* tiff, const Description& d) {
    std::uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    std::uint32_t width = d.width;
    std::uint32_t height = d.height;
    if (TIFFIsTiled(tiff) != 0) {
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &width);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &height);
    } else {
        std::uint32_t rowsPerStrip = 0;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        height = rowsPerStrip == 0 ? d.height : std::min(rowsPerStrip, d.height);
    }
    std::uint64_t bytes = codecFixedBytes;
    if (compression == COMPRESSION_JPEG || compression == COMPRESSION_OJPEG)
        bytes += std::uint64_t{width} * d.samples * jpegCodecBytesPerSample;
    if (compression == COMPRESSION_PIXARLOG)
        bytes += std::uint64_t{width} * height * d.samples * pixarLogBytesPerSample;
    if (compression == compressionWebp)
        bytes += std::uint64_t{width} * height * webpCodecBytesPerPixel;
    return bytes;
}

// Whether every strip or tile lies within the data; the largest one's size in `largest`.
bool stripsWithinFile(TIFF* tiff, std::uint64_t size, std::uint64_t& largest) {
    const std::uint32_t count = TIFFIsTiled(tiff) != 0 ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
    largest = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t offset = TIFFGetStrileOffset(tiff, i);
        const std::uint64_t bytes = TIFFGetStrileByteCount(tiff, i);
        if (offset > size || bytes > size - offset)
            return false;
        largest = std::max(largest, bytes);
    }
    return true;
}

// ---- Samples to 8 bits ----

// Unpacks n samples of `bits` bits each, packed from the high bit of each byte as the library hands them
// (16-bit ones in the machine's byte order), and stores sample i at out[i * stride]. Samples of 16 bits go
// to the nearest 8-bit value; those of 1, 2 and 4 bits spread over 0..255 (1 is 255, 85 and 17), unless
// `indices` asks for them as they are, as palette indices.
void unpackSamples(const std::uint8_t* in, unsigned bits, std::size_t n, std::uint8_t* out,
                   std::size_t stride, bool indices) {
    if (bits == 8) {
        if (stride == 1) {
            std::memcpy(out, in, n);
            return;
        }
        for (std::size_t i = 0; i < n; ++i)
            out[i * stride] = in[i];
        return;
    }
    if (bits == 16) {
        for (std::size_t i = 0; i < n; ++i) {
            std::uint16_t v = 0;
            std::memcpy(&v, in + 2 * i, 2);
            out[i * stride] = narrow16(v);
        }
        return;
    }
    const unsigned mask = (1u << bits) - 1;
    const unsigned scale = indices ? 1 : 255 / mask;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t bit = i * bits;
        const unsigned shift = 8 - bits - static_cast<unsigned>(bit % 8);
        out[i * stride] = static_cast<std::uint8_t>(((in[bit / 8] >> shift) & mask) * scale);
    }
}

// The samples of the whole image, 8 bits each, a pixel's samples side by side.
struct SamplePlane {
    std::size_t rowBytes;
    std::uint8_t* bytes;
};

// The pixels `count` to the right of (x, y) of one row of a strip or tile: samples side by side, or one
// sample `plane` of a separated image.
void storeRun(const Description& d, const SamplePlane& all, const std::uint8_t* in, std::uint32_t x,
              std::uint32_t y, std::size_t count, unsigned plane) {
    std::uint8_t* out = all.bytes + y * all.rowBytes + std::size_t{x} * d.samples;
    const bool indices = d.model == ColourModel::Palette;
    if (d.planar)
        unpackSamples(in, d.bits, count, out + plane, d.samples, indices);
    else
        unpackSamples(in, d.bits, count * d.samples, out, 1, indices);
}

// The bytes of a run of `count` pixels in one row of a strip or tile (of one plane when separated).
std::uint64_t runBytes(const Description& d, std::uint32_t count) {
    const std::uint64_t samples = std::uint64_t{count} * (d.planar ? 1 : d.samples);
    return std::max<std::uint64_t>(1, (samples * d.bits + 7) / 8);
}

// Reads every strip into `all`. False when one cannot be decoded whole.
bool readStrips(TIFF* tiff, const Description& d, const SamplePlane& all,
                const tiffio::Diagnostics& diagnostics) {
    std::uint32_t rowsPerStrip = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    rowsPerStrip = rowsPerStrip == 0 ? d.height : std::min(rowsPerStrip, d.height);
    const std::uint64_t lineBytes = TIFFScanlineSize64(tiff);
    if (lineBytes < runBytes(d, d.width))
        return false;
    const std::uint64_t stripBytes = lineBytes * rowsPerStrip;
    if (stripBytes > std::numeric_limits<std::size_t>::max() / 2)
        throw std::bad_alloc();
    MemoryReservation reserved(static_cast<std::size_t>(stripBytes));
    std::vector<std::uint8_t> strip(static_cast<std::size_t>(stripBytes));
    const unsigned planes = d.planar ? d.samples : 1;
    const std::uint32_t strips = TIFFNumberOfStrips(tiff);
    for (unsigned plane = 0; plane < planes; ++plane)
        for (std::uint32_t top = 0; top < d.height; top += std::min(rowsPerStrip, d.height - top)) {
            const std::uint32_t rows = std::min(rowsPerStrip, d.height - top);
            const std::uint32_t index = TIFFComputeStrip(tiff, top, static_cast<std::uint16_t>(plane));
            const auto want = static_cast<tmsize_t>(lineBytes * rows);
            if (index >= strips || TIFFReadEncodedStrip(tiff, index, strip.data(), want) != want ||
                diagnostics.error)
                return false;
            for (std::uint32_t r = 0; r < rows; ++r)
                storeRun(d, all, strip.data() + r * lineBytes, 0, top + r, d.width, plane);
        }
    return true;
}

// Reads every tile into `all`, leaving out the parts of the tiles at the right and bottom edges that lie
// beyond the image. False when one cannot be decoded whole.
bool readTiles(TIFF* tiff, const Description& d, const SamplePlane& all,
               const tiffio::Diagnostics& diagnostics) {
    std::uint32_t tileWidth = 0;
    std::uint32_t tileHeight = 0;
    if (TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth) != 1 ||
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight) != 1 || tileWidth == 0 || tileHeight == 0)
        return false;
    const std::uint64_t tileBytes = TIFFTileSize64(tiff);
    const std::uint64_t lineBytes = TIFFTileRowSize64(tiff);
    if (lineBytes < runBytes(d, tileWidth) || tileBytes / lineBytes < tileHeight)
        return false;
    if (tileBytes > std::numeric_limits<std::size_t>::max() / 2)
        throw std::bad_alloc();
    MemoryReservation reserved(static_cast<std::size_t>(tileBytes));
    std::vector<std::uint8_t> tile(static_cast<std::size_t>(tileBytes));
    const unsigned planes = d.planar ? d.samples : 1;
    const std::uint32_t tiles = TIFFNumberOfTiles(tiff);
    for (unsigned plane = 0; plane < planes; ++plane)
        for (std::uint32_t top = 0; top < d.height; top += std::min(tileHeight, d.height - top)) {
            const std::uint32_t rows = std::min(tileHeight, d.height - top);
            for (std::uint32_t left = 0; left < d.width; left += std::min(tileWidth, d.width - left)) {
                const std::uint32_t columns = std::min(tileWidth, d.width - left);
                const std::uint32_t index =
                    TIFFComputeTile(tiff, left, top, 0, static_cast<std::uint16_t>(plane));
                const auto want = static_cast<tmsize_t>(tileBytes);
                if (index >= tiles || TIFFReadEncodedTile(tiff, index, tile.data(), want) != want ||
                    diagnostics.error)
                    return false;
                for (std::uint32_t r = 0; r < rows; ++r)
                    storeRun(d, all, tile.data() + r * lineBytes, left, top + r, columns, plane);
            }
        }
    return true;
}

// ---- 8-bit samples to image pixels ----

// One row of samples to image pixels. Straight colour (no alpha, or straight alpha) is put together in
// `straight` and premultiplied as every reader does. Premultiplied colour is taken as the file stores it,
// colour above its alpha lowered to the alpha; for models where 0 is full colour (white-is-zero grey,
// CMYK), the stored premultiplied amounts are turned round within the alpha: a premultiplied grey is
// alpha - stored, and a premultiplied red (a - c)(a - k) / a, rounded down, which at alpha 255 is the
// straight formula.
void convertRow(const Description& d, const std::uint8_t* in, std::uint32_t width, std::uint8_t* straight,
                std::uint8_t* out) {
    const unsigned n = d.samples;
    const unsigned alphaAt = colourSamples(d.model);
    if (d.alpha == Alpha::Premultiplied) {
        for (std::uint32_t x = 0; x < width; ++x, in += n, out += 4) {
            const unsigned a = in[alphaAt];
            const auto clamp = [a](unsigned v) { return std::min(v, a); };
            switch (d.model) {
            case ColourModel::BlackIsZero:
                out[0] = out[1] = out[2] = static_cast<std::uint8_t>(clamp(in[0]));
                break;
            case ColourModel::WhiteIsZero:
                out[0] = out[1] = out[2] = static_cast<std::uint8_t>(a - clamp(in[0]));
                break;
            case ColourModel::Rgb:
                for (unsigned c = 0; c < 3; ++c)
                    out[c] = static_cast<std::uint8_t>(clamp(in[c]));
                break;
            case ColourModel::Cmyk: {
                const unsigned k = a - clamp(in[3]);
                for (unsigned c = 0; c < 3; ++c)
                    out[c] = static_cast<std::uint8_t>(a == 0 ? 0 : (a - clamp(in[c])) * k / a);
                break;
            }
            case ColourModel::Palette:
                break; // a palette image has no extra sample
            }
            out[3] = static_cast<std::uint8_t>(a);
        }
        return;
    }
    std::uint8_t* s = straight;
    for (std::uint32_t x = 0; x < width; ++x, in += n, s += 4) {
        switch (d.model) {
        case ColourModel::BlackIsZero:
            s[0] = s[1] = s[2] = in[0];
            break;
        case ColourModel::WhiteIsZero:
            s[0] = s[1] = s[2] = static_cast<std::uint8_t>(255 - in[0]);
            break;
        case ColourModel::Palette:
            std::memcpy(s, d.palette.data() + std::size_t{in[0]} * 3, 3);
            break;
        case ColourModel::Rgb:
            std::memcpy(s, in, 3);
            break;
        case ColourModel::Cmyk: {
            const unsigned k = 255u - in[3];
            for (unsigned c = 0; c < 3; ++c)
                s[c] = static_cast<std::uint8_t>((255u - in[c]) * k / 255);
            break;
        }
        }
        s[3] = d.alpha == Alpha::None ? 255 : in[alphaAt];
    }
    premultiplyPixels(straight, width, out, ChannelOrder::Rgba);
}

// The profile and the XMP packet of the directory, each within the cap on metadata blocks.
void takeMetadata(TIFF* tiff, FoundMetadata& found) {
    std::uint32_t count = 0;
    const std::uint8_t* bytes = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &count, &bytes) == 1 && count > 0 && bytes != nullptr &&
        admitMetadataBlock(found, MetadataKind::Icc, count))
        found.icc.assign(bytes, bytes + count);
    count = 0;
    bytes = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_XMLPACKET, &count, &bytes) == 1 && count > 0 && bytes != nullptr &&
        admitMetadataBlock(found, MetadataKind::Xmp, count))
        found.xmp.assign(bytes, bytes + count);
}

} // namespace

bool matchesTiff(const std::uint8_t* head, std::size_t size) {
    if (size < 4)
        return false;
    return std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0 ||
           std::memcmp(head, "II+\0", 4) == 0 || std::memcmp(head, "MM\0+", 4) == 0;
}

ImagePtr decodeTiff(ByteSource& source, std::string& reason, FoundMetadata& found) {
    FileBytes file;
    readWholeFile(source, file);
    const Layout layout = checkFirstDirectory(file.data, file.size);
    if (layout != Layout::Complete) {
        reason = layout == Layout::Cut ? endsEarly : corruptData;
        return nullptr;
    }
    MemoryFile memory{file.data, file.size};
    tiffio::Diagnostics diagnostics;
    const tiffio::TiffPtr tiff =
        tiffio::openSilently("rm", &memory, readMemory, refuseWrite, seekMemory, sizeOfMemory, diagnostics);
    if (tiff == nullptr) {
        reason = corruptData;
        return nullptr;
    }
    Description d;
    if (!describe(tiff.get(), d, reason))
        return nullptr;
    std::uint64_t largestStrip = 0;
    if (!stripsWithinFile(tiff.get(), file.size, largestStrip)) {
        reason = endsEarly;
        return nullptr;
    }
    // The library copies each strip or tile into a buffer of its own before decoding it, and its decoder
    // keeps working memory of its own.
    const std::uint64_t libraryBytes = largestStrip + codecWorkingBytes(tiff.get(), d);
    if (libraryBytes > std::numeric_limits<std::size_t>::max())
        throw std::bad_alloc();
    MemoryReservation library(static_cast<std::size_t>(libraryBytes));

    ImagePtr image = createImageForOverwrite(d.width, d.height);
    const std::size_t rowSamples = std::size_t{d.width} * d.samples;
    const std::size_t sampleBytes = rowSamples * d.height;
    MemoryReservation samplesReserved(sampleBytes);
    const std::unique_ptr<std::uint8_t[]> samples(new std::uint8_t[sampleBytes]);
    // The row the samples are put together in, taken before the decoding work.
    MemoryReservation straightReserved(image->rowBytes());
    std::vector<std::uint8_t> straight(image->rowBytes());
    const SamplePlane all{rowSamples, samples.get()};
    diagnostics.error = false;
    const bool read = TIFFIsTiled(tiff.get()) != 0 ? readTiles(tiff.get(), d, all, diagnostics)
                                                   : readStrips(tiff.get(), d, all, diagnostics);
    if (!read) {
        reason = corruptData;
        return nullptr;
    }
    for (std::uint32_t y = 0; y < d.height; ++y)
        convertRow(d, samples.get() + y * rowSamples, d.width, straight.data(), image->pixel(0, y));
    takeMetadata(tiff.get(), found);
    return image;
}
